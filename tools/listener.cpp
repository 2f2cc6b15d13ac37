#include "listener.h"

#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "common/console.h"

namespace {

// The protocol's buffer: the writer's process id, then its text in the ANSI code page, ended
// by a zero.
const DWORD kBufferBytes = 4096;

// A kernel handle, closed when its owner goes; movable, so that a list can hold it.
class Owned {
 public:
  explicit Owned(HANDLE handle = nullptr) : handle_(handle) {}
  ~Owned() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  Owned(Owned&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  Owned& operator=(Owned&& other) noexcept {
    std::swap(handle_, other.handle_);
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

struct Buffer {
  Owned bufferReady;  // set by the listener: a writer may fill the buffer
  Owned dataReady;    // set by the writer: the buffer holds its text
  Owned section;
  const char* view = nullptr;
  ~Buffer() {
    if (view != nullptr) UnmapViewOfFile(view);
  }
};

// Every writer may use the buffer, whatever its account and integrity level: the helper's
// unelevated first copy writes into the buffer of an elevated listener, the system account into
// the Global one. Only the system and administrators may change or remove the objects.
class WritersMayUse {
 public:
  WritersMayUse() {
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGWGX;;;WD)S:(ML;;NW;;;LW)",
                                                         SDDL_REVISION_1, &attributes_.lpSecurityDescriptor, nullptr);
  }
  ~WritersMayUse() { LocalFree(attributes_.lpSecurityDescriptor); }
  WritersMayUse(const WritersMayUse&) = delete;
  WritersMayUse& operator=(const WritersMayUse&) = delete;
  // The default security when the descriptor could not be made.
  SECURITY_ATTRIBUTES* get() { return &attributes_; }

 private:
  SECURITY_ATTRIBUTES attributes_ = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

enum class Outcome { Listening, Held, Failed };

struct Opening {
  Outcome outcome;
  std::wstring name;  // of the object that decided it
  DWORD error;
};

// Another listener's objects exist (the viewer that made them decides who may open them).
bool IsHeld(const std::wstring& bufferReadyName) {
  Owned existing(OpenEventW(SYNCHRONIZE, FALSE, bufferReadyName.c_str()));
  return existing.get() != nullptr || GetLastError() != ERROR_FILE_NOT_FOUND;
}

Opening Create(Owned& owner, bool section, SECURITY_ATTRIBUTES* security, const std::wstring& name) {
  SetLastError(ERROR_SUCCESS);
  owner = Owned(section ? CreateFileMappingW(INVALID_HANDLE_VALUE, security, PAGE_READWRITE, 0, kBufferBytes,
                                             name.c_str())
                        : CreateEventW(security, FALSE, FALSE, name.c_str()));
  const DWORD error = GetLastError();
  if (owner.get() == nullptr) return {Outcome::Failed, name, error};
  // Made by another listener between the check and now: it stays that listener's.
  if (error == ERROR_ALREADY_EXISTS) return {Outcome::Held, name, error};
  return {Outcome::Listening, name, 0};
}

Opening OpenBuffer(const std::wstring& prefix, Buffer& buffer) {
  const std::wstring bufferReady = prefix + L"DBWIN_BUFFER_READY";
  if (IsHeld(bufferReady)) return {Outcome::Held, bufferReady, 0};
  WritersMayUse security;
  Opening opening = Create(buffer.bufferReady, false, security.get(), bufferReady);
  if (opening.outcome == Outcome::Listening) {
    opening = Create(buffer.dataReady, false, security.get(), prefix + L"DBWIN_DATA_READY");
  }
  if (opening.outcome == Outcome::Listening) {
    opening = Create(buffer.section, true, security.get(), prefix + L"DBWIN_BUFFER");
  }
  if (opening.outcome != Outcome::Listening) return opening;
  buffer.view = static_cast<const char*>(MapViewOfFile(buffer.section.get(), FILE_MAP_READ, 0, 0, kBufferBytes));
  if (buffer.view == nullptr) return {Outcome::Failed, opening.name, GetLastError()};
  return opening;
}

struct Message {
  SYSTEMTIME time;
  DWORD pid;
  std::string text;
};

Message CopyOut(const char* view) {
  Message message;
  GetLocalTime(&message.time);
  std::memcpy(&message.pid, view, sizeof(DWORD));
  const char* text = view + sizeof(DWORD);
  message.text.assign(text, strnlen(text, kBufferBytes - sizeof(DWORD)));
  return message;
}

// A process that wrote to the buffer. Its handle keeps its id from passing to another process
// while it is remembered.
struct Writer {
  DWORD pid = 0;
  Owned process;
  std::wstring image;
  bool helper = false;  // it wrote a trace line of the helper that carries its own id
  bool ended = false;   // seen ended after a text
};

std::wstring ImageName(HANDLE process) {
  wchar_t path[1024] = {};
  DWORD size = 1024;
  if (process == nullptr || !QueryFullProcessImageNameW(process, 0, path, &size)) return L"?";
  const wchar_t* name = wcsrchr(path, L'\\');
  return name != nullptr ? name + 1 : path;
}

Writer& WriterOf(std::vector<Writer>& writers, DWORD pid) {
  for (Writer& writer : writers) {
    if (writer.pid == pid) return writer;
  }
  Writer writer;
  writer.pid = pid;
  writer.process = Owned(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  writer.image = ImageName(writer.process.get());
  writers.push_back(std::move(writer));
  return writers.back();
}

// Called after each text. A writer that has ended may have left its last text in the buffer,
// unread (the buffer was handed back before the text was shown): it is forgotten only after the
// next text, which is that one if any.
void ForgetEnded(std::vector<Writer>& writers) {
  writers.erase(std::remove_if(writers.begin(), writers.end(), [](const Writer& writer) { return writer.ended; }),
                writers.end());
  for (Writer& writer : writers) {
    writer.ended = writer.process.get() != nullptr && WaitForSingleObject(writer.process.get(), 0) == WAIT_OBJECT_0;
  }
}

// The helper's trace lines begin with its own process id.
bool IsTraceLineOf(const std::wstring& line, DWORD pid) {
  const std::wstring start = L"PID: " + std::to_wstring(pid) + L", File: <";
  return line.compare(0, start.size(), start) == 0;
}

std::vector<std::wstring> Lines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring line = text.substr(start, end - start);
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

std::wstring Stamp(const SYSTEMTIME& time) {
  wchar_t text[32] = {};
  swprintf(text, 32, L"%04d-%02d-%02d %02d:%02d:%02d.%03d", time.wYear, time.wMonth, time.wDay, time.wHour,
           time.wMinute, time.wSecond, time.wMilliseconds);
  return text;
}

struct Tally {
  unsigned long long printed = 0;
  unsigned long long leftOut = 0;
};

void Show(const Message& message, Writer& writer, bool all, HANDLE out, Tally& tally) {
  for (const std::wstring& line : Lines(FromCodePage(message.text))) {
    writer.helper = writer.helper || IsTraceLineOf(line, writer.pid);
    if (!all && !writer.helper) {
      ++tally.leftOut;
      continue;
    }
    const std::wstring writtenBy = std::to_wstring(writer.pid) + L" " + writer.image;
    WriteText(out, Stamp(message.time) + L" " + writtenBy + L": " + line + L"\n");
    ++tally.printed;
  }
}

// Milliseconds to wait for the next text: none once the deadline (0: none) has passed.
DWORD TimeLeft(ULONGLONG deadline) {
  if (deadline == 0) return INFINITE;
  const ULONGLONG now = GetTickCount64();
  return now >= deadline ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, INFINITE - 1));
}

Tally Receive(const Buffer& buffer, HANDLE stop, const ListenOptions& options, HANDLE out) {
  const ULONGLONG deadline = options.seconds == 0 ? 0 : GetTickCount64() + options.seconds * 1000;
  std::vector<Writer> writers;
  Tally tally;
  SetEvent(buffer.bufferReady.get());
  for (;;) {
    const DWORD timeLeft = TimeLeft(deadline);
    const HANDLE events[2] = {buffer.dataReady.get(), stop};
    if (timeLeft == 0 || WaitForMultipleObjects(2, events, FALSE, timeLeft) != WAIT_OBJECT_0) break;
    const Message message = CopyOut(buffer.view);
    // The writer waits for the buffer, and so does every program that writes after it.
    SetEvent(buffer.bufferReady.get());
    Show(message, WriterOf(writers, message.pid), options.all, out, tally);
    ForgetEnded(writers);
  }
  return tally;
}

HANDLE stopEvent = nullptr;

BOOL WINAPI OnConsoleControl(DWORD) {
  SetEvent(stopEvent);
  return TRUE;
}

void Report(HANDLE err, const std::wstring& text) { WriteText(err, L"qel_trace: " + text + L"\n"); }

}  // namespace

int Listen(const ListenOptions& options, HANDLE out, HANDLE err) {
  const std::wstring prefix = options.global ? L"Global\\" : L"";
  Buffer buffer;
  const Opening opening = OpenBuffer(prefix, buffer);
  if (opening.outcome == Outcome::Held) {
    Report(err, L"another listener holds the debug output (" + opening.name + L" exists): end it first");
    return 1;
  }
  if (opening.outcome == Outcome::Failed) {
    const wchar_t* needsRights = L": listening in Global\\ needs administrator rights (an elevated prompt)";
    Report(err, L"cannot create " + opening.name + L", error " + std::to_wstring(opening.error) +
                    (options.global ? needsRights : L""));
    return 1;
  }
  Owned stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  stopEvent = stop.get();
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  Report(err, L"listening to the debug output" + std::wstring(options.global ? L" in Global\\" : L"") +
                  (options.seconds == 0 ? L" until Ctrl+C" : L" for " + std::to_wstring(options.seconds) + L" s"));
  const Tally tally = Receive(buffer, stop.get(), options, out);
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  Report(err, std::to_wstring(tally.printed) + L" lines printed, " + std::to_wstring(tally.leftOut) +
                  L" of other programs left out" + (options.all ? L"" : L" (--all prints them)"));
  return 0;
}
