#include "acceptance/messages.h"

#include <cwchar>

namespace {

const std::vector<int> kOk = {IDOK};
const std::vector<int> kRetryCancel = {IDRETRY, IDCANCEL};
const std::vector<int> kYesNoCancel = {IDYES, IDNO, IDCANCEL};
const std::vector<int> kAbortRetryIgnore = {IDABORT, IDRETRY, IDIGNORE};

std::wstring Format(const wchar_t* format, ...) {
  wchar_t text[8192] = {};
  va_list args;
  va_start(args, format);
  // %ls is a wide string in every C runtime.
  _vsnwprintf(text, 8191, format, args);
  va_end(args);
  return text;
}

}  // namespace

const std::vector<KnownMessage>& AllMessages() {
  static const std::vector<KnownMessage> messages = {
      {Message::InvalidParameters, "ShowInvalidParameters",
       L"The installation procedure will be reverted.\n\n"
       L"The QelInstallHelper was called with invalid command line parameters.\n\n"
       L"Usage: QelInstallHelper.exe <command> <installation directory>\n\n\n",
       BoxIcon::Error, kOk},
      {Message::InvalidEditionParameters, "ShowInvalidEditionParameters",
       L"The QelInstallHelper was called with invalid command line parameters.\n\n"
       L"Usage: QelInstallHelper.exe checkedition <edition type>\n\n\n",
       BoxIcon::Error, kOk},
      {Message::InstallDirNotFound, "ShowInstallDirNotFound",
       L"The installation procedure will be reverted.\n\n"
       L"The installation directory of the Tarnwell could not be found.\nPath: '%ls'.\nCould not be accessed.\n\n",
       BoxIcon::Error, kOk},
      {Message::SystemDirNotFound, "ShowSystemDirNotFound",
       L"The installation procedure will be reverted.\n\n"
       L"The system directory could not be found.\nPath: '%ls'.\nCould not be accessed.\n\n\n\n",
       BoxIcon::Error, kOk},
      {Message::OtherEditionInstalled, "ShowOtherEditionInstalled",
       L"The installation procedure will be reverted.\n\n"
       L"It seems that a different edition (student or commercial) of the Tarnwell is already installed in:\n"
       L"Path: '%ls'.\n\n"
       L"Please, uninstall the Tarnwell before installing a different edition.\n\n",
       BoxIcon::Error, kOk},
      {Message::EngineNotFound, "ShowEngineNotFound",
       L"The installation procedure will be reverted.\n\n"
       L"The Qel VBA Engine was not found in the installtion.\n\n\n",
       BoxIcon::Error, kOk},
      {Message::RetryEngineCopy, "AskRetryEngineCopy",
       L"The Qel VBA Engine could not be copied into the system directory.\n"
       L"The most likely cause is that the Qel VBA Engine is in use by another.\n"
       L"application. Please, close ALL other applications and click retry.\n"
       L"Otherwise the installation will be reverted.\n\n"
       L"The GetLastError() function returned: %d.\n\n\n",
       BoxIcon::Error, kRetryCancel},
      {Message::EngineRegisterFailed, "ShowEngineRegisterFailed",
       L"The installation procedure will be reverted.\n\n"
       L"The Qel VBA Engine could not be registered (exit code %d).\n\n"
       L"RegSvr32 '%ls' failed.\n\n\n",
       BoxIcon::Error, kOk},
      {Message::ExtensionNotFound, "ShowExtensionNotFound",
       L"The Qel Explorer Extension was not found in the installation.\n"
       L"Explorer-statusbar information about .qel files will not be available.\n\n\n",
       BoxIcon::Warning, kOk},
      {Message::ExtensionRegisterFailed, "ShowExtensionRegisterFailed",
       L"The Qel Explorer Extension could not be registered.\n"
       L"Explorer-statusbar information about .qel files will not be available.\n"
       L"RegSvr32 '%ls' failed.\n\n\n",
       BoxIcon::Warning, kOk},
      {Message::DeleteInstallDirContent, "AskDeleteInstallDirContent",
       L"The installation directory is not empty:\n'%ls'\n\n"
       L"Please, select:\n\n"
       L"Yes: \tDelete all files in the installation directory and continue.\n"
       L"No: \tDon't delete anything and continue.\n"
       L"Cancel: \tAbort the installation.\n\n\n",
       BoxIcon::Warning, kYesNoCancel},
      {Message::RetryDeleteFiles, "AskRetryDeleteFiles",
       L"Some files in directory \n'%ls'\ncould not be deleted.\n"
       L"The most likely cause might be that some files from this directory are\n"
       L"in use by other applications. Please, close all other applications and click retry.\n\n"
       L"Retry: \tRetry to delete the files.\n"
       L"Ignore: \tDon't delete files and continue the installation.\n"
       L"Cancel: \tAbort the installation.\n\n\n",
       BoxIcon::Warning, kAbortRetryIgnore},
  };
  return messages;
}

const KnownMessage& Known(Message message) {
  for (const KnownMessage& known : AllMessages()) {
    if (known.message == message) return known;
  }
  return AllMessages().front();
}

ExpectedBox Box(Message message) { return {message, Known(message).format}; }

ExpectedBox Box(Message message, const std::wstring& path) {
  return {message, Format(Known(message).format, path.c_str())};
}

ExpectedBox Box(Message message, int number) { return {message, Format(Known(message).format, number)}; }

ExpectedBox Box(Message message, int number, const std::wstring& path) {
  return {message, Format(Known(message).format, number, path.c_str())};
}

const KnownMessage* IdentifyMessage(const std::wstring& text) {
  for (const KnownMessage& known : AllMessages()) {
    const std::wstring format = known.format;
    const size_t first = format.find(L'%');
    const std::wstring head = format.substr(0, first);
    const std::wstring tail = first == std::wstring::npos ? L"" : format.substr(format.rfind(L'%') + 2);
    const bool matches = first == std::wstring::npos
                             ? text == format
                             : text.size() >= head.size() + tail.size() && text.compare(0, head.size(), head) == 0 &&
                                   text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
    if (matches) return &known;
  }
  return nullptr;
}

const char* IconName(BoxIcon icon) {
  switch (icon) {
    case BoxIcon::None: return "no icon";
    case BoxIcon::Error: return "error";
    case BoxIcon::Warning: return "warning";
    case BoxIcon::Information: return "information";
    case BoxIcon::Question: return "question";
    default: return "unknown icon";
  }
}
