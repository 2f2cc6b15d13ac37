#pragma once
// The folders of the system and of its users whose content no installation directory may
// wipe: drive roots, the Windows, system, Program Files and ProgramData folders, the folder
// that holds the profiles, every profile in it and the user folders of each profile
// (Desktop, Documents, AppData with Local, LocalLow and Roaming, Downloads, Music, Pictures,
// Videos). Folders below them are ordinary folders.

// What path is when it is one of those folders ("a drive root", "the Windows folder", ...),
// or null. One folder has many names (short names, junctions, "\\?\" forms, substituted
// drives): folders that can be opened are compared by their identity on disk, the others
// by their text, ASCII case ignored.
const wchar_t* ProtectedFolderKind(const wchar_t* path);
