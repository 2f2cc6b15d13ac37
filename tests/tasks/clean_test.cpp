#include "tasks/clean.h"

#include <algorithm>
#include <cwchar>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/text.h"
#include "front/main.h"
#include "support/fixtures.h"

namespace {

enum class BoxKind { Question, Retry, NotFound, Other };

BoxKind KindOf(const Box& box) {
  if (box.text.rfind(L"The installation directory is not empty:\n'", 0) == 0) return BoxKind::Question;
  if (box.text.rfind(L"Some files in directory \n'", 0) == 0) return BoxKind::Retry;
  if (box.text.find(L"The installation directory of the Tarnwell could not be found.") != std::wstring::npos) {
    return BoxKind::NotFound;
  }
  return BoxKind::Other;
}

std::wstring SpecialFolder(int csidl) {
  wchar_t path[MAX_PATH] = {};
  EXPECT_TRUE(SHGetSpecialFolderPathW(nullptr, path, csidl, FALSE)) << csidl;
  return path;
}

std::wstring ShortName(const std::wstring& path) {
  wchar_t shortName[MAX_PATH] = {};
  const DWORD length = GetShortPathNameW(path.c_str(), shortName, MAX_PATH);
  EXPECT_TRUE(length > 0 && length < MAX_PATH && path != shortName) << Narrow(path);
  return shortName;
}

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return text;
}

// A tree with every kind of entry that "clean" must remove, below a fresh folder.
class CleanTest : public HelperTest {
 protected:
  int Clean(const std::wstring& path) {
    std::vector<std::wstring> arguments = {L"C:\\Setup\\QelInstallHelper.exe", L"clean", path};
    std::vector<wchar_t*> argv;
    for (std::wstring& argument : arguments) argv.push_back(&argument[0]);
    return qel_tmain(static_cast<int>(argv.size()), argv.data());
  }

  std::vector<BoxKind> ShownBoxes() const {
    std::vector<BoxKind> kinds;
    for (const Box& box : boxes.boxes) kinds.push_back(KindOf(box));
    return kinds;
  }

  // Fills inst; returns what is in it.
  static std::vector<std::wstring> Populate(const TempDir& tree) {
    const DWORD readOnlySystem = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM;
    SetFileAttributesW(tree.MakeFile(L"inst\\setup.log").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(tree.MakeFile(L"inst\\bin\\tool.exe").c_str(), readOnlySystem | FILE_ATTRIBUTE_HIDDEN);
    tree.MakeFile(L"inst\\Данные\\ölçü.txt");
    SetFileAttributesW((tree / L"inst\\bin").c_str(), readOnlySystem);
    SetFileAttributesW(tree.MakeDir(L"inst\\cache").c_str(), FILE_ATTRIBUTE_HIDDEN);
    // Only the extended path form reaches these: names that end in a dot or a space, and a
    // read-only file more than 300 characters deep, which Windows refuses in the usual form.
    for (const wchar_t* name : {L"inst\\a.", L"inst\\b ", L"inst\\c.\\file"}) tree.MakeFile(name);
    std::wstring deep = L"inst\\deep";
    while ((tree / deep).size() <= 300) deep += L"\\" + std::wstring(40, L'd');
    SetFileAttributesW(Verbatim(tree.MakeFile(deep + L"\\bottom.txt")).c_str(), FILE_ATTRIBUTE_READONLY);
    return TreeEntries(tree / L"inst");
  }

  bool Reached(const wchar_t* function) const {
    const std::vector<std::wstring> functions = trace.Functions();
    return std::find(functions.begin(), functions.end(), function) != functions.end();
  }

  TempDir dir;
};

using Kinds = std::vector<BoxKind>;
const BoxKind Q = BoxKind::Question;
const BoxKind R = BoxKind::Retry;
const BoxKind NF = BoxKind::NotFound;

TEST_F(CleanTest, EveryAnswerLeavesTheFilesItPromises) {
  enum State { kAllKept, kAllGone, kInUseLeft };
  struct Case {
    const char* name;
    std::vector<int> answers;
    bool fileInUse;  // held open through every pass
    int result;
    State state;
    Kinds shown;
    const wchar_t* prefix = L"";  // before the directory's path
  };
  const std::vector<Case> cases = {
      {"Yes", {IDYES}, false, 0, kAllGone, {Q}},
      {"Yes, the directory given as \\\\.\\C:\\...", {IDYES}, false, 0, kAllGone, {Q}, L"\\\\.\\"},
      {"No", {IDNO}, false, 0, kAllKept, {Q}},
      {"Cancel", {IDCANCEL}, false, 1, kAllKept, {Q}},
      {"a question that could not be shown", {0}, false, 0, kAllKept, {Q}},
      {"No with a file in use", {IDNO}, true, 0, kAllKept, {Q}},
      {"Ignore after a failed pass", {IDYES, IDIGNORE}, true, 0, kInUseLeft, {Q, R}},
      {"Abort after a failed pass", {IDYES, IDABORT}, true, 1, kInUseLeft, {Q, R}},
      {"Retry repeats the pass", {IDYES, IDRETRY, IDRETRY, IDABORT}, true, 1, kInUseLeft, {Q, R, R, R}},
      {"an unexpected answer retries", {IDYES, IDOK, IDIGNORE}, true, 0, kInUseLeft, {Q, R, R}},
      {"a retry question that could not be shown", {IDYES, 0}, true, 0, kInUseLeft, {Q, R}},
  };
  for (const Case& c : cases) {
    TempDir tree;
    const std::vector<std::wstring> before = Populate(tree);
    std::unique_ptr<LockedFile> inUse;
    if (c.fileInUse) inUse = std::make_unique<LockedFile>(tree.MakeFile(L"inst\\bin\\inuse.dat"));
    BoxRecorder answers;
    answers.Answer(c.answers);
    boxes.boxes.clear();

    EXPECT_EQ(Clean(c.prefix + tree / L"inst"), c.result) << c.name;

    Kinds shown;
    for (const Box& box : answers.boxes) shown.push_back(KindOf(box));
    EXPECT_EQ(shown, c.shown) << c.name;
    std::vector<std::wstring> expected = before;
    if (c.fileInUse) expected.push_back(L"bin\\inuse.dat");
    std::sort(expected.begin(), expected.end());
    if (c.state == kAllGone) expected.clear();
    if (c.state == kInUseLeft) expected = {L"bin", L"bin\\inuse.dat"};
    EXPECT_EQ(TreeEntries(tree / L"inst"), expected) << c.name;
    EXPECT_TRUE(Exists(tree / L"inst")) << c.name;
  }
}

TEST_F(CleanTest, ARetryAfterTheFileIsFreedFinishesTheJob) {
  Populate(dir);
  LockedFile inUse(dir.MakeFile(L"inst\\bin\\inuse.dat"));
  boxes.Answer({IDYES, IDRETRY});
  int retries = 0;
  ScopedOverride<int(HWND, LPCWSTR, LPCWSTR, UINT)> freeOnRetry(
      Platform().MessageBoxW, [&](HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
        if ((style & MB_TYPEMASK) == MB_ABORTRETRYIGNORE && ++retries == 1) inUse.Release();
        return freeOnRetry.original()(owner, text, caption, style);
      });
  EXPECT_EQ(Clean(dir / L"inst"), 0);
  EXPECT_EQ(ShownBoxes(), (Kinds{Q, R}));
  EXPECT_TRUE(TreeEntries(dir / L"inst").empty());
}

// Ids of 0 or all ones say nothing (Wine gives real ones, the seam these): folders are then
// told apart by their texts and final paths, never all taken for one.
TEST_F(CleanTest, IdsThatMeanNoIdCompareByText) {
  Populate(dir);
  for (const BYTE fill : {BYTE{0}, BYTE{0xFF}}) {
    using Info = LPBY_HANDLE_FILE_INFORMATION;
    ScopedOverride<BOOL(HANDLE, Info)> noIndex(Platform().GetFileInformationByHandle, [&](HANDLE file, Info info) {
      const BOOL read = noIndex.original()(file, info);
      info->nFileIndexHigh = info->nFileIndexLow = fill == 0 ? 0u : ~0u;
      return read;
    });
    using Kind = FILE_INFO_BY_HANDLE_CLASS;
    ScopedOverride<BOOL(HANDLE, Kind, LPVOID, DWORD)> noId(
        Platform().GetFileInformationByHandleEx, [&](HANDLE file, Kind kind, LPVOID id, DWORD size) {
          const BOOL read = noId.original()(file, kind, id, size);
          memset(static_cast<BYTE*>(id) + 8, fill, size - 8);  // the 128-bit id after the volume's number
          return read;
        });
    boxes.Answer({IDNO});
    EXPECT_EQ(Clean(dir / L"inst"), 0) << int{fill};
    EXPECT_EQ(Clean(SpecialFolder(CSIDL_WINDOWS)), 0) << int{fill};
    EXPECT_EQ(ShownBoxes(), Kinds{Q}) << int{fill} << ": an ordinary folder is asked about, the Windows folder is not";
    EXPECT_TRUE(trace.Contains(L"is the Windows folder: its content is never deleted")) << int{fill};
    boxes.boxes.clear();
  }
  using Kind = FILE_INFO_BY_HANDLE_CLASS;
  // The same 128-bit id on another volume is another folder: given the drive root's id, an
  // ordinary folder on another volume is asked about, not refused as the root.
  BYTE rootId[24] = {};  // the volume's number, then the id
  const Kind kIdInfo = static_cast<Kind>(18);  // FileIdInfo, which this SDK declares for Windows 8 only
  const HANDLE root = CreateFileW(L"C:\\", FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, 0);
  ASSERT_TRUE(GetFileInformationByHandleEx(root, kIdInfo, rootId, sizeof(rootId)));
  CloseHandle(root);
  ScopedOverride<BOOL(HANDLE, Kind, LPVOID, DWORD)> sameId(
      Platform().GetFileInformationByHandleEx, [&](HANDLE file, Kind kind, LPVOID id, DWORD size) {
        const BOOL read = sameId.original()(file, kind, id, size);
        if (read && kind == kIdInfo && PathOfHandle(file) == dir / L"inst") {
          memcpy(id, rootId, sizeof(rootId));
          ++*static_cast<ULONGLONG*>(id);
        }
        return read;
      });
  boxes.Answer({IDNO});
  EXPECT_EQ(Clean(dir / L"inst"), 0);
  EXPECT_EQ(ShownBoxes(), Kinds{Q});
}

TEST_F(CleanTest, AnEmptyDirectoryNeedsNoQuestion) {
  EXPECT_EQ(Clean(dir.MakeDir(L"inst")), 0);
  EXPECT_TRUE(boxes.boxes.empty());
  EXPECT_TRUE(Reached(L"HandleCleanInstallDir"));
}

TEST_F(CleanTest, TheHelpersOwnFileInUseIsNoFailure) {
  Populate(dir);
  LockedFile running(dir.MakeFile(L"inst\\QelInstallHelper.exe"));
  boxes.Answer({IDYES});
  EXPECT_EQ(Clean(dir / L"inst"), 0);
  EXPECT_EQ(ShownBoxes(), Kinds{Q});
  EXPECT_EQ(TreeEntries(dir / L"inst"), std::vector<std::wstring>{L"QelInstallHelper.exe"});
}

// Also under its short name, which its final path does not show: it is no link.
TEST_F(CleanTest, AFolderNamedLikeAUserFolderElsewhereIsCleaned) {
  dir.MakeFile(L"Desktop\\a.txt");
  dir.MakeFile(L"Documents\\b.txt");
  dir.MakeFile(L"Long folder name\\c.txt");
  boxes.Answer({IDYES, IDYES, IDYES});
  EXPECT_EQ(Clean(dir / L"Desktop"), 0);
  EXPECT_EQ(Clean(dir / L"Documents\\"), 0);
  EXPECT_EQ(Clean(ShortName(dir / L"Long folder name")), 0);
  EXPECT_EQ(ShownBoxes(), (Kinds{Q, Q, Q}));
  EXPECT_EQ(TreeEntries(dir.path()), (std::vector<std::wstring>{L"Desktop", L"Documents", L"Long folder name"}));
}

// Wine lets root list every folder: the seam refuses the listings.
TEST_F(CleanTest, AFolderThatCannotBeListedRevertsWithNotFound) {
  const std::vector<std::wstring> before = Populate(dir);
  std::wstring refused;
  RefusedListing deny([&](const std::wstring& folder) { return folder == refused; }, ERROR_ACCESS_DENIED);

  refused = dir / L"inst";
  EXPECT_EQ(Clean(dir / L"inst"), 1) << "before asking";
  EXPECT_EQ(ShownBoxes(), Kinds{NF});
  EXPECT_NE(boxes.boxes[0].text.find(L"Path: '" + dir / L"inst" + L"'."), std::wstring::npos);
  EXPECT_EQ(TreeEntries(dir / L"inst"), before);

  refused = dir / L"inst\\Данные";
  boxes.boxes.clear();
  boxes.Answer({IDYES});
  EXPECT_EQ(Clean(dir / L"inst"), 1) << "during the delete pass";
  EXPECT_EQ(ShownBoxes(), (Kinds{Q, NF}));
  EXPECT_EQ(TreeEntries(dir / L"inst"), (std::vector<std::wstring>{L"Данные", L"Данные\\ölçü.txt"}));
}

// A link inside the directory, or an attempt to put one in the place of the directory (at a
// question, at the first delete) or of a subfolder once it was opened. A Windows program's
// rename is refused while the helper holds the folder. A rename from the Linux side, which no
// hold stops, stands for a swap that got through at a question: the re-check after the answer
// finds another folder and nothing is deleted. Whatever a link points to stays whole.
TEST_F(CleanTest, ALinkOutOfTheDirectoryLeavesItsTargetUntouched) {
  enum Swap { kLinkInside, kAtQuestion, kAtRetry, kAtFirstDelete, kSubfolderOnceOpened };
  struct Case {
    const char* name;
    Swap swap;
    bool fromLinux;    // a rename that ignores every hold
    bool linkToMoved;  // the link leads to the folder moved aside ("T -> T.old")
    std::vector<int> answers;
    int result;
    Kinds shown;
  };
  const Case cases[] = {
      {"a link inside, Ignore", kLinkInside, false, false, {IDYES, IDIGNORE}, 0, {Q, R}},
      {"a link inside, Abort", kLinkInside, false, false, {IDYES, IDABORT}, 1, {Q, R}},
      {"the folder at the question", kAtQuestion, false, false, {IDYES}, 0, {Q}},
      {"the folder at the question, linked to where it went", kAtQuestion, false, true, {IDYES}, 0, {Q}},
      {"the folder at the retry question", kAtRetry, false, false, {IDYES, IDRETRY}, 0, {Q, R}},
      {"the folder at the first delete", kAtFirstDelete, false, false, {IDYES}, 0, {Q}},
      {"a subfolder once it was opened", kSubfolderOnceOpened, false, false, {IDYES}, 0, {Q}},
      {"the folder at the question, from Linux", kAtQuestion, true, false, {IDYES}, 1, {Q}},
      {"the folder at the retry question, from Linux", kAtRetry, true, false, {IDYES, IDRETRY}, 1, {Q, R}},
  };
  for (const Case& c : cases) {
    TempDir tree;
    const std::wstring outside = tree.MakeDir(L"outside");
    const std::wstring inst = tree / L"inst";
    const std::wstring keep = tree.MakeFile(L"outside\\keep.txt", "keep");
    SetFileAttributesW(keep.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM);
    const DWORD attributes[] = {GetFileAttributesW(keep.c_str()), GetFileAttributesW(outside.c_str())};
    tree.MakeFile(L"inst\\sub\\b.txt");
    LockedFile inUse(tree.MakeFile(L"inst\\a.txt"));
    if (c.swap != kAtRetry) inUse.Release();
    std::unique_ptr<LinuxLink> link;
    if (c.swap == kLinkInside) link = std::make_unique<LinuxLink>(inst + L"\\link", outside);
    std::wstring moved;
    DWORD moveError = 0;
    bool tried = false;
    const auto swap = [&](const std::wstring& what) {
      if (std::exchange(tried, true)) return;
      const std::wstring aside = what + L".moved";
      if (c.fromLinux) {
        RunLinux(L"\\\\?\\unix\\bin\\mv", L"mv \"" + LinuxPath(what) + L"\" \"" + LinuxPath(aside) + L"\"");
        if (!WaitUntil([&] { return !Exists(what); })) return;
      } else if (!MoveFileW(what.c_str(), aside.c_str())) {
        return void(moveError = GetLastError());
      }
      moved = aside;
      link = std::make_unique<LinuxLink>(what, c.linkToMoved ? aside : outside);
    };
    BoxRecorder answers;
    answers.Answer(c.answers);
    ScopedOverride<int(HWND, LPCWSTR, LPCWSTR, UINT)> swapAtBox(
        Platform().MessageBoxW, [&](HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
          const UINT swapAt = c.swap == kAtRetry ? MB_ABORTRETRYIGNORE : MB_YESNOCANCEL;
          if ((c.swap == kAtQuestion || c.swap == kAtRetry) && (style & MB_TYPEMASK) == swapAt) {
            swap(inst);
            inUse.Release();
          }
          return swapAtBox.original()(owner, text, caption, style);
        });
    using Kind = FILE_INFO_BY_HANDLE_CLASS;
    ScopedOverride<BOOL(HANDLE, Kind, LPVOID, DWORD)> swapAtDelete(
        Platform().SetFileInformationByHandle, [&](HANDLE file, Kind kind, LPVOID data, DWORD size) {
          if (c.swap == kAtFirstDelete) swap(inst);
          return swapAtDelete.original()(file, kind, data, size);
        });
    ScopedOverride<NtCreateFileCall> swapOnceOpened(
        Platform().NtCreateFile, [&](PHANDLE file, ACCESS_MASK access, POBJECT_ATTRIBUTES object, auto... rest) {
          const NTSTATUS status = swapOnceOpened.original()(file, access, object, rest...);
          if (c.swap == kSubfolderOnceOpened && status >= 0 && ObjectNameOf(object) == L"sub") swap(inst + L"\\sub");
          return status;
        });

    const int result = Clean(inst);
    Kinds shown;
    for (const Box& box : answers.boxes) shown.push_back(KindOf(box));
    EXPECT_EQ(std::make_pair(result, shown), std::make_pair(c.result, c.shown)) << c.name;
    if (c.swap != kLinkInside && !c.fromLinux) {
      EXPECT_EQ(moveError, static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << c.name << ": the hold refuses the rename";
      EXPECT_TRUE(TreeEntries(inst).empty()) << c.name;
    }
    if (c.fromLinux) {
      EXPECT_TRUE(trace.Contains(L"no longer names the folder")) << c.name;
      EXPECT_FALSE(moved.empty() || TreeEntries(moved).empty()) << c.name << ": what was moved aside stays";
    }
    EXPECT_EQ(ListNames(outside), std::vector<std::wstring>{L"keep.txt"}) << c.name;
    EXPECT_EQ(ReadAll(keep), "keep") << c.name;
    EXPECT_EQ(GetFileAttributesW(keep.c_str()), attributes[0]) << c.name;
    EXPECT_EQ(GetFileAttributesW(outside.c_str()), attributes[1]) << c.name;
  }
}

// Even a wrong refusal cannot harm these folders: every call that lists, deletes or
// changes attributes fails the test instead of acting.
class ProtectedFolderTest : public CleanTest {
 protected:
  void Forbid(const char* what) { ADD_FAILURE() << what << " reached for a protected folder"; }

  ScopedOverride<HANDLE(LPCWSTR, LPWIN32_FIND_DATAW)> noListing{Platform().FindFirstFileW,
                                                                [this](LPCWSTR, LPWIN32_FIND_DATAW) {
                                                                  Forbid("FindFirstFileW");
                                                                  return INVALID_HANDLE_VALUE;
                                                                }};
  ScopedOverride<BOOL(LPCWSTR)> noDelete{Platform().DeleteFileW, [this](LPCWSTR) {
                                           Forbid("DeleteFileW");
                                           return FALSE;
                                         }};
  ScopedOverride<BOOL(LPCWSTR)> noRemove{Platform().RemoveDirectoryW, [this](LPCWSTR) {
                                           Forbid("RemoveDirectoryW");
                                           return FALSE;
                                         }};
  ScopedOverride<BOOL(LPCWSTR, DWORD)> noAttributes{Platform().SetFileAttributesW, [this](LPCWSTR, DWORD) {
                                                      Forbid("SetFileAttributesW");
                                                      return FALSE;
                                                    }};
  ScopedOverride<BOOL(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD)> noChange{
      Platform().SetFileInformationByHandle, [this](HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD) {
        Forbid("SetFileInformationByHandle");
        return FALSE;
      }};
  RefusedListing noEntries{[this](const std::wstring&) {
                             Forbid("a listing by handle");
                             return true;
                           },
                           ERROR_ACCESS_DENIED};
};

TEST_F(ProtectedFolderTest, TheDriveRootAndTheWindowsFolderAreRefusedThroughTheCommand) {
  const std::wstring windows = SpecialFolder(CSIDL_WINDOWS);
  struct Case {
    std::wstring path;
    const wchar_t* why;
  };
  // A bare drive is its root, whatever the current directory of that drive is.
  CurrentDirectory current(dir.MakeDir(L"current"));
  const std::vector<Case> cases = {
      {L"C:\\", L"a drive root"},
      {L"c:/", L"a drive root"},
      {L"\"C:\\\\\"", L"a drive root"},
      {L"C:", L"a drive root"},
      {L"C:\"", L"a drive root"},  // "C:\" as the command line's splitting hands it on
      {L"\\\\.\\C:\\", L"a drive root"},
      {L"\\", L"a drive root"},
      {windows, L"the Windows folder"},
      {Upper(windows) + L"\\", L"the Windows folder"},
      {windows + L"\\.", L"the Windows folder"},
      {windows + L".", L"the Windows folder"},
      {windows + L"\\system32\\..", L"the Windows folder"},
      {windows + L"\\..\\..", L"a drive root"},
  };
  for (const Case& c : cases) {
    trace.lines.clear();
    EXPECT_EQ(Clean(c.path), 0) << Narrow(c.path);
    EXPECT_TRUE(Reached(L"HandleCleanInstallDir")) << Narrow(c.path);
    EXPECT_TRUE(trace.Contains(std::wstring(L"> is ") + c.why + L": its content is never deleted")) << Narrow(c.path);
  }
  EXPECT_TRUE(boxes.boxes.empty());
  EXPECT_TRUE(Exists(windows + L"\\system32"));
}

TEST_F(ProtectedFolderTest, SystemProgramAndUserFoldersAreRefusedAsSuch) {
  const std::wstring profile = SpecialFolder(CSIDL_PROFILE);
  const std::wstring profiles = profile.substr(0, profile.rfind(L'\\'));
  // Other names for the Windows folder, the root of another drive and another user's
  // Documents, as junctions would be.
  const std::wstring windowsLink = dir / L"windows";
  LinuxLink link(windowsLink, SpecialFolder(CSIDL_WINDOWS));
  ASSERT_FALSE(Exists(L"Q:\\"));
  LinuxLink drive(L"Q:", dir.MakeDir(L"qroot"));
  Sleep(1100);  // Wine refreshes its list of drives once a second
  LinuxLink rootLink(dir / L"rootlink", dir / L"qroot");
  TempDir other(TempDir::Exactly{UniqueTestFolder(profiles)});
  LinuxLink documentsLink(dir / L"documents", other.MakeDir(L"Documents"));
  LinuxLink systemDriveLink(dir / L"croot", L"C:\\");
  dir.MakeFile(L"outside\\keep.txt");
  LinuxLink planted(dir / L"planted", dir / L"outside");
  struct Case {
    std::wstring path;
    std::wstring why;
  };
  const std::vector<Case> cases = {
      {SpecialFolder(CSIDL_SYSTEM), L"a system folder"},
      {SpecialFolder(CSIDL_SYSTEMX86) + L"\\", L"a system folder"},
      {SpecialFolder(CSIDL_PROGRAM_FILES), L"a Program Files folder"},
      {Upper(SpecialFolder(CSIDL_PROGRAM_FILESX86)), L"a Program Files folder"},
      {SpecialFolder(CSIDL_PROGRAM_FILES_COMMON), L"a Program Files folder"},
      {profiles, L"the folder that holds the user profiles"},
      {profile, L"a user's profile folder"},
      {profiles + L"\\someone", L"a user's profile folder"},
      {SpecialFolder(CSIDL_DESKTOPDIRECTORY), L"a user's Desktop folder"},
      {SpecialFolder(CSIDL_PERSONAL) + L"\\", L"a user's Documents folder"},
      {profiles + L"\\someone\\desktop", L"a user's Desktop folder"},
      {profiles + L"/someone/DOCUMENTS/", L"a user's Documents folder"},
      {SpecialFolder(CSIDL_COMMON_APPDATA), L"the ProgramData folder"},
      {profile + L"\\AppData", L"a user's AppData folder"},
      {profile + L"\\AppData\\Local", L"a user's AppData folder"},
      {profile + L"\\AppData\\LocalLow", L"a user's AppData folder"},
      {profiles + L"\\someone\\AppData\\Roaming", L"a user's AppData folder"},
      {profile + L"\\Downloads", L"a user's Downloads folder"},
      {profile + L"\\Music", L"a user's Music folder"},
      {profile + L"\\Pictures", L"a user's Pictures folder"},
      {profiles + L"\\someone\\Videos", L"a user's Videos folder"},
      {ShortName(SpecialFolder(CSIDL_PROGRAM_FILES)), L"a Program Files folder"},
      {windowsLink, L"the Windows folder"},
      {L"\\\\server\\share\\", L"a drive root"},
      {L"\\\\server\\share", L"a drive root"},
      {L"//server/share", L"a drive root"},
      {L"\\\\?\\C:\\", L"a drive root"},
      {L"\\\\?\\UNC\\server\\share\\", L"a drive root"},
      {L"\\\\?\\" + SpecialFolder(CSIDL_WINDOWS), L"the Windows folder"},
      {dir / L"rootlink", L"a drive root"},
      {dir / L"documents", L"a user's Documents folder"},
      {L"\\\\?\\Volume{00000000-0000-0000-0000-000000000043}\\", L"a drive root"},
      {dir / L"croot", L"a drive root"},
      {dir / L"planted", L"a link to <\\\\?\\" + dir / L"outside>"},
  };
  const auto expectRefused = [&](const std::vector<Case>& refused) {
    for (const Case& c : refused) {
      trace.lines.clear();
      EXPECT_EQ(HandleCleanInstallDir(c.path.c_str()), 0) << Narrow(c.path);
      EXPECT_TRUE(trace.Contains(L"<" + c.path + L"> is " + c.why + L": its content is never deleted"))
          << Narrow(c.path);
    }
  };
  expectRefused(cases);

  const std::vector<Case> byText = {{L"C:\\", L"a drive root"},
                                    {SpecialFolder(CSIDL_WINDOWS), L"the Windows folder"},
                                    {profiles + L"\\someone", L"a user's profile folder"},
                                    {profiles + L"\\someone\\Documents", L"a user's Documents folder"}};
  {
    // Nothing can be opened: each folder is still known by its text.
    ScopedOverride<HANDLE(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)> noOpen(
        Platform().CreateFileW, [](LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
          SetLastError(ERROR_ACCESS_DENIED);
          return INVALID_HANDLE_VALUE;
        });
    expectRefused(byText);
  }
  {
    // A volume mounted in a folder, without a drive letter: a root by its volume's name.
    const std::wstring mounted = dir.MakeDir(L"mounted");
    ScopedOverride<DWORD(HANDLE, LPWSTR, DWORD, DWORD)> noLetter(
        Platform().GetFinalPathNameByHandleW, [&](HANDLE file, LPWSTR path, DWORD size, DWORD flags) {
          const DWORD length = noLetter.original()(file, path, size, flags & ~VOLUME_NAME_GUID);
          if (length == 0 || path != L"\\\\?\\" + mounted) return length;
          if ((flags & VOLUME_NAME_GUID) == 0) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return DWORD{0};
          }
          return static_cast<DWORD>(wcslen(wcscpy(path, L"\\\\?\\Volume{00000000-0000-0000-0000-00000000006d}\\")));
        });
    expectRefused({{mounted, L"a drive root"}});
  }
  {
    // A junction opened as itself, as Windows opens it: its handle shows the reparse attribute.
    const std::wstring junction = dir.MakeDir(L"junction");
    ScopedOverride<BOOL(HANDLE, LPBY_HANDLE_FILE_INFORMATION)> reparse(
        Platform().GetFileInformationByHandle, [&](HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
          const BOOL read = reparse.original()(file, info);
          if (PathOfHandle(file) == junction) info->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
          return read;
        });
    expectRefused({{junction, L"a link to <\\\\?\\" + junction + L">"}});
  }
  {
    // The profiles are found above the running account's own profile when the system does not name them.
    ScopedOverride<BOOL(LPWSTR, LPDWORD)> noProfiles(Platform().GetProfilesDirectoryW, [](LPWSTR, LPDWORD) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return FALSE;
    });
    expectRefused(byText);
  }

  // Run as the system account, whose own profile lies below system32: the profiles are known all the same.
  const std::wstring systemProfile = SpecialFolder(CSIDL_SYSTEM) + L"\\config\\systemprofile";
  ScopedOverride<BOOL(HWND, LPWSTR, int, BOOL)> asSystem(
      Platform().SHGetSpecialFolderPathW, [&](HWND owner, LPWSTR path, int csidl, BOOL create) {
        if (csidl != CSIDL_PROFILE) return asSystem.original()(owner, path, csidl, create);
        wcscpy(path, systemProfile.c_str());
        return TRUE;
      });
  expectRefused({{profiles + L"\\someone", L"a user's profile folder"},
                 {profiles + L"\\someone\\AppData\\Local", L"a user's AppData folder"},
                 {systemProfile, L"a user's profile folder"}});
  EXPECT_TRUE(boxes.boxes.empty());
}

// Folders below the protected ones are ordinary installation directories: they get as far
// as being opened and held for the delete, which the seam refuses so that nothing there is touched.
TEST_F(CleanTest, FoldersBelowProtectedOnesAreCleanedAsUsual) {
  const std::wstring profile = SpecialFolder(CSIDL_PROFILE);
  const std::wstring profiles = profile.substr(0, profile.rfind(L'\\'));
  std::vector<std::wstring> held;
  ScopedOverride<HANDLE(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)> noHold(
      Platform().CreateFileW, [&](LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                  DWORD disposition, DWORD flags, HANDLE model) {
        if ((share & FILE_SHARE_DELETE) != 0) {
          return noHold.original()(path, access, share, security, disposition, flags, model);
        }
        held.push_back(path);
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
      });
  const std::vector<std::wstring> paths = {
      SpecialFolder(CSIDL_WINDOWS) + L"\\Temp\\Tarnwell",
      SpecialFolder(CSIDL_PROGRAM_FILES) + L"\\Tarnwell",
      SpecialFolder(CSIDL_DESKTOPDIRECTORY) + L"\\Tarnwell",
      profile + L"\\Tarnwell",
      profile + L"\\AppData\\Local\\Programs\\Tarnwell",
      profiles + L"\\someone\\Documents\\Tarnwell",
      L"\\\\server\\share\\Tarnwell",
      L"C:\\Tarnwell",
      L"\\\\?\\Volume{00000000-0000-0000-0000-000000000043}\\Tarnwell",
      dir / L"inst",  // one that exists, and is full
  };
  const std::vector<std::wstring> inside = Populate(dir);
  for (const std::wstring& path : paths) {
    boxes.boxes.clear();
    trace.lines.clear();
    EXPECT_EQ(HandleCleanInstallDir(path.c_str()), 1) << Narrow(path);
    EXPECT_EQ(ShownBoxes(), Kinds{NF}) << Narrow(path);
    EXPECT_FALSE(trace.Contains(L"its content is never deleted")) << Narrow(path);
  }
  EXPECT_EQ(held.size(), paths.size());
  EXPECT_EQ(TreeEntries(dir / L"inst"), inside);
}

}  // namespace
