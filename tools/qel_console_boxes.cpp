// qel_console_boxes.exe: runs a command and shows each of its "TARNWELL Setup" boxes on the
// console as well, so that scripts/run.sh can be used without looking at a screen.
//
//   qel_console_boxes.exe [--answers yes,ignore] [--on-screen] QelInstallHelper.exe clean "C:\Tarnwell"
//
// Everything after the options is the command line, passed on exactly as written. Each box is
// printed on standard output with its caption, text and buttons. A box with OK alone is
// answered OK at once. A question takes the next of the --answers, else a line read from
// standard input (a button's name or its first letters, in any case); with --on-screen, the
// user answers it on the screen instead. When no answer is left, the button that ends the
// question is pressed (Abort, Cancel), and the output says so: the run never waits for an
// answer nobody can give. The tool ends with the command's exit code, or 255 when it cannot
// start it.

#include <windows.h>

#include <string>
#include <vector>

#include "common/boxes.h"
#include "common/console.h"

namespace {

const DWORD kCannotStart = 255;

HANDLE Out() { return GetStdHandle(STD_OUTPUT_HANDLE); }
bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != FALSE;
}
void Say(const std::wstring& text) { WriteText(Out(), text); }
std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

struct Options {
  std::vector<std::wstring> answers;
  bool onScreen = false;
  const wchar_t* command = L"";
};

// The next blank-separated word of the command line.
std::wstring Word(const wchar_t*& line) {
  const wchar_t* start = line;
  while (*line != 0 && *line != L' ' && *line != L'\t') ++line;
  std::wstring word(start, line);
  while (*line == L' ' || *line == L'\t') ++line;
  return word;
}

std::vector<std::wstring> SplitAtCommas(const std::wstring& list) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t comma = list.find(L',', start);
    const std::wstring part = list.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start);
    if (!part.empty()) parts.push_back(part);
    if (comma == std::wstring::npos) break;
    start = comma + 1;
  }
  return parts;
}

Options ReadOptions(const wchar_t* line) {
  Options options;
  for (;;) {
    const wchar_t* next = line;
    const std::wstring word = Word(next);
    if (word == L"--answers") {
      options.answers = SplitAtCommas(Word(next));
    } else if (word.rfind(L"--answers=", 0) == 0) {
      options.answers = SplitAtCommas(word.substr(10));
    } else if (word == L"--on-screen") {
      options.onScreen = true;
    } else {
      break;
    }
    line = next;
  }
  options.command = line;
  return options;
}

// The button whose name starts with the answer (any case, blanks around it ignored), when
// exactly one does; 0 otherwise.
int ButtonFor(std::wstring answer, const std::vector<int>& buttons) {
  while (!answer.empty() && (answer.back() == L' ' || answer.back() == L'\r' || answer.back() == L'\t')) {
    answer.pop_back();
  }
  while (!answer.empty() && (answer.front() == L' ' || answer.front() == L'\t')) answer.erase(0, 1);
  if (answer.empty()) return 0;
  int found = 0;
  for (int button : buttons) {
    const std::wstring name = Wide(ButtonName(button));
    if (answer.size() <= name.size() && _wcsnicmp(name.c_str(), answer.c_str(), answer.size()) == 0) {
      if (found != 0) return 0;
      found = button;
    }
  }
  return found;
}

// One line of standard input, without its line end; false at its end or without one.
bool ReadLine(std::wstring& line) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (in == nullptr || in == INVALID_HANDLE_VALUE) return false;
  std::string bytes;
  char c = 0;
  DWORD read = 0;
  while (ReadFile(in, &c, 1, &read, nullptr) && read == 1) {
    if (c == '\n') break;
    bytes += c;
  }
  if (bytes.empty() && read == 0) return false;
  line.assign(bytes.begin(), bytes.end());
  return true;
}

void Print(const std::wstring& text, const std::vector<int>& buttons) {
  std::wstring shown = text;
  while (!shown.empty() && (shown.back() == L'\n' || shown.back() == L'\r')) shown.pop_back();
  std::wstring lines = L"+ TARNWELL Setup\n|";
  bool lineStart = true;
  for (wchar_t c : shown) {
    if (c == L'\n') {
      lines += L"\n|";
    } else {
      lines += (lineStart ? L" " : L"") + std::wstring(1, c);
    }
    lineStart = c == L'\n';
  }
  lines += L"\n+";
  for (int button : buttons) lines += L" [" + Wide(ButtonName(button)) + L"]";
  Say(lines + L"\n");
}

// Answers one box, or leaves it to the user on the screen.
void Answer(HWND box, Options& options, HANDLE process) {
  Sleep(100);  // a box just shown may not have its controls yet
  const std::vector<int> buttons = ReadControls(box).buttons;
  Print(BoxText(box), buttons);
  const std::wstring names = Wide(ButtonNames(buttons));
  int button = buttons.size() == 1 && buttons.front() == IDOK ? IDOK : 0;
  while (button == 0 && !options.answers.empty()) {
    const std::wstring answer = options.answers.front();
    options.answers.erase(options.answers.begin());
    button = ButtonFor(answer, buttons);
    if (button == 0) Say(L"--answers: \"" + answer + L"\" is none of " + names + L"\n");
  }
  if (button == 0 && options.onScreen) {
    Say(L"Answer it in the box on the screen.\n");
    bool open = true;
    while (open) open = IsWindow(box) && IsWindowVisible(box) && WaitForSingleObject(process, 50) == WAIT_TIMEOUT;
    return;
  }
  std::wstring line;
  while (button == 0) {
    Say(L"Your answer (" + names + L"): ");
    if (!ReadLine(line)) {
      button = StopButton(buttons);
      Say(L"\nNo answer left to read: " + Wide(ButtonName(button)) + L", which ends the question.\n");
      break;
    }
    if (!IsConsole(GetStdHandle(STD_INPUT_HANDLE))) Say(line + L"\n");  // a console shows what is typed
    button = ButtonFor(line, buttons);
    if (button == 0) Say(L"\"" + line + L"\" is none of " + names + L"\n");
  }
  Say(L"> " + Wide(ButtonName(button)) + L"\n");
  if (!PressButton(box, button)) Say(L"qel_console_boxes: the box did not go away\n");
}

}  // namespace

int wmain() {
  Options options = ReadOptions(AfterFirstArgument(GetCommandLineW()));
  std::wstring command = options.command;
  if (command.empty()) {
    Say(L"usage: qel_console_boxes.exe [--answers a,b,...] [--on-screen] <program> [arguments...]\n");
    return kCannotStart;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
    Say(L"qel_console_boxes: cannot start " + command + L", error " + std::to_wstring(GetLastError()) + L"\n");
    return kCannotStart;
  }
  CloseHandle(started.hThread);
  // Every box of the caption counts: an elevated copy of the helper shows its boxes from a
  // process of its own.
  const auto anyProcess = [](DWORD) { return true; };
  while (WaitForSingleObject(started.hProcess, 20) == WAIT_TIMEOUT) {
    HWND box = FindHelperBox(anyProcess);
    if (box != nullptr) Answer(box, options, started.hProcess);
  }
  DWORD exitCode = kCannotStart;
  GetExitCodeProcess(started.hProcess, &exitCode);
  CloseHandle(started.hProcess);
  return static_cast<int>(exitCode);
}
