#pragma once
// The texts of the boxes that the command tests expect, written down once. The message
// tests spell out every box on their own.

#include <string>

inline const std::wstring kInvalidParameters =
    L"The installation procedure will be reverted.\n\nThe QelInstallHelper was called with invalid command line "
    L"parameters.\n\nUsage: QelInstallHelper.exe <command> <installation directory>\n\n\n";

inline const std::wstring kInvalidEditionParameters =
    L"The QelInstallHelper was called with invalid command line parameters.\n\nUsage: QelInstallHelper.exe "
    L"checkedition <edition type>\n\n\n";

inline std::wstring InstallDirNotFoundText(const std::wstring& path) {
  return L"The installation procedure will be reverted.\n\nThe installation directory of the Tarnwell could not be "
         L"found.\nPath: '" +
         path + L"'.\nCould not be accessed.\n\n";
}

inline std::wstring OtherEditionText(const std::wstring& path) {
  return L"The installation procedure will be reverted.\n\nIt seems that a different edition (student or commercial) "
         L"of the Tarnwell is already installed in:\nPath: '" +
         path + L"'.\n\nPlease, uninstall the Tarnwell before installing a different edition.\n\n";
}
