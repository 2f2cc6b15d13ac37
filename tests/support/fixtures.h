#pragma once
// Shared test fixtures: scoped platform overrides, captured message boxes and trace lines,
// quiet mode restored, and a fresh folder per test.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "base/messages.h"
#include "base/platform.h"

template <class T>
struct Identity {
  using type = T;
};

// Replaces one platform entry while the guard lives; the original comes back when it dies.
template <class Signature>
class ScopedOverride {
 public:
  ScopedOverride(std::function<Signature>& entry, typename Identity<std::function<Signature>>::type replacement)
      : entry_(entry), original_(entry) {
    entry_ = std::move(replacement);
  }
  ~ScopedOverride() { entry_ = original_; }
  ScopedOverride(const ScopedOverride&) = delete;
  ScopedOverride& operator=(const ScopedOverride&) = delete;

  // The entry as it was before, for a replacement that passes some calls on.
  const std::function<Signature>& original() const { return original_; }

 private:
  std::function<Signature>& entry_;
  std::function<Signature> original_;
};

struct Box {
  std::wstring text;
  std::wstring caption;
  UINT style = 0;
  bool hasOwner = false;
};

// Captures every message box and answers it with the next scripted answer. A box with
// only OK needs no script; a question without a scripted answer fails the test and is
// answered with the button that ends its loop (Abort or Cancel), so no test can hang.
class BoxRecorder {
 public:
  BoxRecorder();
  // A new script starts with its first answer.
  void Answer(std::vector<int> answers) {
    answers_ = std::move(answers);
    next_ = 0;
  }

  std::vector<Box> boxes;

 private:
  int Show(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style);
  std::vector<int> answers_;
  size_t next_ = 0;
  ScopedOverride<int(HWND, LPCWSTR, LPCWSTR, UINT)> override_;
};

// Captures every text sent to the debugger output, in order.
class TraceRecorder {
 public:
  TraceRecorder();
  std::vector<std::wstring> lines;

  // The function names of the trace lines, in order.
  std::vector<std::wstring> Functions() const;
  // True when some line contains the text.
  bool Contains(const std::wstring& text) const;

 private:
  ScopedOverride<void(LPCWSTR)> override_;
};

// Leaves quiet mode as it found it.
class QuietModeGuard {
 public:
  QuietModeGuard() : saved_(QuietMode) {}
  ~QuietModeGuard() { QuietMode = saved_; }

 private:
  bool saved_;
};

// A fresh, empty folder below C:\qeltests for one test, removed with its content after it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::wstring& path() const { return path_; }
  // path() + "\" + relative.
  std::wstring operator/(const std::wstring& relative) const { return path_ + L"\\" + relative; }

  // Creates a folder (with its parents) or a file (with its folders) below path().
  std::wstring MakeDir(const std::wstring& relative) const;
  std::wstring MakeFile(const std::wstring& relative, const std::string& content = "x") const;

 private:
  std::wstring path_;
};

// The full path of a file that the test build puts beside the test program (helper
// programs and libraries built for the tests).
std::wstring TestArtifact(const std::wstring& name);

bool Exists(const std::wstring& path);
std::string ReadAll(const std::wstring& path);
// Removes a file or a whole tree, read-only entries included; links are removed, not entered.
void RemoveTree(const std::wstring& path);

// The names in a folder in the order the platform lists them, "." and ".." left out.
std::vector<std::wstring> ListNames(const std::wstring& dir);

// Every entry below dir as a relative path, sorted; links are listed, not entered.
std::vector<std::wstring> TreeEntries(const std::wstring& dir);

// Holds a file open without sharing, as another program that uses it would, until
// Release() or the end of the scope.
class LockedFile {
 public:
  explicit LockedFile(const std::wstring& path);
  ~LockedFile() { Release(); }
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;
  void Release();

 private:
  HANDLE handle_;
};

// The Linux path of a C: path in this prefix.
std::wstring LinuxPath(const std::wstring& path);

// Runs a Linux program of this machine (program as "\\?\unix\bin\ln", commandLine with
// argv[0] first). Under Wine its exit code cannot be read and its work may show only
// after the wait for it has ended: check what it does with WaitUntil.
void RunLinux(const wchar_t* program, std::wstring commandLine);

// Polls the condition for up to 5 seconds; its last value.
bool WaitUntil(const std::function<bool()>& condition);

// A Linux symbolic link inside the prefix (Wine lists it as a directory with the
// reparse-point attribute and cannot remove it). Made and removed with the Linux ln and
// rm, never followed; the target is a C: path. Declare it after the TempDir that holds it.
class LinuxLink {
 public:
  LinuxLink(const std::wstring& link, const std::wstring& target);
  ~LinuxLink();
  LinuxLink(const LinuxLink&) = delete;
  LinuxLink& operator=(const LinuxLink&) = delete;

 private:
  std::wstring link_;
};

// The process's current directory.
std::wstring CurrentDirectoryPath();

// Makes a folder current for a scope and restores the one before.
class CurrentDirectory {
 public:
  explicit CurrentDirectory(const std::wstring& path);
  ~CurrentDirectory();
  CurrentDirectory(const CurrentDirectory&) = delete;
  CurrentDirectory& operator=(const CurrentDirectory&) = delete;

 private:
  std::wstring saved_;
};

// The usual frame of a test: boxes and trace captured, quiet mode restored.
class HelperTest : public ::testing::Test {
 protected:
  QuietModeGuard quiet;
  BoxRecorder boxes;
  TraceRecorder trace;
};

// Runs qel_tmain as the process would: the program's path, then these arguments.
int RunHelper(std::vector<std::wstring> arguments);

// Texts for readable assertion messages.
std::string Narrow(const std::wstring& text);
