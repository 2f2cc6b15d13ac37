#include "base/files.h"

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/text.h"
#include "base/unique.h"
#include "support/fixtures.h"

namespace {

using Locks = std::vector<std::unique_ptr<LockedFile>>;

DWORD Attributes(const std::wstring& path) { return GetFileAttributesW(Verbatim(path).c_str()); }

const DWORD kKeptBits = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN;

void SetAttributes(const std::wstring& path, DWORD attributes) {
  EXPECT_TRUE(SetFileAttributesW(Verbatim(path).c_str(), attributes)) << Narrow(path);
}

std::wstring Versioned(const std::wstring& version) { return TestArtifact(L"versioned_" + version + L".dll"); }

class FilesTest : public HelperTest {
 protected:
  TempDir dir;
};

// --- Content test ---

TEST_F(FilesTest, ContentTestCountsEveryEntryButDotAndDotDot) {
  struct Case {
    const char* name;
    std::function<std::wstring()> make;
    int expected;
  };
  const std::vector<Case> cases = {
      {"empty", [&] { return dir.MakeDir(L"empty"); }, 0},
      {"empty, with a trailing backslash", [&] { return dir.MakeDir(L"trail") + L"\\"; }, 0},
      {"only an empty subfolder",
       [&] {
         dir.MakeDir(L"one\\sub");
         return dir / L"one";
       },
       1},
      {"a hidden file",
       [&] {
         SetAttributes(dir.MakeFile(L"hidden\\h.txt"), FILE_ATTRIBUTE_HIDDEN);
         return dir / L"hidden";
       },
       1},
      {"a system file",
       [&] {
         SetAttributes(dir.MakeFile(L"system\\s.txt"), FILE_ATTRIBUTE_SYSTEM);
         return dir / L"system";
       },
       1},
      {"a hidden system folder",
       [&] {
         SetAttributes(dir.MakeDir(L"hs\\sub"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
         return dir / L"hs";
       },
       1},
      {"a file named like a dot entry",
       [&] {
         dir.MakeFile(L"dots\\.x");
         return dir / L"dots";
       },
       1},
      {"missing", [&] { return dir / L"missing"; }, -1},
      {"a file, not a folder", [&] { return dir.MakeFile(L"plain.txt"); }, -1},
  };
  for (const Case& c : cases) EXPECT_EQ(CheckIfDirHasContent(c.make().c_str()), c.expected) << c.name;
  EXPECT_EQ(CheckIfDirHasContent(nullptr), -1);
  EXPECT_EQ(CheckIfDirHasContent(L""), -1) << "an empty path would list the root of the current drive";
}

// --- Recursive delete ---

TEST_F(FilesTest, RecursiveDeleteEmptiesTheTreeAndRetriesOnceFilesAreFree) {
  struct Case {
    const char* name;
    std::function<void(const TempDir&, const std::wstring&, Locks&)> make;  // builds below "inst"
    int expected;
    std::vector<std::wstring> survivors;  // below "inst", while the locks are held
  };
  const DWORD readOnlySystem = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM;
  const std::vector<Case> cases = {
      {"read-only, system and hidden files and folders in subfolders",
       [=](const TempDir& d, const std::wstring& inst, Locks&) {
         SetAttributes(d.MakeFile(L"inst\\a.txt"), FILE_ATTRIBUTE_READONLY);
         SetAttributes(d.MakeFile(L"inst\\sub\\b.txt"), FILE_ATTRIBUTE_SYSTEM);
         SetAttributes(d.MakeFile(L"inst\\sub\\deeper\\c.txt"), readOnlySystem | FILE_ATTRIBUTE_HIDDEN);
         SetAttributes(inst + L"\\sub\\deeper", readOnlySystem | FILE_ATTRIBUTE_HIDDEN);
         SetAttributes(inst + L"\\sub", FILE_ATTRIBUTE_READONLY);
         SetAttributes(d.MakeDir(L"inst\\empty"), readOnlySystem);
       },
       0,
       {}},
      {"non-ASCII names and names like dot entries",
       [](const TempDir& d, const std::wstring&, Locks&) {
         d.MakeFile(L"inst\\Установка\\файл.txt");
         d.MakeFile(L"inst\\安装目录\\数据.bin");
         d.MakeFile(L"inst\\Ünïcode ölçü.txt");
         d.MakeFile(L"inst\\.x");
         d.MakeFile(L"inst\\..y\\z");
       },
       0,
       {}},
      {"a file held open without sharing",
       [](const TempDir& d, const std::wstring& inst, Locks& locks) {
         d.MakeFile(L"inst\\a.txt");
         d.MakeFile(L"inst\\sub\\before.txt");
         SetAttributes(d.MakeFile(L"inst\\sub\\inuse.txt"), FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN);
         locks.push_back(std::make_unique<LockedFile>(inst + L"\\sub\\inuse.txt"));
         d.MakeFile(L"inst\\sub\\after.txt");
         d.MakeFile(L"inst\\z\\z.txt");
       },
       1,
       {L"sub", L"sub\\inuse.txt"}},
      {"the helper's own file in use",
       [](const TempDir& d, const std::wstring&, Locks& locks) {
         d.MakeFile(L"inst\\a.txt");
         locks.push_back(std::make_unique<LockedFile>(d.MakeFile(L"inst\\QelInstallHelper.exe")));
         locks.push_back(std::make_unique<LockedFile>(d.MakeFile(L"inst\\old.qelinstallhelper.EXE.bak")));
         d.MakeFile(L"inst\\sub\\b.txt");
       },
       0,
       {L"QelInstallHelper.exe", L"old.qelinstallhelper.EXE.bak"}},
  };
  for (const Case& c : cases) {
    TempDir tree;
    const std::wstring inst = tree.MakeDir(L"inst");
    const std::wstring keep = tree.MakeFile(L"outside\\keep.txt", "keep");
    {
      Locks locks;
      c.make(tree, inst, locks);
      // What stays keeps every attribute: nothing is cleared on an entry that is not deleted.
      std::map<std::wstring, DWORD> attributes;
      for (const std::wstring& entry : TreeEntries(inst)) attributes[entry] = Attributes(inst + L"\\" + entry) & kKeptBits;
      EXPECT_EQ(DeleteFilesAndFoldersRecursiv(inst.c_str()), c.expected) << c.name;
      EXPECT_EQ(TreeEntries(inst), c.survivors) << c.name;
      for (const std::wstring& survivor : c.survivors) {
        EXPECT_EQ(Attributes(inst + L"\\" + survivor) & kKeptBits, attributes[survivor]) << Narrow(survivor);
      }
    }
    EXPECT_EQ(DeleteFilesAndFoldersRecursiv(inst.c_str()), 0) << c.name << ": the pass after the files are free";
    EXPECT_TRUE(TreeEntries(inst).empty()) << c.name;
    EXPECT_TRUE(Exists(inst)) << c.name << ": the directory itself stays";
    EXPECT_EQ(ReadAll(keep), "keep") << c.name;
  }
}

TEST_F(FilesTest, RecursiveDeleteRefusesWhatItCannotList) {
  EXPECT_EQ(DeleteFilesAndFoldersRecursiv(nullptr), -1);
  EXPECT_EQ(DeleteFilesAndFoldersRecursiv(L""), -1) << "an empty path would list the root of the current drive";
  EXPECT_EQ(DeleteFilesAndFoldersRecursiv((dir / L"missing").c_str()), -1);
  EXPECT_EQ(DeleteFilesAndFoldersRecursiv(dir.MakeFile(L"file.txt").c_str()), -1);
  EXPECT_TRUE(Exists(dir / L"file.txt"));
}

// Wine lets root list every folder: the seam denies the listing of one subfolder.
TEST_F(FilesTest, AnUnlistableSubfolderMakesTheWholePassFail) {
  const std::wstring inst = dir.MakeDir(L"inst");
  dir.MakeFile(L"inst\\a.txt");
  dir.MakeFile(L"inst\\denied\\secret.txt");
  LockedFile inUse(dir.MakeFile(L"inst\\sub\\inuse.txt"));
  dir.MakeFile(L"inst\\z\\z.txt");
  RefusedListing deny([&](const std::wstring& folder) { return folder == inst + L"\\denied"; }, ERROR_ACCESS_DENIED);
  EXPECT_EQ(DeleteFilesAndFoldersRecursiv(inst.c_str()), -1) << "-1 dominates the 1 of the file in use";
  EXPECT_EQ(TreeEntries(inst),
            (std::vector<std::wstring>{L"denied", L"denied\\secret.txt", L"sub", L"sub\\inuse.txt"}));
}

// Wine's listings do not fail midway: the seam ends one with an error after some entries.
TEST_F(FilesTest, AListingThatEndsWithAnErrorIsNoSuccess) {
  const std::wstring inst = dir.MakeDir(L"inst");
  for (const wchar_t* name : {L"a.txt", L"b.txt", L"c.txt", L"d.txt"}) dir.MakeFile(std::wstring(L"inst\\") + name);
  size_t kept = 3;  // ".", ".." and one file, then the error
  bool cut = false;
  using Kind = FILE_INFO_BY_HANDLE_CLASS;
  ScopedOverride<BOOL(HANDLE, Kind, LPVOID, DWORD)> cutListing(
      Platform().GetFileInformationByHandleEx, [&](HANDLE file, Kind kind, LPVOID data, DWORD size) {
        if (!IsListing(kind)) return cutListing.original()(file, kind, data, size);
        if (std::exchange(cut, true)) {
          SetLastError(ERROR_NETNAME_DELETED);
          return FALSE;
        }
        const BOOL read = cutListing.original()(file, kind, data, size);
        auto* entry = static_cast<FILE_ID_BOTH_DIR_INFO*>(data);
        for (size_t i = 1; i < kept && entry->NextEntryOffset != 0; ++i) {
          entry = reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(reinterpret_cast<BYTE*>(entry) + entry->NextEntryOffset);
        }
        entry->NextEntryOffset = 0;
        return read;
      });
  EXPECT_EQ(DeleteFilesAndFoldersRecursiv(inst.c_str()), 1);
  EXPECT_EQ(TreeEntries(inst).size(), 3u) << "what was not listed stays";
  EXPECT_TRUE(trace.Contains(L"listing failed: LastError: <40>"));

  kept = 1;  // cut right after ".", the first entry
  cut = false;
  const UniqueFile held(OpenFolder(inst.c_str(), true));
  EXPECT_EQ(CheckIfFolderHasContent(held.get()), -1) << "a cut listing is not an empty directory";
  EXPECT_TRUE(trace.Contains(L"CheckIfFolderHasContent: listing failed: LastError: <40>"));

  int calls = 0;
  ScopedOverride<BOOL(HANDLE, LPWIN32_FIND_DATAW)> cutByPath(Platform().FindNextFileW,
                                                             [&](HANDLE find, LPWIN32_FIND_DATAW data) {
                                                               if (++calls == 1) {
                                                                 SetLastError(ERROR_NETNAME_DELETED);
                                                                 return FALSE;
                                                               }
                                                               return cutByPath.original()(find, data);
                                                             });
  EXPECT_EQ(CheckIfDirHasContent(inst.c_str()), -1) << "the same through a listing by path";
  EXPECT_TRUE(trace.Contains(L"CheckIfDirHasContent: FindNextFileW failed: LastError: <40>"));
}

DWORD WINAPI DeleteOnThread(LPVOID argument) {
  auto* job = static_cast<std::pair<std::wstring, int>*>(argument);
  job->second = DeleteFilesAndFoldersRecursiv(job->first.c_str());
  return 0;
}

TEST_F(FilesTest, RecursiveDeleteEmptiesAThousandNestedFoldersOnASmallStack) {
  const int depth = 1000;
  std::wstring chain = L"d";
  for (int i = 1; i < depth; ++i) chain += L"\\d";
  const std::wstring inst = dir.MakeDir(L"inst");
  // Wine takes ever longer per call on deep paths: Linux makes the chain in one go.
  RunLinux(L"\\\\?\\unix\\bin\\mkdir", L"mkdir -p \"" + LinuxPath(inst + L"\\" + chain) + L"\"");
  ASSERT_TRUE(WaitUntil([&] { return Exists(inst + L"\\" + chain); }))
      << "the chain is not " << depth << " folders deep";
  const std::wstring bottom = dir.MakeFile(L"inst\\" + chain + L"\\bottom.txt");
  SetAttributes(bottom, FILE_ATTRIBUTE_READONLY);
  SetAttributes(dir / (L"inst\\" + chain.substr(0, depth)), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM);
  ASSERT_TRUE(Exists(bottom));

  // A walk that kept a level's buffers on the stack would need about 26 KB per level.
  std::pair<std::wstring, int> job{inst, 99};
  HANDLE thread = CreateThread(nullptr, 256 * 1024, DeleteOnThread, &job, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  ASSERT_NE(thread, nullptr);
  WaitForSingleObject(thread, INFINITE);
  DWORD exitCode = 1;
  GetExitCodeThread(thread, &exitCode);
  CloseHandle(thread);
  EXPECT_EQ(exitCode, 0u);
  EXPECT_EQ(job.second, 0);
  EXPECT_TRUE(TreeEntries(inst).empty());
  EXPECT_TRUE(Exists(inst));
  const std::vector<std::wstring> functions = trace.Functions();
  EXPECT_EQ(std::count(functions.begin(), functions.end(), L"DeleteFilesAndFoldersRecursiv"), depth + 1)
      << "one trace line for the directory and each folder entered";
}

// Each entry goes as what its handle shows: a link as a link, wherever it lies, never what
// it points to; a read-only file with other names keeps them and their attributes. Rows
// marked with a seam show what only Windows does (the disposition that ignores read-only, a
// link's handle with the reparse attribute) or what Wine never does (an entry that cannot be
// opened, a handle whose path lies two levels below its folder).
TEST_F(FilesTest, EachEntryGoesAsWhatItsHandleShows) {
  enum Seam { kNone, kNoPaths, kExAccepted, kExDenied, kOpenDenied, kReparseShown, kTwoLevelsBelow };
  struct Case {
    const char* name;
    const wchar_t* planted;  // below inst: a link, or a second name (hard), to target below the test's folder
    const wchar_t* target;
    bool hard;
    Seam seam;
    int expected;
    std::vector<std::wstring> left;  // below inst
    const wchar_t* traced;
  };
  const std::vector<Case> cases = {
      {"a folder link", L"link", L"outside", false, kNone, 1, {L"link"}, L"link not entered"},
      {"a folder link two levels down", L"sub\\deeper\\link", L"outside", false, kNone, 1,
       {L"sub", L"sub\\deeper", L"sub\\deeper\\link"}, L"link not entered"},
      {"a file link two levels down", L"sub\\deeper\\file", L"outside\\free.txt", false, kNone, 1,
       {L"sub", L"sub\\deeper", L"sub\\deeper\\file"}, L"link not entered"},
      {"a link to an empty folder", L"link", L"outside\\empty", false, kNone, 1, {L"link"}, L"it is left in place"},
      {"a link where no path can be told", L"link", L"outside\\empty", false, kNoPaths, 1, {L"link"},
       L"not what was listed, left alone"},
      {"a read-only second name of a file outside", L"hard", L"outside\\keep.txt", true, kNone, 1, {L"hard"},
       L"has <2> names"},
      {"a second name of a writable file outside", L"free", L"outside\\free.txt", true, kNone, 0, {}, nullptr},
      {"the disposition that ignores read-only", nullptr, nullptr, false, kExAccepted, 0, {}, nullptr},
      {"a disposition refused", nullptr, nullptr, false, kExDenied, 1, {L"a.txt"}, L"deleting failed: LastError: <5>"},
      {"an entry that cannot be opened", nullptr, nullptr, false, kOpenDenied, 1, {L"a.txt"},
       L"opening failed: LastError: <5>"},
      {"a folder whose handle shows a link", nullptr, nullptr, false, kReparseShown, 1, {L"sub", L"sub\\b.txt"},
       L"link not entered"},
      {"a folder whose handle lies two levels below", nullptr, nullptr, false, kTwoLevelsBelow, 1,
       {L"sub", L"sub\\b.txt"}, L"link not entered"},
  };
  using Kind = FILE_INFO_BY_HANDLE_CLASS;
  const auto named = [](HANDLE file, const wchar_t* name) {
    const std::wstring path = PathOfHandle(file);
    return path.size() > wcslen(name) && path.compare(path.size() - wcslen(name), wcslen(name), name) == 0;
  };
  for (const Case& c : cases) {
    TempDir tree;
    const std::wstring inst = tree.MakeDir(L"inst");
    const std::wstring keep = tree.MakeFile(L"outside\\keep.txt", "keep");
    tree.MakeFile(L"outside\\free.txt", "free");
    tree.MakeDir(L"outside\\empty");
    SetAttributes(keep, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    SetAttributes(tree / L"outside", FILE_ATTRIBUTE_SYSTEM);
    const DWORD outsideAttributes[] = {Attributes(keep), Attributes(tree / L"outside")};
    std::unique_ptr<LinuxLink> link;
    if (c.planted == nullptr) {
      SetAttributes(tree.MakeFile(L"inst\\a.txt"), FILE_ATTRIBUTE_READONLY);
      tree.MakeFile(L"inst\\sub\\b.txt");
    } else {
      const std::wstring planted = inst + L"\\" + c.planted;
      tree.MakeDir(planted.substr(tree.path().size() + 1, planted.rfind(L'\\') - tree.path().size() - 1));
      const std::wstring target = LinuxPath(tree / c.target);
      if (!c.hard) link = std::make_unique<LinuxLink>(planted, tree / c.target);
      if (c.hard) RunLinux(L"\\\\?\\unix\\bin\\ln", L"ln \"" + target + L"\" \"" + LinuxPath(planted) + L"\"");
      ASSERT_TRUE(WaitUntil([&] { return Exists(planted); })) << c.name;
    }
    int classicCalls = 0;
    ScopedOverride<BOOL(HANDLE, Kind, LPVOID, DWORD)> change(
        Platform().SetFileInformationByHandle, [&](HANDLE file, Kind kind, LPVOID data, DWORD size) {
          const bool ex = kind == static_cast<Kind>(21);
          classicCalls += ex ? 0 : 1;
          if (ex && (c.seam == kExDenied && named(file, L"\\a.txt"))) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
          }
          if (!ex || c.seam != kExAccepted) return change.original()(file, kind, data, size);
          // As Windows does it, the name goes read-only or not (Wine needs the bit cleared first).
          const std::wstring path = L"\\\\?\\" + PathOfHandle(file);
          SetFileAttributesW(path.c_str(), GetFileAttributesW(path.c_str()) & ~FILE_ATTRIBUTE_READONLY);
          FILE_DISPOSITION_INFO classic = {TRUE};
          return change.original()(file, FileDispositionInfo, &classic, sizeof(classic));
        });
    ScopedOverride<BOOL(HANDLE, Kind, LPVOID, DWORD)> show(
        Platform().GetFileInformationByHandleEx, [&](HANDLE file, Kind kind, LPVOID data, DWORD size) {
          if (c.seam == kNoPaths && kind == FileNameInfo) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
          }
          const BOOL read = show.original()(file, kind, data, size);
          if (!read || !named(file, L"\\inst\\sub")) return read;
          if (c.seam == kReparseShown && kind == FileBasicInfo) {
            static_cast<FILE_BASIC_INFO*>(data)->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
          }
          if (c.seam == kTwoLevelsBelow && kind == FileNameInfo) {
            auto* info = static_cast<FILE_NAME_INFO*>(data);
            std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
            name.insert(name.rfind(L'\\'), L"\\x");
            info->FileNameLength = static_cast<DWORD>(name.copy(info->FileName, name.size()) * sizeof(wchar_t));
          }
          return read;
        });
    ScopedOverride<NtCreateFileCall> open(Platform().NtCreateFile, [&](PHANDLE file, ACCESS_MASK access, POBJECT_ATTRIBUTES object, auto... rest) {
          if (c.seam == kOpenDenied && ObjectNameOf(object) == L"a.txt") {
            SetLastError(ERROR_ACCESS_DENIED);
            return static_cast<NTSTATUS>(0xC0000022L);
          }
          return open.original()(file, access, object, rest...);
        });

    EXPECT_EQ(DeleteFilesAndFoldersRecursiv(inst.c_str()), c.expected) << c.name;
    EXPECT_EQ(TreeEntries(inst), c.left) << c.name;
    EXPECT_TRUE(c.traced == nullptr || trace.Contains(c.traced)) << c.name;
    EXPECT_TRUE(c.seam != kExAccepted || classicCalls == 0) << "no attribute changed, no classic disposition";
    EXPECT_EQ(TreeEntries(tree / L"outside"), (std::vector<std::wstring>{L"empty", L"free.txt", L"keep.txt"}))
        << c.name;
    EXPECT_EQ(ReadAll(keep) + ReadAll(tree / L"outside\\free.txt"), "keepfree") << c.name;
    EXPECT_EQ(Attributes(keep), outsideAttributes[0]) << c.name;
    EXPECT_EQ(Attributes(tree / L"outside"), outsideAttributes[1]) << c.name;
  }
}

// Paths on disk cannot get that long. The delete is given a real folder's handle and a path
// for it too long to name its entries; the copy, a made-up folder that the seam lists.
TEST_F(FilesTest, AnEntryWhosePathDoesNotFitFailsAndNothingActsOnAnyPart) {
  const std::wstring longDir = dir.path() + L"\\" + std::wstring(4250, L'l');
  const std::wstring longName(120, L'n');
  const HANDLE fake = reinterpret_cast<HANDLE>(0x5151);
  ScopedOverride<HANDLE(LPCWSTR, LPWIN32_FIND_DATAW)> first(Platform().FindFirstFileW,
                                                            [&](LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
                                                              if (pattern != Verbatim(longDir) + L"\\*.*")
                                                                return first.original()(pattern, data);
                                                              *data = {};
                                                              data->dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
                                                              longName.copy(data->cFileName, longName.size());
                                                              return fake;
                                                            });
  ScopedOverride<BOOL(HANDLE, LPWIN32_FIND_DATAW)> next(Platform().FindNextFileW,
                                                        [&](HANDLE find, LPWIN32_FIND_DATAW data) {
                                                          if (find != fake) return next.original()(find, data);
                                                          SetLastError(ERROR_NO_MORE_FILES);
                                                          return FALSE;
                                                        });
  ScopedOverride<BOOL(HANDLE)> close(Platform().FindClose,
                                     [&](HANDLE find) { return find == fake || close.original()(find); });
  std::vector<std::wstring> actedOn;
  ScopedOverride<BOOL(LPCWSTR)> deleteFile(Platform().DeleteFileW, [&](LPCWSTR path) {
    actedOn.push_back(path);
    return FALSE;
  });
  ScopedOverride<BOOL(LPCWSTR)> removeDirectory(Platform().RemoveDirectoryW, [&](LPCWSTR path) {
    actedOn.push_back(path);
    return FALSE;
  });
  ScopedOverride<BOOL(LPCWSTR, DWORD)> setAttributes(Platform().SetFileAttributesW, [&](LPCWSTR path, DWORD) {
    actedOn.push_back(path);
    return FALSE;
  });
  ScopedOverride<BOOL(LPCWSTR, LPCWSTR, BOOL)> copy(Platform().CopyFileW, [&](LPCWSTR src, LPCWSTR, BOOL) {
    actedOn.push_back(src);
    return FALSE;
  });

  ScopedOverride<NtCreateFileCall> open(Platform().NtCreateFile, [&](PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES object, auto...) {
        actedOn.push_back(ObjectNameOf(object));
        return static_cast<NTSTATUS>(0xC0000022L);
      });
  const std::wstring real = dir.MakeDir(L"real");
  dir.MakeFile(L"real\\" + longName);
  SetAttributes(dir.MakeDir(L"real\\" + std::wstring(120, L'm')), FILE_ATTRIBUTE_READONLY);
  const UniqueFile held(OpenFolder(real.c_str(), true));
  EXPECT_EQ(DeleteFilesAndFoldersRecursiv(longDir.c_str(), held.get()), 1);
  EXPECT_EQ(TreeEntries(real).size(), 2u);
  DWORD error = 0;
  EXPECT_FALSE(CopyFilesToDir(longDir.c_str(), dir.path().c_str(), &error, false));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  dir.MakeFile(L"src\\" + longName);
  EXPECT_FALSE(CopyFilesToDir((dir / L"src").c_str(), longDir.c_str(), &error, false)) << "the destination path";
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_TRUE(actedOn.empty()) << Narrow(actedOn.front().substr(0, 80));
}

// --- Finding a file by fragments ---

TEST_F(FilesTest, FindsTheFirstListedFileHoldingEveryGivenFragment) {
  const std::wstring engine = dir.MakeDir(L"engine");
  for (const wchar_t* name : {L"a.OCX", L"wbent.dll", L"WBENTX.LIC", L"wbX64.dll", L"readme.txt", L"wbentY.lic"}) {
    dir.MakeFile(std::wstring(L"engine\\") + name);
  }
  dir.MakeDir(L"engine\\folder.ocx");
  const std::vector<std::wstring> order = ListNames(engine);
  struct Case {
    const wchar_t* part1;
    const wchar_t* part2;
    const wchar_t* part3;
    std::vector<std::wstring> matching;  // the first of these in listing order is found
  };
  const std::vector<Case> cases = {
      {L".ocx", nullptr, nullptr, {L"a.OCX"}},
      {L"wb", L"ent", L".ocx", {}},
      {L"wb", L"ent", L".lic", {L"WBENTX.LIC", L"wbentY.lic"}},
      {L"WB", L"64", L".DLL", {L"wbX64.dll"}},
      {L"readme", nullptr, L".zzz", {L"readme.txt"}},
      {L"wb", L"ent", nullptr, {L"wbent.dll", L"WBENTX.LIC", L"wbentY.lic"}},
      {L"folder", nullptr, nullptr, {}},
      {nullptr, L"wb", nullptr, {}},
  };
  for (const Case& c : cases) {
    std::wstring expected;
    for (const std::wstring& name : order) {
      if (expected.empty() && std::find(c.matching.begin(), c.matching.end(), name) != c.matching.end())
        expected = name;
    }
    PathBuffer found = {};
    EXPECT_EQ(FindFileFileInDir(engine.c_str(), found, c.part1, c.part2, c.part3), !expected.empty())
        << Narrow(c.part1 != nullptr ? c.part1 : L"(null)");
    EXPECT_EQ(std::wstring(found), expected);
  }
  EXPECT_TRUE(FindFileFileInDir(engine.c_str(), nullptr, L"readme", nullptr, nullptr));
  PathBuffer untouched = L"untouched";
  for (const std::wstring& missing : {dir / L"missing", std::wstring()}) {
    EXPECT_FALSE(FindFileFileInDir(missing.c_str(), untouched, L"", nullptr, nullptr));
  }
  EXPECT_FALSE(FindFileFileInDir(nullptr, untouched, L"a", nullptr, nullptr));
  EXPECT_EQ(std::wstring(untouched), L"untouched");
}

// --- Copying a directory's files ---

TEST_F(FilesTest, CopyOverwritesEveryFileAndLeavesSubfoldersAlone) {
  const std::wstring src = dir.MakeDir(L"src");
  dir.MakeFile(L"src\\a.txt", "new a");
  dir.MakeFile(L"src\\b.bin", "new b");
  dir.MakeFile(L"src\\Ünïcode.txt", "new u");
  dir.MakeFile(L"src\\sub\\c.txt", "c");
  const std::wstring dst = dir.MakeDir(L"dst");
  dir.MakeFile(L"dst\\a.txt", "old a");
  DWORD error = 77;
  EXPECT_TRUE(CopyFilesToDir(src.c_str(), dst.c_str(), &error, false));
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(TreeEntries(dst), (std::vector<std::wstring>{L"a.txt", L"b.bin", L"Ünïcode.txt"}));
  EXPECT_EQ(ReadAll(dst + L"\\a.txt"), "new a");
  EXPECT_EQ(ReadAll(dst + L"\\b.bin"), "new b");
  EXPECT_EQ(ReadAll(dst + L"\\Ünïcode.txt"), "new u");
}

TEST_F(FilesTest, CopyRefusesMissingAndEmptyFoldersWithoutAnError) {
  const std::wstring src = dir.MakeDir(L"src");
  dir.MakeFile(L"src\\a.txt");
  const std::wstring dst = dir.MakeDir(L"dst");
  struct Case {
    const wchar_t* src;
    const wchar_t* dst;
  };
  const std::wstring missing = dir / L"missing";
  for (const Case& c : std::vector<Case>{{nullptr, dst.c_str()},
                                         {src.c_str(), nullptr},
                                         {L"", dst.c_str()},
                                         {src.c_str(), L""},
                                         {missing.c_str(), dst.c_str()}}) {
    DWORD error = 77;
    EXPECT_FALSE(CopyFilesToDir(c.src, c.dst, &error, false));
    EXPECT_EQ(error, 0u);
  }
  EXPECT_TRUE(TreeEntries(dst).empty());
}

TEST_F(FilesTest, ASharingViolationStopsTheCopyWithItsError) {
  const std::wstring src = dir.MakeDir(L"src");
  for (const wchar_t* name : {L"one.txt", L"two.txt", L"three.txt", L"four.txt"}) {
    dir.MakeFile(std::wstring(L"src\\") + name, "new");
  }
  const std::vector<std::wstring> order = ListNames(src);
  const std::wstring dst = dir.MakeDir(L"dst");
  LockedFile inUse(dst + L"\\" + order[1]);
  DWORD error = 0;
  EXPECT_FALSE(CopyFilesToDir(src.c_str(), dst.c_str(), &error, false));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(ReadAll(dst + L"\\" + order[0]), "new");
  for (size_t i = 2; i < order.size(); ++i) EXPECT_FALSE(Exists(dst + L"\\" + order[i])) << Narrow(order[i]);
}

// Windows' CopyFileW refuses a read-only or hidden destination with access denied (the test
// program applies that rule under Wine too); the seam fails further copies where a row says.
TEST_F(FilesTest, AccessDeniedClearsReadOnlyAndHiddenAndCopiesAgain) {
  struct Case {
    const char* name;
    DWORD dstAttributes;  // 0: no destination file
    int failedCopies;
    bool failAttributeChange;
    bool copied;
    DWORD error;
  };
  const std::vector<Case> cases = {
      {"read-only destination", FILE_ATTRIBUTE_READONLY, 0, false, true, 0},
      {"hidden system destination", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, 0, false, true, 0},
      {"neither read-only nor hidden", FILE_ATTRIBUTE_NORMAL, 1, false, false, ERROR_ACCESS_DENIED},
      {"no destination to query", 0, 1, false, false, ERROR_FILE_NOT_FOUND},
      {"attributes cannot be changed", FILE_ATTRIBUTE_READONLY, 0, true, false, ERROR_WRITE_PROTECT},
      {"second copy fails too", FILE_ATTRIBUTE_READONLY, 2, false, false, ERROR_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    TempDir tree;
    const std::wstring src = tree.MakeDir(L"src");
    tree.MakeFile(L"src\\one.txt", "new");
    tree.MakeFile(L"src\\two.txt", "new");
    const std::vector<std::wstring> order = ListNames(src);
    const std::wstring dst = tree.MakeDir(L"dst");
    const std::wstring target = dst + L"\\" + order[0];
    if (c.dstAttributes != 0) {
      tree.MakeFile(L"dst\\" + order[0], "old");
      SetAttributes(target, c.dstAttributes);
    }
    int copies = 0;
    ScopedOverride<BOOL(LPCWSTR, LPCWSTR, BOOL)> copy(Platform().CopyFileW,
                                                      [&](LPCWSTR from, LPCWSTR to, BOOL failIfExists) {
                                                        if (++copies > c.failedCopies)
                                                          return copy.original()(from, to, failIfExists);
                                                        SetLastError(ERROR_ACCESS_DENIED);
                                                        return FALSE;
                                                      });
    ScopedOverride<BOOL(LPCWSTR, DWORD)> change(Platform().SetFileAttributesW, [&](LPCWSTR path, DWORD attributes) {
      if (!c.failAttributeChange) return change.original()(path, attributes);
      SetLastError(ERROR_WRITE_PROTECT);
      return FALSE;
    });
    DWORD error = 77;
    EXPECT_EQ(CopyFilesToDir(src.c_str(), dst.c_str(), &error, false), c.copied) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
    EXPECT_EQ(ReadAll(target), c.copied ? "new" : c.dstAttributes != 0 ? "old" : "") << c.name;
    EXPECT_EQ(Exists(dst + L"\\" + order[1]), c.copied) << c.name << ": the file after a stop is not copied";
    if (c.copied || c.failedCopies == 2) {
      EXPECT_EQ(Attributes(target) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN), 0u) << c.name;
    }
  }
}

// --- File versions ---

TEST_F(FilesTest, ReadsTheFileVersionOfRealLibraries) {
  struct Case {
    const wchar_t* id;
    FileVersion version;
  };
  const std::vector<Case> cases = {
      {L"1_2_3_4", {1, 2, 3, 4}}, {L"1_2_3_5", {1, 2, 3, 5}}, {L"2_0_0_0", {2, 0, 0, 0}},
      {L"1_2_3_3", {1, 2, 3, 3}}, {L"0_9_9_9", {0, 9, 9, 9}},
  };
  for (const Case& c : cases) {
    const std::wstring file = Versioned(c.id);
    FileVersion read = {7, 7, 7, 7};
    EXPECT_TRUE(ReadFileVersion(file.c_str(), &read)) << Narrow(file);
    EXPECT_EQ(read.major, c.version.major);
    EXPECT_EQ(read.minor, c.version.minor);
    EXPECT_EQ(read.build, c.version.build);
    EXPECT_EQ(read.revision, c.version.revision);
    EXPECT_EQ(trace.lines.back(), L"FileVersion: <" + file + L"> -> <" + std::to_wstring(c.version.major) + L"." +
                                      std::to_wstring(c.version.minor) + L"." + std::to_wstring(c.version.build) +
                                      L"." + std::to_wstring(c.version.revision) + L">\n");
    EXPECT_TRUE(ReadFileVersion(file.c_str(), nullptr));
  }
  const std::vector<std::wstring> functions = trace.Functions();
  EXPECT_EQ(std::find(functions.begin(), functions.end(), L"ReadFileVersion"), functions.end())
      << "it writes no trace line";
}

TEST_F(FilesTest, WithoutVersionInformationTheVersionStaysUntouched) {
  const std::wstring text = dir.MakeFile(L"readme.txt", "no version here");
  for (const std::wstring& file : {Versioned(L"none"), text, dir / L"missing.dll", std::wstring()}) {
    FileVersion read = {7, 7, 7, 7};
    EXPECT_FALSE(ReadFileVersion(file.empty() ? nullptr : file.c_str(), &read)) << Narrow(file);
    EXPECT_EQ(read.major + read.minor + read.build + read.revision, 28u);
    const std::wstring& line = trace.lines.back();
    EXPECT_EQ(line.rfind(L"GetFileVersionInfoSize: fileName: <" + file + L">, LastError: <", 0), 0u) << Narrow(line);
    EXPECT_EQ(line.substr(line.size() - 26), L">, dwFileVersionSize: <0>\n") << Narrow(line);
  }
}

// Wine's version functions succeed on every versioned file: the seam fails each later step.
TEST_F(FilesTest, EachFailedStepOfTheVersionReadIsLogged) {
  const std::wstring file = Versioned(L"1_2_3_4");
  DWORD handle = 0;
  const DWORD size = Platform().GetFileVersionInfoSizeW(file.c_str(), &handle);
  ASSERT_GT(size, 0u);
  VS_FIXEDFILEINFO wrongSignature = {};
  wrongSignature.dwSignature = 0x12345678;
  enum Step { kBlock, kQuery, kNoPointer, kZeroLength, kSignature };
  struct Case {
    Step step;
    std::wstring line;
  };
  const std::vector<Case> cases = {
      {kBlock, L"GetFileVersionInfo: fileName: <" + file + L">, LastError: <8>, dwFileVersionSize: <" +
                   std::to_wstring(size) + L">\n"},
      {kQuery, L"VerQueryValue: fileName: <" + file + L">, LastError: <d>, nLen: <0>\n"},
      {kNoPointer, L"VerQueryValue: fileName: <" + file + L">, LastError: <d>, nLen: <52>\n"},
      {kZeroLength, L"VerQueryValue: fileName: <" + file + L">, LastError: <d>, nLen: <0>\n"},
      {kSignature, L"verInfo->dwSignature != 0xfeef04bd: sig: <12345678>\n"},
  };
  for (const Case& c : cases) {
    ScopedOverride<BOOL(LPCWSTR, DWORD, DWORD, LPVOID)> block(
        Platform().GetFileVersionInfoW, [&](LPCWSTR name, DWORD h, DWORD length, LPVOID data) {
          EXPECT_EQ(length, size) << "the size as reported, not the enlarged one";
          if (c.step != kBlock) return block.original()(name, h, length, data);
          SetLastError(ERROR_NOT_ENOUGH_MEMORY);
          return FALSE;
        });
    ScopedOverride<BOOL(LPCVOID, LPCWSTR, LPVOID*, PUINT)> query(
        Platform().VerQueryValueW, [&](LPCVOID data, LPCWSTR sub, LPVOID* buffer, PUINT length) {
          SetLastError(ERROR_INVALID_DATA);
          if (c.step == kQuery) return FALSE;
          if (c.step == kNoPointer || c.step == kZeroLength) {
            *buffer = c.step == kNoPointer ? nullptr : &wrongSignature;
            *length = c.step == kNoPointer ? 52 : 0;
            return TRUE;
          }
          if (c.step == kSignature) {
            *buffer = &wrongSignature;
            *length = sizeof(wrongSignature);
            return TRUE;
          }
          return query.original()(data, sub, buffer, length);
        });
    FileVersion read = {7, 7, 7, 7};
    EXPECT_FALSE(ReadFileVersion(file.c_str(), &read)) << Narrow(c.line);
    EXPECT_EQ(read.major, 7u);
    EXPECT_EQ(trace.lines.back(), c.line);
  }
}

TEST_F(FilesTest, TheVersionCheckReplacesOnlyAnOlderDestination) {
  const std::wstring source = Versioned(L"1_2_3_4");
  struct Case {
    std::wstring src;
    std::wstring dst;  // empty: no destination yet
    bool checkVersion;
    bool copies;
  };
  const std::vector<Case> cases = {
      {source, Versioned(L"1_2_3_4"), true, false}, {source, Versioned(L"1_2_3_5"), true, false},
      {source, Versioned(L"2_0_0_0"), true, false}, {source, Versioned(L"1_2_3_3"), true, true},
      {source, Versioned(L"0_9_9_9"), true, true},  {source, L"", true, true},
      {source, Versioned(L"none"), true, true},     {Versioned(L"none"), Versioned(L"2_0_0_0"), true, true},
      {source, Versioned(L"2_0_0_0"), false, true},
  };
  for (const Case& c : cases) {
    const std::wstring target = dir / L"target.dll";
    RemoveTree(target);
    if (!c.dst.empty()) {
      ASSERT_TRUE(CopyFileW(c.dst.c_str(), target.c_str(), FALSE));
    }
    const std::string before = ReadAll(target);
    trace.lines.clear();
    EXPECT_TRUE(CopyFileImpl(c.src.c_str(), target.c_str(), false, c.checkVersion)) << Narrow(c.dst);
    EXPECT_EQ(ReadAll(target), c.copies ? ReadAll(c.src) : before) << Narrow(c.dst);
    const std::wstring line = trace.lines.back();
    const std::wstring tail = L", src: <" + c.src + L">, dst: <" + target + L">, failIfExists: <0>, fCheckVersion: <" +
                              (c.checkVersion ? L"1" : L"0") + L">, do_copy: <" + (c.copies ? L"1" : L"0") + L">\n";
    EXPECT_EQ(line.rfind(L"CopyFileImpl: LastError: <", 0), 0u) << Narrow(line);
    EXPECT_NE(line.find(L">, result: <1>" + tail), std::wstring::npos) << Narrow(line);
    if (!c.copies) {
      EXPECT_EQ(line, L"CopyFileImpl: LastError: <0>, result: <1>" + tail) << "a skip reports no error";
    }
  }
}

TEST_F(FilesTest, ACopyThatMustNotOverwriteFailsWithTheSystemsError) {
  const std::wstring target = dir.MakeFile(L"target.txt", "old");
  const std::wstring src = dir.MakeFile(L"src.txt", "new");
  EXPECT_FALSE(CopyFileImpl(src.c_str(), target.c_str(), true, false));
  EXPECT_EQ(ReadAll(target), "old");
  EXPECT_EQ(trace.lines.back(), L"CopyFileImpl: LastError: <50>, result: <0>, src: <" + src + L">, dst: <" + target +
                                    L">, failIfExists: <1>, fCheckVersion: <0>, do_copy: <1>\n");
}

}  // namespace
