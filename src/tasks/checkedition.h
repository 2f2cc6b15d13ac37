#pragma once
// The "checkedition" command: refuses one edition over another that still has files.

// editionType is the command's argument as given. Returns 0 to go on, 1 to revert.
int HandleCheckEdition(const wchar_t* editionType);
