#include "acceptance/runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <regex>

namespace {

// Far above any run of the helper; a scenario that hangs fails instead of holding up CI.
const DWORD kTimeLimitMs = 120000;

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return L"";
  const int chars = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(chars), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], chars);
  return wide;
}

std::vector<std::wstring> Lines(const std::string& utf8) {
  std::vector<std::wstring> lines;
  size_t start = 0;
  while (start < utf8.size()) {
    size_t end = utf8.find('\n', start);
    if (end == std::string::npos) end = utf8.size();
    std::string line = utf8.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(Wide(line));
    start = end + 1;
  }
  return lines;
}

// A file that a child writes as its standard output or error. A file rather than a pipe:
// Wine may hand the standard handles on to a process that outlives the child (its desktop
// process, started by the first program that needs one), and a pipe would then never end.
class OutputFile {
 public:
  OutputFile() {
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    wchar_t name[MAX_PATH] = {};
    GetTempFileNameW(folder, L"qel", 0, name);
    path_ = name;
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    handle_ = CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
  }
  ~OutputFile() {
    Close();
    DeleteFileW(path_.c_str());
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  HANDLE handle() const { return handle_; }
  // Once the child has started: only the child writes now.
  void Close() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }
  std::string Read() const { return ReadAll(path_); }

 private:
  std::wstring path_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// The number after a marker in the tool's report, or 0.
DWORD ReportedNumber(const std::string& report, const std::string& marker) {
  const size_t at = report.find(marker);
  if (at == std::string::npos) return 0;
  return static_cast<DWORD>(std::strtoul(report.c_str() + at + marker.size(), nullptr, 10));
}

struct Started {
  HANDLE process = nullptr;
  bool ok = false;
};

// The desktop of a window station made by this program: Wine, like Windows, does not show it.
const wchar_t* UnseenDesktop() {
  static const bool made = [] {
    HWINSTA own = GetProcessWindowStation();
    HWINSTA station = CreateWindowStationW(L"QelUnseen", 0, WINSTA_ALL_ACCESS, nullptr);
    const bool switched = station != nullptr && SetProcessWindowStation(station);
    const bool desktop = switched && CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr) != nullptr;
    SetProcessWindowStation(own);
    return desktop;  // station and desktop stay open while this program runs
  }();
  EXPECT_TRUE(made) << "no window station of its own, error " << GetLastError();
  return L"QelUnseen\\Default";
}

Started Start(std::wstring commandLine, HANDLE out, HANDLE err, Launch launch = Launch::Normal) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  std::wstring desktop = launch == Launch::UnseenStation ? UnseenDesktop() : L"";
  startup.lpDesktop = desktop.empty() ? nullptr : &desktop[0];
  startup.dwFlags = STARTF_USESTDHANDLES | (launch == Launch::Hidden ? STARTF_USESHOWWINDOW : 0);
  startup.wShowWindow = SW_HIDE;  // read only with STARTF_USESHOWWINDOW
  startup.hStdInput = nullptr;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process = {};
  const BOOL created = StartDespiteWineRefusals(commandLine.c_str(), [&] {
    return CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, out != nullptr, 0, nullptr, nullptr, &startup,
                          &process);
  });
  EXPECT_TRUE(created) << "cannot start " << Narrow(commandLine) << ", error " << GetLastError();
  if (!created) return {};
  CloseHandle(process.hThread);
  return {process.hProcess, true};
}

// Waits for the process within the time limit; one that overruns is ended.
bool Await(HANDLE process, DWORD& exitCode, const std::function<DWORD()>& alsoEnd = {}) {
  const bool ended = WaitForSingleObject(process, kTimeLimitMs) == WAIT_OBJECT_0;
  if (!ended) {
    TerminateProcess(process, 0xDEAD);
    const DWORD otherId = alsoEnd ? alsoEnd() : 0;
    HANDLE other = otherId != 0 ? OpenProcess(PROCESS_TERMINATE, FALSE, otherId) : nullptr;
    if (other != nullptr) {
      TerminateProcess(other, 0xDEAD);
      CloseHandle(other);
    }
    WaitForSingleObject(process, 10000);
  }
  GetExitCodeProcess(process, &exitCode);
  CloseHandle(process);
  return ended;
}

const std::wregex& TraceLinePattern() {
  static const std::wregex pattern(L"^PID: (\\d+), File: <([^<>]+)>, line: <(\\d+)>, function: <([^<>]+)>$");
  return pattern;
}

}  // namespace

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

std::vector<std::wstring> HelperRun::Functions() const {
  std::vector<std::wstring> functions;
  std::wsmatch match;
  for (const std::wstring& line : trace) {
    if (std::regex_match(line, match, TraceLinePattern())) functions.push_back(match[4].str());
  }
  return functions;
}

bool HelperRun::TraceContains(const std::wstring& text) const {
  for (const std::wstring& line : trace) {
    if (line.find(text) != std::wstring::npos) return true;
  }
  return false;
}

HelperRun RunHelper(const std::wstring& arguments, std::vector<Press> presses, const std::wstring& helper,
                    Launch launch) {
  HelperRun run;
  OutputFile out;
  OutputFile err;
  const std::wstring commandLine =
      Quoted(TraceTool()) + L" " + Quoted(helper) + (arguments.empty() ? L"" : L" " + arguments);
  Started tool = Start(commandLine, out.handle(), err.handle(), launch);
  out.Close();
  err.Close();
  if (!tool.ok) return run;

  // The tool names the helper's process as soon as it runs, long before any box.
  std::atomic<DWORD> helperPid{0};
  auto reportedPid = [&helperPid, &err] {
    if (helperPid == 0) helperPid = ReportedNumber(err.Read(), "qel_trace: process ");
    return helperPid.load();
  };
  Answerer answerer([reportedPid](DWORD processId) { return processId != 0 && processId == reportedPid(); },
                    std::move(presses));
  run.ended = Await(tool.process, run.exitCode, reportedPid);
  run.boxes = answerer.Finish();
  run.problems = answerer.Problems();
  run.trace = Lines(out.Read());
  run.toolErrors = err.Read();
  run.helperPid = reportedPid();
  EXPECT_TRUE(run.ended) << "the helper did not end within " << kTimeLimitMs / 1000 << " s: " << Narrow(arguments);
  EXPECT_NE(run.toolErrors.find("qel_trace: exit code " + std::to_string(run.exitCode) + "\n"), std::string::npos)
      << "the trace tool's report: " << run.toolErrors;
  return run;
}

ProgramRun RunProgram(const std::wstring& commandLine, std::vector<Press> presses) {
  ProgramRun run;
  Started program = Start(commandLine, nullptr, nullptr);
  if (!program.ok) return run;
  Answerer answerer([](DWORD) { return true; }, std::move(presses));
  run.processId = GetProcessId(program.process);
  run.ended = Await(program.process, run.exitCode);
  run.boxes = answerer.Finish();
  run.problems = answerer.Problems();
  EXPECT_TRUE(run.ended) << "did not end within " << kTimeLimitMs / 1000 << " s: " << Narrow(commandLine);
  return run;
}

ListenerRun Listen(const std::wstring& options, const std::function<void()>& meanwhile, size_t lines) {
  ListenerRun run;
  OutputFile out;
  OutputFile err;
  Started listener = Start(Quoted(TraceTool()) + L" --listen " + options, out.handle(), err.handle());
  out.Close();
  err.Close();
  if (!listener.ok) return run;
  const auto hasEnded = [&listener] { return WaitForSingleObject(listener.process, 0) == WAIT_OBJECT_0; };
  EXPECT_TRUE(WaitUntil([&] { return err.Read().find("listening") != std::string::npos || hasEnded(); }, 60000));
  if (meanwhile) meanwhile();
  if (lines > 0 && !hasEnded()) {
    EXPECT_TRUE(WaitUntil([&] { return Lines(out.Read()).size() >= lines; }, 60000)) << out.Read();
    TerminateProcess(listener.process, 0xDEAD);
  }
  run.ended = Await(listener.process, run.exitCode);
  run.lines = Lines(out.Read());
  run.report = err.Read();
  return run;
}

void ExpectBoxes(const std::vector<SeenBox>& seen, const std::vector<ExpectedBox>& expected) {
  EXPECT_EQ(seen.size(), expected.size()) << "boxes seen";
  for (size_t i = 0; i < seen.size() && i < expected.size(); ++i) {
    const KnownMessage& known = Known(expected[i].message);
    SCOPED_TRACE("box " + std::to_string(i + 1) + " (" + known.name + ")");
    EXPECT_EQ(Narrow(seen[i].text), Narrow(expected[i].text));
    EXPECT_TRUE(seen[i].text == expected[i].text) << "the texts differ beyond ASCII";
    EXPECT_STREQ(IconName(seen[i].icon), IconName(known.icon));
    EXPECT_EQ(ButtonNames(seen[i].buttons), ButtonNames(known.buttons));
  }
  for (size_t i = expected.size(); i < seen.size(); ++i) {
    ADD_FAILURE() << "an unexpected box: " << Narrow(seen[i].text);
  }
}

void ExpectTraceWellFormed(const HelperRun& run) {
  ASSERT_NE(run.helperPid, 0u) << "the trace tool named no process";
  size_t traceLines = 0;
  std::wsmatch match;
  for (const std::wstring& line : run.trace) {
    const bool looksLikeTrace = line.rfind(L"PID: ", 0) == 0 || line.find(L", function: <") != std::wstring::npos;
    if (!looksLikeTrace) continue;
    ++traceLines;
    if (!std::regex_match(line, match, TraceLinePattern())) {
      ADD_FAILURE() << "a malformed trace line: " << Narrow(line);
      continue;
    }
    EXPECT_EQ(std::stoul(match[1].str()), run.helperPid) << "a trace line of another process: " << Narrow(line);
  }
  EXPECT_GT(traceLines, 0u) << "no trace line";
}

void ExpectRun(const HelperRun& run, DWORD exitCode, const std::vector<ExpectedBox>& boxes) {
  EXPECT_EQ(run.exitCode, exitCode);
  ExpectBoxes(run.boxes, boxes);
  for (const std::string& problem : run.problems) ADD_FAILURE() << problem;
  ExpectTraceWellFormed(run);
}
