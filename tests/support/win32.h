#pragma once
// Plain Win32 helpers for tests: fresh folders, files held open, trees listed and removed,
// Linux links, and the registrations of the test COM library. Nothing here uses the
// helper's code, so the acceptance program, which sees the helper only as an installer
// does, shares them with the unit tests.

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

// A new folder name below root for the running test: its name, the process id and a count.
std::wstring UniqueTestFolder(const std::wstring& root);

// A fresh, empty folder for one test, removed with its content after it: by default a new
// folder below the given root, named after the test.
class TempDir {
 public:
  explicit TempDir(const std::wstring& root = L"C:\\qeltests");
  // Exactly this folder, which must not exist yet.
  struct Exactly {
    std::wstring path;
  };
  explicit TempDir(const Exactly& exactly);
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
// Both exist and hold the same bytes.
bool SameContent(const std::wstring& a, const std::wstring& b);
// The "\\?\" form of a full path on a drive, which reaches names that the usual form cannot
// ("dir.") and deep paths, as Windows needs; other paths stay as they are. The helpers here
// use it for every path they make, list or remove.
std::wstring Verbatim(const std::wstring& path);
// Removes a file or a whole tree, read-only entries and names like "dir." included; links
// are removed, not entered.
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

// The Linux path of a C: path in this prefix; for a bare drive "X:", the link that makes the drive.
std::wstring LinuxPath(const std::wstring& path);

// Runs a Linux program of this machine (program as "\\?\unix\bin\ln", commandLine with
// argv[0] first). Under Wine its exit code cannot be read and its work may show only
// after the wait for it has ended: check what it does with WaitUntil.
void RunLinux(const wchar_t* program, std::wstring commandLine);

// Starts a process through start(), again after a moment while Wine fails the start with
// its internal error (1359), as it now and then does while its server is busy with other
// processes. Windows has no such failure, so a test must not see it.
BOOL StartDespiteWineRefusals(const wchar_t* commandLine, const std::function<BOOL()>& start);

// Polls the condition for up to 5 seconds (or the time given); its last value.
bool WaitUntil(const std::function<bool()>& condition, DWORD milliseconds = 5000);

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

// The system directory of the prefix, C:\windows\system32.
std::wstring SystemDir();

// True when the copy of the test library at this path is registered: its class key exists
// and names exactly this file (ASCII case ignored) as its server.
bool IsRegistered(const std::wstring& library);

// Removes whatever registration the copy at this path left, registered or not.
void ForgetRegistration(const std::wstring& library);

// A shared file's count under HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\SharedDLLs:
// -1 without one, -2 for a value that is not a REG_DWORD. Setting -1 removes it, -2 writes a
// text.
long long SharedCount(const std::wstring& file);
void SetSharedCount(const std::wstring& file, long long count);

// The product's key Software\Helvane\BRAVIK\2020 under HKEY_LOCAL_MACHINE, in the native view
// or in the 32-bit view that the product reads as Software\Wow6432Node\...
enum class KeyView { Native, Wow };
// The literal paths of the key in both views, as a 64-bit process sees them.
extern const wchar_t* const kProductKeyPaths[2];
// Opens the key in a view, or creates it (with its parents); null when that fails.
HKEY OpenProductKey(KeyView view, REGSAM access, bool create);

// What an installation laid out for "copy" holds, in the unit and the acceptance tests.
struct InstallationOptions {
  bool control = true;            // the control in VBAEngine\Windows64 ("wb", "ent", ".ocx")
  bool companion = true;          // its companion file there ("wb", "ent", ".lic")
  bool library = true;            // its library there ("wb", "64", ".dll")
  bool failingControl = false;    // the control refuses to register
  bool extensionFolder = true;    // AMD64
  bool extension = true;          // AMD64\QELInfo_AMD64.dll
  bool failingExtension = false;  // the extension refuses to register
};

// Texts for readable assertion messages.
std::string Narrow(const std::wstring& text);
