#pragma once
// What the acceptance scenarios set up around the helper: folders, files held open, the
// product's registry key, the system directory and the registrations of the test COM
// library. Nothing here links or includes the helper's own code: the scenarios see it only
// as an installer does.

#include <windows.h>

#include <string>
#include <vector>

#include "support/win32.h"

// The built helper, and the trace capture tool built beside it (tools/).
std::wstring HelperExe();
std::wstring TraceTool();

// Whether the scenarios run for the pictures (scripts/pictures.sh).
bool PictureMode();

// A fresh folder below C:\qelacceptance for one test, removed with its content afterwards.
// For the pictures, a folder as an installation would use it: C:\Program Files\Tarnwell.
class TestDir : public TempDir {
 public:
  TestDir();
  // Everything below the folder, as relative paths, sorted.
  std::vector<std::wstring> List() const { return TreeEntries(path()); }
};

// Software\Helvane\BRAVIK\2020 under HKEY_LOCAL_MACHINE, in the native view or in the 32-bit
// view (Software\Wow6432Node\...). While it lives, no other test process uses the key; both
// views start and end without it.
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
