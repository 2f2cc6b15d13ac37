#pragma once
// The frame of the start-up tests. What Wine cannot vary goes through the seam: the token's
// elevation (Wine's is always elevated) and the elevation prompt with the copy it starts (Wine
// starts it without asking). Everything else, the version test included, is Wine's own unless
// a test says otherwise.

#include <string>
#include <vector>

#include "support/fixtures.h"

// An argument vector that lives as long as the test; argv() ends with a null pointer.
class Arguments {
 public:
  Arguments(std::vector<std::wstring> arguments);
  int argc() const { return static_cast<int>(storage_.size()); }
  wchar_t** argv() { return pointers_.data(); }

 private:
  std::vector<std::wstring> storage_;
  std::vector<wchar_t*> pointers_;
};

// One call of ShellExecuteExW as the helper made it.
struct Start {
  std::wstring verb;
  std::wstring file;
  std::wstring parameters;
  DWORD size = 0;
  ULONG mask = 0;
  bool hasOwner = false;
  std::wstring directory;
  int show = 0;
};

class StartupTest : public HelperTest {
 protected:
  StartupTest();

  // What the token says.
  bool elevated = false;
  // The elevation prompt: declined (with this error) unless accepted; an accepted prompt
  // starts a stand-in process that ends with exitCode. realStart lets Wine start it for real.
  bool accepted = false;
  DWORD declineError = ERROR_CANCELLED;
  DWORD exitCode = 0;
  bool realStart = false;

  std::vector<Start> starts;
  // Seam calls and trace functions ("> name") in the order they happened.
  std::vector<std::wstring> events;
  int fakeProcessCloses = 0;

  // The stand-in for the started copy's process handle.
  static HANDLE FakeProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x5ee1)); }

  // The argument lines of the dump that follows the first trace line of function.
  std::vector<std::wstring> DumpAfter(const std::wstring& function) const;
  bool Traced(const std::wstring& function) const;

 private:
  ScopedOverride<void(LPCWSTR)> debugOutput_;
  ScopedOverride<BOOL(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD)> token_;
  ScopedOverride<BOOL(SHELLEXECUTEINFOW*)> shellExecute_;
  ScopedOverride<DWORD(HANDLE, DWORD)> wait_;
  ScopedOverride<BOOL(HANDLE, LPDWORD)> exitCode_;
  ScopedOverride<BOOL(HANDLE)> close_;
};

// The parameter text that RespawnSpawnProgram passes on, split again by the real platform
// splitting; element 0 is a program name put in front.
std::vector<std::wstring> SplitParameters(const std::wstring& parameters);
