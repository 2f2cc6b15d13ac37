#pragma once
// The folders of the system and of its users whose content no installation directory may
// wipe: drive roots, the Windows, system, Program Files and ProgramData folders, the folder
// that holds the profiles, every profile in it and the user folders of each profile
// (Desktop, Documents, AppData with Local, LocalLow and Roaming, Downloads, Music, Pictures,
// Videos). Folders below them are ordinary folders.

#include "base/files.h"

// What the folder at path is when it is one of those folders ("a drive root", "the Windows
// folder", ...), or null. held is that folder as the caller opened and holds it (nothing
// known when it could not be opened). One folder has many names (short names, junctions,
// links, "\\?\" forms, substituted drives, mount points): folders are compared by their
// identity on disk where both have one, otherwise by their texts and final paths, ASCII
// case ignored; a folder whose final path is a volume's root is a drive root.
const wchar_t* ProtectedFolderKind(const wchar_t* path, const FolderOnDisk& held);
