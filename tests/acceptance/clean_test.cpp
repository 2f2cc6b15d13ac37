// "clean <installation directory>": the built helper empties the directory when the user
// agrees, retries files in use, and keeps everything else where the user says so.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>

#include <shlobj.h>

#include "acceptance/runner.h"

namespace {

using Entries = std::vector<std::wstring>;

// An installation directory holding every kind of entry that "clean" must remove:
// read-only, hidden and system files and folders, nested folders, a name beyond ASCII.
struct Installed {
  Installed() : inst(folder.path()) {
    SetFileAttributesW(folder.MakeFile(L"setup.log").c_str(), FILE_ATTRIBUTE_READONLY);
    const std::wstring tool = folder.MakeFile(L"bin\\tool.exe");
    SetFileAttributesW(tool.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN);
    SetFileAttributesW((folder / L"bin").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM);
    folder.MakeFile(L"data\\\u00f6l\u00e7\u00fc\\readme.txt");
    SetFileAttributesW(folder.MakeDir(L"cache").c_str(), FILE_ATTRIBUTE_HIDDEN);
    original = Inst();
  }

  Entries Inst() const { return folder.List(); }

  HelperRun Clean(std::vector<Press> presses, const std::wstring& extra = L"") {
    return RunHelper(L"clean " + Quoted(inst) + extra, std::move(presses));
  }

  TestDir folder;
  std::wstring inst;
  Entries original;
};

class CleanTest : public ::testing::Test, protected Installed {};

ExpectedBox Question(const std::wstring& path) { return Box(Message::DeleteInstallDirContent, path); }
ExpectedBox RetryDelete(const std::wstring& path) { return Box(Message::RetryDeleteFiles, path); }

TEST(CleanEmpty, AnEmptyDirectoryNeedsNoQuestion) {
  const TestDir empty;
  const HelperRun run = RunHelper(L"clean " + Quoted(empty.path()));
  ExpectRun(run, 0, {});
  EXPECT_TRUE(Exists(empty.path()));
}

// Each answer to the question, and to the retry question when a file is in use, with what
// must be left of the directory.
TEST(CleanAnswers, EveryAnswerLeavesWhatItPromises) {
  enum Left { kEverything, kNothing, kTheFileInUse };
  struct Case {
    const char* name;
    bool fileInUse;
    std::vector<int> answers;  // the retry question's answers follow the first question's
    DWORD exitCode;
    int retryBoxes;
    Left left;
  };
  const Case cases[] = {
      {"No keeps everything", false, {IDNO}, 0, 0, kEverything},
      {"Cancel reverts and keeps everything", false, {IDCANCEL}, 1, 0, kEverything},
      {"Yes deletes everything, protected entries too", false, {IDYES}, 0, 0, kNothing},
      {"Ignore goes on without the file in use", true, {IDYES, IDIGNORE}, 0, 1, kTheFileInUse},
      {"Abort reverts", true, {IDYES, IDABORT}, 1, 1, kTheFileInUse},
      {"Retry while in use asks again, then Ignore", true, {IDYES, IDRETRY, IDIGNORE}, 0, 2, kTheFileInUse},
      {"Retry while in use asks again, then Abort", true, {IDYES, IDRETRY, IDRETRY, IDABORT}, 1, 3, kTheFileInUse},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Installed fresh;
    std::unique_ptr<LockedFile> lock;
    if (c.fileInUse) lock = std::make_unique<LockedFile>(fresh.folder / L"data\\\u00f6l\u00e7\u00fc\\readme.txt");
    std::vector<Press> presses;
    for (int answer : c.answers) presses.push_back({answer});
    const HelperRun run = fresh.Clean(presses);

    std::vector<ExpectedBox> boxes = {Question(fresh.inst)};
    for (int i = 0; i < c.retryBoxes; ++i) boxes.push_back(RetryDelete(fresh.inst));
    ExpectRun(run, c.exitCode, boxes);
    const Entries fileInUse = {L"data", L"data\\\u00f6l\u00e7\u00fc", L"data\\\u00f6l\u00e7\u00fc\\readme.txt"};
    EXPECT_EQ(fresh.Inst(), c.left == kEverything ? fresh.original : c.left == kNothing ? Entries{} : fileInUse);
    EXPECT_TRUE(Exists(fresh.inst)) << "the directory itself stays";
  }
}

// The user closes the application that held the file, then retries: the pass succeeds.
TEST_F(CleanTest, RetryAfterTheFileIsFreedDeletesEverything) {
  LockedFile lock(folder / L"setup.log");
  const HelperRun run = Clean({{IDYES}, {IDRETRY, [&lock] { lock.Release(); }}});
  ExpectRun(run, 0, {Question(inst), RetryDelete(inst)});
  EXPECT_EQ(Inst(), Entries{});
}

// Quiet operation is for "copy" only: "clean" asks whatever follows the directory.
TEST_F(CleanTest, QuietDoesNotSilenceClean) {
  const HelperRun run = Clean({{IDCANCEL}}, L" quiet");
  ExpectRun(run, 1, {Question(inst)});
  EXPECT_EQ(Inst(), original);
}

// The installer may write the directory with other separators or quotes; the helper uses and
// shows it normalised.
TEST_F(CleanTest, TheDirectoryIsUsedAndShownNormalised) {
  std::wstring spelled = inst;
  std::replace(spelled.begin(), spelled.end(), L'\\', L'/');
  spelled.insert(spelled.rfind(L'/'), L"/");
  const HelperRun run = RunHelper(L"clean " + Quoted(spelled), {{IDNO}});
  ExpectRun(run, 0, {Question(inst)});
  EXPECT_EQ(Inst(), original);
}

// A file whose name carries the helper's own file name may be the running helper itself: it
// does not count as a failure, so no retry question comes for it.
TEST_F(CleanTest, TheHelpersOwnFileInUseIsNoFailure) {
  const std::wstring own = folder.MakeFile(L"QelInstallHelper.exe.old");
  LockedFile lock(own);
  const HelperRun run = Clean({{IDYES}});
  ExpectRun(run, 0, {Question(inst)});
  EXPECT_EQ(Inst(), Entries{L"QelInstallHelper.exe.old"});
}

// The installer runs the helper from the directory it cleans.
TEST_F(CleanTest, TheHelperRunningFromTheDirectoryIsNoFailure) {
  const std::wstring helper = inst + L"\\QelInstallHelper.exe";
  ASSERT_TRUE(CopyFileW(HelperExe().c_str(), helper.c_str(), FALSE));
  const HelperRun run = RunHelper(L"clean " + Quoted(inst), {{IDYES}}, helper);
  ExpectRun(run, 0, {Question(inst)});
  const Entries left = Inst();
  // Wine lets a running program's file be deleted, Windows does not: either way nothing else
  // is left and no retry question came.
  EXPECT_TRUE(left.empty() || left == Entries{L"QelInstallHelper.exe"}) << left.size() << " entries left";
}

// Links inside the directory are never followed, nor are other names of files elsewhere
// robbed of their attributes: a link to a folder, a link to a file, and a second name of a
// read-only file elsewhere. Wine can remove none of the three, so the pass reports them and the
// user decides; what they point to stays whole.
TEST_F(CleanTest, LinksAndOtherNamesInsideLeaveWhatTheyNameUntouched) {
  TestDir elsewhere;
  elsewhere.MakeFile(L"keep.txt", "keep");
  const std::wstring shared = elsewhere.MakeFile(L"shared.txt", "shared");
  SetFileAttributesW(shared.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM);
  const DWORD sharedAttributes = GetFileAttributesW(shared.c_str());
  LinuxLink folderLink(inst + L"\\linked", elsewhere.path());
  LinuxLink fileLink(inst + L"\\data\\keep.lnk", elsewhere / L"keep.txt");
  RunLinux(L"\\\\?\\unix\\bin\\ln", L"ln \"" + LinuxPath(shared) + L"\" \"" + LinuxPath(inst + L"\\shared") + L"\"");
  ASSERT_TRUE(WaitUntil([&] { return Exists(inst + L"\\shared"); }));
  const HelperRun run = Clean({{IDYES}, {IDIGNORE}});
  ExpectRun(run, 0, {Question(inst), RetryDelete(inst)});
  EXPECT_EQ(elsewhere.List(), (Entries{L"keep.txt", L"shared.txt"}));
  EXPECT_EQ(ReadAll(elsewhere / L"keep.txt") + ReadAll(shared), "keepshared");
  EXPECT_EQ(GetFileAttributesW(shared.c_str()), sharedAttributes);
  EXPECT_EQ(Inst(), (Entries{L"data", L"data\\keep.lnk", L"linked", L"shared"}));
}

// A link put in the directory's place before the run (a folder the installer was told to
// use, made a link by someone who may write its parent): its target is never emptied, and
// nothing is asked.
TEST(CleanPlanted, ALinkInThePlaceOfTheDirectoryEmptiesNothingAndAsksNothing) {
  TestDir parent;
  TestDir elsewhere;
  elsewhere.MakeFile(L"keep.txt", "keep");
  elsewhere.MakeFile(L"sub\\data.txt", "data");
  LinuxLink planted(parent / L"Tarnwell", elsewhere.path());
  const HelperRun run = RunHelper(L"clean " + Quoted(parent / L"Tarnwell"));
  ExpectRun(run, 0, {});
  EXPECT_TRUE(run.TraceContains(L"is a link to <"));
  EXPECT_EQ(elsewhere.List(), (Entries{L"keep.txt", L"sub", L"sub\\data.txt"}));
}

// Someone who may write the directory's parent tries to swap it for a link to a folder
// elsewhere while a question is on screen, by renaming it from a Windows program: the
// helper's hold refuses the rename, so the directory it checked is the one it empties, and
// the folder elsewhere stays whole.
TEST(CleanSwapped, TheHeldDirectoryCannotBeSwappedWhileAQuestionIsShown) {
  struct Case {
    const char* name;
    bool atRetry;
    bool linkToMoved;  // "T -> T.old"
  };
  for (const Case& c : {Case{"at the question", false, false}, Case{"at the question, to where it went", false, true},
                        Case{"at the retry question", true, false}}) {
    SCOPED_TRACE(c.name);
    Installed fresh;
    TestDir elsewhere;
    elsewhere.MakeFile(L"keep.txt", "keep");
    auto lock = std::make_unique<LockedFile>(fresh.folder / L"setup.log");
    if (!c.atRetry) lock->Release();
    const std::wstring moved = fresh.inst + L".old";
    std::unique_ptr<LinuxLink> link;
    DWORD error = 0;
    const auto swap = [&] {
      if (MoveFileExW(fresh.inst.c_str(), moved.c_str(), 0)) {
        link = std::make_unique<LinuxLink>(fresh.inst, c.linkToMoved ? moved : elsewhere.path());
      }
      error = GetLastError();
      lock->Release();
    };
    std::vector<Press> presses = {{IDYES, swap}};
    if (c.atRetry) presses = {{IDYES}, {IDRETRY, swap}};
    const HelperRun run = fresh.Clean(presses);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << "the rename is refused";
    std::vector<ExpectedBox> boxes = {Question(fresh.inst)};
    if (c.atRetry) boxes.push_back(RetryDelete(fresh.inst));
    ExpectRun(run, 0, boxes);
    EXPECT_EQ(fresh.Inst(), Entries{});
    EXPECT_EQ(elsewhere.List(), Entries{L"keep.txt"});
    EXPECT_EQ(ReadAll(elsewhere / L"keep.txt"), "keep");
  }
}

// Names that the usual path form cannot reach (a folder "data." holding a file, "notes "), made
// through the "\\?\" form, and a path deeper than Windows takes in the usual form: all go.
TEST_F(CleanTest, NamesEndingInADotOrASpaceAndDeepPathsAreDeleted) {
  ASSERT_TRUE(CreateDirectoryW(Verbatim(inst + L"\\data.").c_str(), nullptr));
  folder.MakeFile(L"data.\\file.txt");
  folder.MakeFile(L"notes ");
  folder.MakeFile(L"deep\\" + std::wstring(120, L'a') + L"\\" + std::wstring(120, L'b') + L"\\c.txt");
  const HelperRun run = Clean({{IDYES}});
  ExpectRun(run, 0, {Question(inst)});
  EXPECT_EQ(Inst(), Entries{});
}

// A directory given with "." components and forward slashes means the folder they name; the
// question names it as the system resolves it.
TEST_F(CleanTest, ADirectoryIsResolvedBeforeItIsUsed) {
  const HelperRun run = RunHelper(L"clean " + Quoted(inst + L"/./sub/..//."), {{IDNO}});
  ExpectRun(run, 0, {Question(inst)});
  EXPECT_EQ(Inst(), original);
}

// Folders whose content no installation may wipe: nothing is asked, nothing deleted.
TEST_F(CleanTest, ProtectedFoldersAreNeverEmptied) {
  wchar_t desktop[MAX_PATH] = {};
  ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, desktop, CSIDL_DESKTOPDIRECTORY, FALSE));
  const std::wstring onDesktop = std::wstring(desktop) + L"\\qelacceptance-keep.txt";
  HANDLE file = CreateFileW(onDesktop.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  wchar_t programFiles[MAX_PATH] = {};
  ASSERT_NE(GetShortPathNameW(L"C:\\Program Files", programFiles, MAX_PATH), 0u);
  TestDir links;
  LinuxLink windowsLink(links / L"windows", L"C:\\windows");
  for (const std::wstring& path : {std::wstring(L"C:\\"), std::wstring(L"C:\\windows"), std::wstring(desktop),
                                   std::wstring(programFiles), std::wstring(L"\\\\?\\C:\\windows"),
                                   links / L"windows", std::wstring(L"C:\\ProgramData")}) {
    SCOPED_TRACE(Narrow(path));
    // Unquoted: a quote after "C:\\" would be read as an escaped quote.
    ExpectRun(RunHelper(L"clean " + path), 0, {});
  }
  EXPECT_TRUE(Exists(onDesktop));
  EXPECT_TRUE(Exists(SystemDir() + L"\\regsvr32.exe"));
  EXPECT_EQ(Inst(), original);
  DeleteFileW(onDesktop.c_str());
}

}  // namespace
