#pragma once
// System components in tests: the child processes the helper starts, the registry traces of
// the test COM library (tests/programs/component.cpp), and an installation folder as the
// product installer leaves it, for the "copy" tests.

#include <string>
#include <vector>

#include "support/fixtures.h"
#include "support/productkey.h"

using CreateProcessSignature = BOOL(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                                    LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION);

struct StartedProcess {
  std::wstring application;  // empty when none was given
  std::wstring commandLine;
  std::wstring currentDirectory;  // the starting process's, which the child inherits
  BOOL created = FALSE;
  PROCESS_INFORMATION handles = {};
};

// Records every process start (each passed on to the real CreateProcessW) and every handle
// closed through the platform.
class ProcessRecorder {
 public:
  ProcessRecorder();
  std::vector<StartedProcess> started;
  std::vector<HANDLE> closed;
  // Runs before each start is passed on, to look at the state the child will find.
  std::function<void()> beforeStart;

  // True when both handles of that start were closed.
  bool HandlesClosed(const StartedProcess& process) const;

 private:
  ScopedOverride<CreateProcessSignature> create_;
  ScopedOverride<BOOL(HANDLE)> close_;
};

// Fails the test when anything tries to start a process while it lives; nothing starts.
class NoProcessStarts {
 public:
  NoProcessStarts();

 private:
  ScopedOverride<CreateProcessSignature> create_;
};

// Forgets the registration of every library it watches when it goes out of scope, so a
// test leaves no class keys behind, whichever way it ends.
class RegistrationCleanup {
 public:
  RegistrationCleanup() = default;
  ~RegistrationCleanup();
  RegistrationCleanup(const RegistrationCleanup&) = delete;
  RegistrationCleanup& operator=(const RegistrationCleanup&) = delete;

  // Returns library, for use inline.
  std::wstring Watch(const std::wstring& library);

 private:
  std::vector<std::wstring> libraries_;
};

// The installation in a fresh folder: the control, the library and the extension are
// copies of the test COM library (or of its failing twin), the companion a text file.
// Every library laid out is watched, so its registration is forgotten afterwards. The
// engine files' names carry a tag of their own (the test's name and a counter) besides
// their fragments: "copy" puts them into the one system directory of the prefix, where
// tests running at the same time must not meet.
class Installation {
 public:
  explicit Installation(const InstallationOptions& options = {});

  const std::wstring& path() const { return dir_.path(); }
  std::wstring EngineDir() const { return dir_ / L"VBAEngine\\Windows64"; }
  std::wstring ControlName() const { return L"wbentX" + tag_ + L".ocx"; }
  std::wstring CompanionName() const { return L"WBENTX" + tag_ + L".LIC"; }  // case is ignored
  std::wstring LibraryName() const { return L"wbX64" + tag_ + L".dll"; }
  std::wstring Control() const { return EngineDir() + L"\\" + ControlName(); }
  std::wstring Companion() const { return EngineDir() + L"\\" + CompanionName(); }
  std::wstring Library() const { return EngineDir() + L"\\" + LibraryName(); }
  std::wstring ExtensionDir() const { return dir_ / L"AMD64"; }
  std::wstring Extension() const { return ExtensionDir() + L"\\QELInfo_AMD64.dll"; }

  // Also for the copies that the test makes elsewhere (the system directory).
  RegistrationCleanup registrations;

 private:
  std::wstring tag_;
  TempDir dir_;
};

// The engine files of an installation where "copy" puts them: the system directory. They,
// the helper's own files beside them and the registrations of these copies are removed when
// it is made (what a killed run left) and when it goes out of scope, whichever way the test
// ends. The helper's own files there have one name for every engine: from the first one made
// until the test process ends, no other test process works on an engine there.
// So are their counts under SharedDLLs; and it holds the product's keys while it lives.
class EngineInSystemDir {
 public:
  explicit EngineInSystemDir(const Installation& installation);
  const ProductKeys& keys() const { return keys_; }
  ~EngineInSystemDir() { Remove(); }
  EngineInSystemDir(const EngineInSystemDir&) = delete;
  EngineInSystemDir& operator=(const EngineInSystemDir&) = delete;

  const std::wstring& dir() const { return dir_; }
  std::wstring Control() const { return dir_ + L"\\" + names_[0]; }
  std::wstring Companion() const { return dir_ + L"\\" + names_[1]; }
  std::wstring Library() const { return dir_ + L"\\" + names_[2]; }
  // How many of the three are there.
  int Present() const;
  // The start of every name of the helper's own files for this engine (staged files,
  // backups, the journal), and those that lie there.
  const std::wstring& HelperNames() const { return stem_; }
  std::vector<std::wstring> Leftovers() const;

 private:
  void Remove() const;
  bool turn_;  // taken before the product's keys, which other processes take alone
  ProductKeys keys_;
  std::wstring dir_;
  std::vector<std::wstring> names_;
  std::wstring stem_;
};

// The test COM library, and its twin whose registration fails.
std::wstring GoodComponent();
std::wstring FailingComponent();
