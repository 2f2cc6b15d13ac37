#pragma once
// What the acceptance scenarios set up around the helper: folders, files held open, the
// product's registry key, the system directory and the registrations of the test COM
// library. Nothing here links or includes the helper's own code: the scenarios see it only
// as an installer does.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

// The built helper, and the programs built beside this test program.
std::wstring HelperExe();
std::wstring BesideTests(const std::wstring& name);

std::string Narrow(const std::wstring& text);

bool Exists(const std::wstring& path);
std::string ReadAll(const std::wstring& path);
bool SameContent(const std::wstring& a, const std::wstring& b);
// Removes a file or a whole tree, read-only entries included; links are removed, not entered.
void RemoveTree(const std::wstring& path);
// The "\\?\" form of a full path, which reaches names that the usual form cannot ("dir.").
std::wstring Verbatim(const std::wstring& path);

// A symbolic link made on the Linux side, as Wine lists it: a directory and reparse point.
// target is taken as it is (relative to the link's folder, when relative).
void MakeLink(const std::wstring& link, const std::string& target);
// The Linux path of a path on C:.
std::string UnixPath(const std::wstring& path);

// Whether the scenarios run for the pictures (scripts/pictures.sh).
bool PictureMode();

// A fresh folder below C:\qelacceptance for one test, removed with its content afterwards.
// For the pictures, a folder as an installation would use it: C:\Program Files\Tarnwell.
class TestDir {
 public:
  TestDir();
  ~TestDir();
  TestDir(const TestDir&) = delete;
  TestDir& operator=(const TestDir&) = delete;

  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& relative) const { return path_ + L"\\" + relative; }
  std::wstring MakeDir(const std::wstring& relative) const;
  std::wstring MakeFile(const std::wstring& relative, const std::string& content = "x") const;
  // Everything below the folder, as relative paths, sorted.
  std::vector<std::wstring> List() const;

 private:
  std::wstring path_;
};

// Holds a file open without sharing, as an application that uses it would, until released.
class FileLock {
 public:
  explicit FileLock(const std::wstring& path);
  ~FileLock() { Release(); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  void Release();

 private:
  HANDLE handle_;
};

// Software\Helvane\BRAVIK\2020 under HKEY_LOCAL_MACHINE, in the native view or in the 32-bit
// view (Software\Wow6432Node\...). While it lives, no other test process uses the key; both
// views start and end without it.
enum class KeyView { Native, Wow };
class ProductKey {
 public:
  ProductKey();
  ~ProductKey();
  ProductKey(const ProductKey&) = delete;
  ProductKey& operator=(const ProductKey&) = delete;

  void Set(KeyView view, const std::wstring& name, const std::wstring& text) const;
  bool Has(KeyView view, const std::wstring& name) const;
  std::wstring Get(KeyView view, const std::wstring& name) const;
  void Clear() const;

 private:
  HANDLE lock_;
};

std::wstring SystemDir();

// True when the copy of the test COM library at this path is registered: its class key
// names exactly this file as its server.
bool IsRegistered(const std::wstring& library);
// Runs the system's registration tool on a library and returns its exit code.
DWORD RegSvr(const std::wstring& library, bool registering);

// The engine as an installation carries it: the control, its companion file and its library,
// named uniquely for this test process so that the files it puts into the system directory
// are its own. When it dies, those files are gone from the system directory and every
// registration of a library it names is removed.
struct EngineNames {
  std::wstring control;    // "wb", "ent", ".ocx"
  std::wstring companion;  // "wb", "ent", ".lic"
  std::wstring library;    // "wb", "64", ".dll"
};
EngineNames TestEngineNames();

struct InstallationOptions {
  bool control = true;
  bool companion = true;
  bool library = true;
  bool failingControl = false;    // the control refuses to register
  bool extensionFolder = true;    // AMD64
  bool extension = true;          // AMD64\QELInfo_AMD64.dll
  bool failingExtension = false;  // the extension refuses to register
};

// An installation as the product installer leaves it before it runs "copy": the control, the
// library and the extension are copies of the test COM library (or of its failing twin).
class Installation {
 public:
  explicit Installation(const InstallationOptions& options = {});
  ~Installation();
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;

  const std::wstring& path() const { return folder_.path(); }
  const TestDir& folder() const { return folder_; }
  const EngineNames& names() const { return names_; }
  std::wstring EngineDir() const { return folder_ / L"VBAEngine\\Windows64"; }
  std::wstring Engine(const std::wstring& name) const { return EngineDir() + L"\\" + name; }
  std::wstring Extension() const { return folder_ / L"AMD64\\QELInfo_AMD64.dll"; }
  // Where "copy" puts an engine file.
  std::wstring InSystemDir(const std::wstring& name) const { return SystemDir() + L"\\" + name; }

 private:
  void ForgetSystemDirFiles() const;
  TestDir folder_;
  EngineNames names_;
};

// The test COM library and its twin whose registration fails.
std::wstring GoodComponent();
std::wstring FailingComponent();
void ForgetRegistration(const std::wstring& library);
