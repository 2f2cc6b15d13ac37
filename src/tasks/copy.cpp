#include "tasks/copy.h"

#include "base/files.h"
#include "base/messages.h"
#include "base/platform.h"
#include "base/process.h"
#include "base/text.h"
#include "tasks/enginetransaction.h"

namespace {

const wchar_t kEngineSubdir[] = L"VBAEngine\\Windows64";
const wchar_t kExtensionSubdir[] = L"AMD64";
const wchar_t kExtensionName[] = L"QELInfo_AMD64.dll";

const wchar_t* OrEmpty(const wchar_t* text) { return text != nullptr ? text : L""; }

// dir + "\" + name. A path that cannot be built (no dir, or too long) leaves dest empty,
// so that nothing acts on a part of it; an empty dir would mean the current drive's root.
bool BuildPath(wchar_t* dest, const wchar_t* dir, const wchar_t* name) {
  if (dir != nullptr && dir[0] != 0 && JoinPath(dest, dir, name)) return true;
  dest[0] = 0;
  DebugLog(L"BuildPath: the path cannot be built: <%ls> + <%ls>", OrEmpty(dir), OrEmpty(name));
  return false;
}

bool LookUpSpecialFolder(const wchar_t* name, wchar_t* dir, int csidl) {
  PlatformCalls& platform = Platform();
  const DWORD before = platform.GetLastError();
  const BOOL found = platform.SHGetSpecialFolderPathW(nullptr, dir, csidl, FALSE);
  const DWORD after = platform.GetLastError();
  DebugLog(L"%ls: LastError before: <%x>, result: <%d>, LastError after: <%x>, csidl: <%d>, path: <%ls>", name, before,
           found, after, csidl, dir);
  // An empty path would stand for the current drive's root, not for a system directory.
  return found && dir[0] != 0;
}

bool GetNativeSystemX86Directory(wchar_t* dir) {
  QEL_TRACE();
  return LookUpSpecialFolder(L"GetNativeSystemX86Directory", dir, CSIDL_SYSTEMX86);
}

// Makes a directory current while the engine is installed, so that the registration tool
// runs in it, and brings back the one before: explicitly before any message, at the latest
// when it goes out of scope. A current directory that cannot be saved is not changed, as it
// could not be brought back.
class CurrentDirectoryChange {
 public:
  explicit CurrentDirectoryChange(const wchar_t* dir) {
    PlatformCalls& platform = Platform();
    const DWORD length = platform.GetCurrentDirectoryW(kPathChars, saved_);
    if (length == 0 || length >= kPathChars) {
      saved_[0] = 0;
      DebugLog(L"HandleVBAEngine: the current directory cannot be saved (<%u>, LastError: <%x>); it stays", length,
               platform.GetLastError());
      return;
    }
    changed_ = true;
    const BOOL set = platform.SetCurrentDirectoryW(dir);
    DebugLog(L"HandleVBAEngine: current directory <%ls> -> <%ls>, result: <%d>, LastError: <%x>", saved_, OrEmpty(dir),
             set, platform.GetLastError());
  }
  ~CurrentDirectoryChange() { Restore(); }
  CurrentDirectoryChange(const CurrentDirectoryChange&) = delete;
  CurrentDirectoryChange& operator=(const CurrentDirectoryChange&) = delete;

  void Restore() {
    if (!changed_) return;
    changed_ = false;
    PlatformCalls& platform = Platform();
    // A refusal may pass (a scanner holding the folder a moment): one more try before the
    // process is left in the system directory.
    BOOL set = platform.SetCurrentDirectoryW(saved_);
    if (!set) set = platform.SetCurrentDirectoryW(saved_);
    DebugLog(L"HandleVBAEngine: current directory restored to <%ls>, result: <%d>, LastError: <%x>", saved_, set,
             platform.GetLastError());
  }

 private:
  PathBuffer saved_ = {};
  bool changed_ = false;
};

bool FindEngineFile(const wchar_t* engineDir, wchar_t* foundName, const EngineFile& file) {
  if (FindFileFileInDir(engineDir, foundName, file.parts[0], file.parts[1], file.parts[2])) return true;
  DebugLog(L"FindEngine: no engine %ls (<%ls>, <%ls>, <%ls>) in <%ls>", file.what, file.parts[0], file.parts[1],
           file.parts[2], engineDir);
  return false;
}

}  // namespace

bool GetNativeSystemDirectory(wchar_t* dir) {
  QEL_TRACE();
  return LookUpSpecialFolder(L"GetNativeSystemDirectory", dir, CSIDL_SYSTEM);
}

bool FindEngine(const wchar_t* installDir, wchar_t* engineDir, PathBuffer* names) {
  if (!BuildPath(engineDir, installDir, kEngineSubdir)) return false;
  for (int i = 0; i < kEngineFileCount; ++i) {
    if (!FindEngineFile(engineDir, names[i], kEngineFiles[i])) return false;
  }
  return true;
}

bool FindExtension(const wchar_t* installDir, wchar_t* extension) {
  PathBuffer extensionDir = {};
  PathBuffer name = {};
  // A file whose path cannot be built cannot be registered: it counts as not found.
  if (BuildPath(extensionDir, installDir, kExtensionSubdir) &&
      FindFileFileInDir(extensionDir, name, kExtensionName, nullptr, nullptr) &&
      BuildPath(extension, extensionDir, name)) {
    return true;
  }
  DebugLog(L"FindExtension: no <%ls> in <%ls>", kExtensionName, extensionDir);
  return false;
}

int Handle64Bit(const wchar_t* installDir) {
  QEL_TRACE();
  PathBuffer systemDir = {};
  if (!GetNativeSystemDirectory(systemDir)) {
    ShowSystemDirNotFound(systemDir);
    return 1;
  }
  PathBuffer systemX86Dir = {};
  if (!GetNativeSystemX86Directory(systemX86Dir)) {
    ShowSystemDirNotFound(systemX86Dir);
    return 1;
  }
  if (HandleVBAEngine(installDir, systemDir) != 0) return 1;
  HandleQELInfo(installDir);  // optional: a failure has been shown as a warning
  return 0;
}

int Handle32Bit(const wchar_t* installDir) {
  QEL_TRACE();
  PathBuffer systemDir = {};
  if (!GetNativeSystemDirectory(systemDir)) {
    ShowSystemDirNotFound(systemDir);
    return 1;
  }
  DebugLog(L"Handle32Bit: not a 64-bit Windows: no component is installed from <%ls>", OrEmpty(installDir));
  return 0;
}

int HandleVBAEngine(const wchar_t* installDir, const wchar_t* systemDir) {
  QEL_TRACE();
  if (systemDir == nullptr || systemDir[0] == 0) {
    ShowSystemDirNotFound(systemDir);
    return 1;
  }
  CurrentDirectoryChange current(systemDir);
  PathBuffer engineDir = {};
  PathBuffer names[kEngineFileCount] = {};
  if (!FindEngine(installDir, engineDir, names)) {
    current.Restore();
    ShowEngineNotFound();
    return 1;
  }
  EngineTransaction engine;
  if (!PlanEngineTransaction(engine, systemDir, names)) {
    current.Restore();
    ShowSystemDirNotFound(systemDir);
    return 1;
  }
  int registration = 0;
  const int result = ReplaceEngineFiles(engine, engineDir, &registration);
  current.Restore();
  if (registration != 0) ShowEngineRegisterFailed(engine.targets[kEngineControl], registration);
  return result;
}

int HandleQELInfo(const wchar_t* installDir) {
  QEL_TRACE();
  PathBuffer extension = {};
  if (!FindExtension(installDir, extension)) {
    ShowExtensionNotFound();
    return 1;
  }
  const int exitCode = SpawnRegSvr(extension, true);
  if (exitCode == 0) return 0;
  DebugLog(L"HandleQELInfo: the registration tool ended with <%d>", exitCode);
  ShowExtensionRegisterFailed(extension);
  return 1;
}
