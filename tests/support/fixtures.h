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
#include "support/win32.h"

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

// The entry with a layer over it: the layer sees each call first, with the entry below it,
// and decides whether and how to pass it on. Both the Windows rules that every unit test
// runs under and the fault layer of the sweep are layers.
template <class R, class... A, class Layer>
std::function<R(A...)> LayerOver(const std::function<R(A...)>& entry, Layer layer) {
  return [below = entry, layer](A... args) -> R { return layer(below, args...); };
}

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
  // Where unscripted questions are expected (a run with a failing call), they only end their loop.
  bool unscriptedIsFailure = true;

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

// Leaves quiet mode, and what was decided about who sees the boxes, as it found them.
class QuietModeGuard {
 public:
  QuietModeGuard() : saved_(QuietMode), viewer_(WhoSeesBoxes) {}
  ~QuietModeGuard() {
    QuietMode = saved_;
    WhoSeesBoxes = viewer_;
  }

 private:
  bool saved_;
  BoxViewer viewer_;
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

// The path of an open file or folder as the system names it, without the "\\?\" prefix.
std::wstring PathOfHandle(HANDLE handle);

// NtCreateFile, and the name that one of its calls opens (relative to its root directory).
using NtCreateFileCall = NTSTATUS(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG,
                                  ULONG, ULONG, ULONG, PVOID, ULONG);
std::wstring ObjectNameOf(const OBJECT_ATTRIBUTES* object);

// The classes of GetFileInformationByHandleEx that list a folder's entries.
bool IsListing(FILE_INFO_BY_HANDLE_CLASS kind);

// Refuses, with the error given, every listing of a folder for which refuse says so.
class RefusedListing {
 public:
  RefusedListing(std::function<bool(const std::wstring& folder)> refuse, DWORD error);

 private:
  ScopedOverride<BOOL(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD)> override_;
};

// Runs qel_tmain as the process would: the program's path, then these arguments.
int RunHelper(std::vector<std::wstring> arguments);
