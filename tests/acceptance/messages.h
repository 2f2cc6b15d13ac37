#pragma once
// The helper's message boxes as the user must see them: text, icon and buttons. Written
// down here independently of the helper's code, so a scenario notices any change.

#include <windows.h>

#include <string>
#include <vector>

enum class BoxIcon { None, Error, Warning, Information, Question, Unknown };

enum class Message {
  InvalidParameters,
  InvalidEditionParameters,
  InstallDirNotFound,
  SystemDirNotFound,
  OtherEditionInstalled,
  EngineNotFound,
  RetryEngineCopy,
  EngineRegisterFailed,
  ExtensionNotFound,
  ExtensionRegisterFailed,
  DeleteInstallDirContent,
  RetryDeleteFiles,
};

struct KnownMessage {
  Message message;
  const char* name;           // the helper's operation, for reports and picture names
  const wchar_t* format;      // %ls a path, %d a number
  BoxIcon icon;
  std::vector<int> buttons;   // left to right
};

const std::vector<KnownMessage>& AllMessages();
const KnownMessage& Known(Message message);

// A box the user must see, its text filled in.
struct ExpectedBox {
  Message message;
  std::wstring text;
};

ExpectedBox Box(Message message);
ExpectedBox Box(Message message, const std::wstring& path);
ExpectedBox Box(Message message, int number);
// ShowEngineRegisterFailed: the exit code first, the path second.
ExpectedBox Box(Message message, int number, const std::wstring& path);

// The message whose fixed parts a seen text carries, or null.
const KnownMessage* IdentifyMessage(const std::wstring& text);

const char* IconName(BoxIcon icon);
