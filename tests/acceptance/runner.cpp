#include "acceptance/runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>

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

// The read end of a pipe whose write end a child inherits, drained by a thread of its own
// so that the child never blocks on a full pipe.
class Capture {
 public:
  Capture() {
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    CreatePipe(&read_, &write_, &inheritable, 0);
    SetHandleInformation(read_, HANDLE_FLAG_INHERIT, 0);
  }
  ~Capture() {
    CloseWriteEnd();
    if (thread_.joinable()) thread_.join();
    CloseHandle(read_);
  }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  HANDLE writeEnd() const { return write_; }
  // After the child has started: only the child holds the write end now.
  void Start(std::function<void(const std::string&)> onData = {}) {
    CloseWriteEnd();
    thread_ = std::thread([this, onData] {
      char chunk[4096];
      DWORD read = 0;
      while (ReadFile(read_, chunk, sizeof(chunk), &read, nullptr) && read > 0) {
        std::lock_guard<std::mutex> guard(mutex_);
        text_.append(chunk, read);
        if (onData) onData(text_);
      }
    });
  }
  std::string Finish() {
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> guard(mutex_);
    return text_;
  }

 private:
  void CloseWriteEnd() {
    if (write_ != nullptr) CloseHandle(write_);
    write_ = nullptr;
  }
  HANDLE read_ = nullptr;
  HANDLE write_ = nullptr;
  std::thread thread_;
  std::mutex mutex_;
  std::string text_;
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

Started Start(std::wstring commandLine, HANDLE out, HANDLE err) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process = {};
  const BOOL created = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, out != nullptr, 0, nullptr,
                                     nullptr, &startup, &process);
  EXPECT_TRUE(created) << "cannot start " << Narrow(commandLine) << ", error " << GetLastError();
  if (!created) return {};
  CloseHandle(process.hThread);
  return {process.hProcess, true};
}

// Waits for the process within the time limit; one that overruns is ended.
bool Await(HANDLE process, DWORD& exitCode, DWORD alsoEnd = 0) {
  const bool ended = WaitForSingleObject(process, kTimeLimitMs) == WAIT_OBJECT_0;
  if (!ended) {
    TerminateProcess(process, 0xDEAD);
    HANDLE other = alsoEnd != 0 ? OpenProcess(PROCESS_TERMINATE, FALSE, alsoEnd) : nullptr;
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

HelperRun RunHelper(const std::wstring& arguments, std::vector<Press> presses, const std::wstring& helper) {
  HelperRun run;
  std::atomic<DWORD> helperPid{0};
  Capture out;
  Capture err;
  const std::wstring commandLine =
      Quoted(BesideTests(L"qel_trace.exe")) + L" " + Quoted(helper) + (arguments.empty() ? L"" : L" " + arguments);
  Started tool = Start(commandLine, out.writeEnd(), err.writeEnd());
  if (!tool.ok) return run;
  out.Start();
  // The tool names the helper's process as soon as it runs, long before any box.
  err.Start([&helperPid](const std::string& report) {
    if (helperPid == 0) helperPid = ReportedNumber(report, "qel_trace: process ");
  });

  Answerer answerer([&helperPid](DWORD processId) { return processId != 0 && processId == helperPid; },
                    std::move(presses));
  run.ended = Await(tool.process, run.exitCode, helperPid);
  run.boxes = answerer.Finish();
  run.problems = answerer.Problems();
  run.trace = Lines(out.Finish());
  run.toolErrors = err.Finish();
  run.helperPid = helperPid;
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
  run.ended = Await(program.process, run.exitCode);
  run.boxes = answerer.Finish();
  run.problems = answerer.Problems();
  EXPECT_TRUE(run.ended) << "did not end within " << kTimeLimitMs / 1000 << " s: " << Narrow(commandLine);
  return run;
}

void ExpectBoxes(const std::vector<SeenBox>& seen, const std::vector<ExpectedBox>& expected) {
  EXPECT_EQ(seen.size(), expected.size()) << "boxes seen";
  for (size_t i = 0; i < seen.size() && i < expected.size(); ++i) {
    const MessageSpec& spec = Spec(expected[i].message);
    SCOPED_TRACE("box " + std::to_string(i + 1) + " (" + spec.name + ")");
    EXPECT_EQ(Narrow(seen[i].text), Narrow(expected[i].text));
    EXPECT_TRUE(seen[i].text == expected[i].text) << "the texts differ beyond ASCII";
    EXPECT_STREQ(IconName(seen[i].icon), IconName(spec.icon));
    EXPECT_EQ(ButtonNames(seen[i].buttons), ButtonNames(spec.buttons));
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
