// Real installers as the helper's clients, run silently (and the package also with a user
// interface): the example NSIS installer (examples/installer) and the example Windows Installer
// package (examples/msi). Each goes on when the helper ends with 0 and reverts when it ends with 1.

#include <gtest/gtest.h>

#include "acceptance/runner.h"

namespace {

const wchar_t* const kEngineFiles[] = {L"wbentTarnwell.ocx", L"wbentTarnwell.lic", L"wbTarnwell64.dll"};

struct InstallerKind {
  const char* name;
  bool msi;
  DWORD stopped;         // the exit code of a stopped installation
  bool keepsEarlierKey;  // a stopped installation leaves product key values it did not write
};

// NSIS ends with 2 when the script aborts. msiexec ends a rolled-back installation with 1603 on
// Windows; Wine's ends it with 1627, and its rollback removes every registry value the package
// names, also one that was there before and that the installation never reached.
const InstallerKind kInstallers[] = {{"Nsis", false, 2, true}, {"Msi", true, 1627, false}};

// The target directory of one installation, the product key, and whatever the installation
// puts into the system directory or registers, all gone again afterwards.
class InstallerTest : public ::testing::TestWithParam<InstallerKind> {
 protected:
  InstallerTest() : target(scratch / L"Tarnwell") { Forget(); }
  ~InstallerTest() override { Forget(); }

  // The installer built from the image "good" or "noengine". NSIS takes the target directory
  // last and unquoted; msiexec takes it as the property INSTALLDIR, and runs with the reduced
  // user interface (UILevel 4) where one is asked for.
  ProgramRun Install(const wchar_t* image, std::vector<Press> presses = {}, bool userInterface = false) const {
    const std::wstring installer = Quoted(Installer(image));
    const wchar_t* level = userInterface ? L" /qr" : L" /qn";
    return RunProgram(GetParam().msi ? L"msiexec.exe /i " + installer + level + L" INSTALLDIR=" + Quoted(target)
                                     : installer + L" /S /D=" + target,
                      std::move(presses));
  }
  // NSIS's uninstaller runs in place (_?=), so that its end is the uninstallation's; it cannot
  // delete itself then. Without /S it shows its progress and closes by itself.
  ProgramRun Uninstall(bool userInterface) const {
    const std::wstring msi = L"msiexec.exe /x " + Quoted(Installer(L"good")) + (userInterface ? L" /qr" : L" /qn");
    const std::wstring nsis = Quoted(target + L"\\Uninstall.exe") + (userInterface ? L"" : L" /S") + L" _?=" + target;
    return RunProgram(GetParam().msi ? msi : nsis);
  }
  std::wstring Installer(const wchar_t* image) const {
    return TestArtifact(std::wstring(L"installer\\TarnwellSetup-") + image + (GetParam().msi ? L".msi" : L".exe"));
  }
  // The target directory as the installer passes it to the helper and records it: a directory
  // property keeps its trailing backslash.
  std::wstring TargetAsGiven() const { return GetParam().msi ? target + L"\\" : target; }

  std::wstring InSystemDir(const std::wstring& name) const { return SystemDir() + L"\\" + name; }
  std::wstring Extension() const { return target + L"\\AMD64\\QELInfo_AMD64.dll"; }

  // A package that installed stays registered with Windows Installer, and would only be
  // repaired by the next test's installation: it is removed (its own files and key with it).
  void Forget() const {
    if (GetParam().msi) RunProgram(L"msiexec.exe /x " + Quoted(Installer(L"good")) + L" /qn");
    for (const wchar_t* name : kEngineFiles) {
      ForgetRegistration(InSystemDir(name));
      RemoveTree(InSystemDir(name));
      SetSharedCount(InSystemDir(name), -1);
    }
    ForgetRegistration(Extension());
  }

  void ExpectNothingInstalled() const {
    EXPECT_FALSE(Exists(target)) << "the target directory is gone again";
    for (const wchar_t* name : kEngineFiles) EXPECT_FALSE(Exists(InSystemDir(name))) << Narrow(name);
    EXPECT_FALSE(IsRegistered(InSystemDir(kEngineFiles[0])));
    EXPECT_FALSE(IsRegistered(Extension()));
  }

  ProductKey key;
  TestDir scratch;
  std::wstring target;
};

TEST_P(InstallerTest, AGoodInstallationEndsWithTheEngineInstalledAndRegistered) {
  const ProgramRun run = Install(L"good");
  EXPECT_TRUE(run.ended);
  EXPECT_EQ(run.exitCode, 0u);
  ExpectBoxes(run.boxes, {});
  for (const wchar_t* name : kEngineFiles) {
    EXPECT_TRUE(SameContent(InSystemDir(name), target + L"\\VBAEngine\\Windows64\\" + name)) << Narrow(name);
  }
  EXPECT_TRUE(IsRegistered(InSystemDir(kEngineFiles[0])));
  EXPECT_TRUE(IsRegistered(Extension()));
  EXPECT_EQ(key.Get(KeyView::Native, L"EDITION"), L"COMMERCIAL");
  EXPECT_EQ(key.Get(KeyView::Native, L"INSTALLPATH"), TargetAsGiven());
}

TEST_P(InstallerTest, AnInstallationWithoutTheEngineIsReverted) {
  const ProgramRun run = Install(L"noengine");
  EXPECT_TRUE(run.ended);
  EXPECT_EQ(run.exitCode, GetParam().stopped);
  ExpectBoxes(run.boxes, {});  // "copy" runs quiet
  ExpectNothingInstalled();
  EXPECT_EQ(key.Get(KeyView::Native, L"EDITION"), L"<no key>");
}

// An uninstallation, silent or not, leaves the system directory, the counts and the registrations
// as they were before the installation: an engine that another product uses stays, registered,
// with that product's counts.
TEST_P(InstallerTest, AnUninstallationLeavesTheSystemAsItWasBefore) {
  for (const bool shared : {false, true}) {
    for (const bool userInterface : {false, true}) {
      SCOPED_TRACE(std::string(shared ? "shared" : "alone") + (userInterface ? ", with a user interface" : ""));
      for (const wchar_t* name : kEngineFiles) {
        EXPECT_TRUE(!shared || CopyFileW(GoodComponent().c_str(), InSystemDir(name).c_str(), FALSE));
        SetSharedCount(InSystemDir(name), shared ? 1 : -1);
      }
      EXPECT_TRUE(!shared || RegSvr(InSystemDir(kEngineFiles[0]), true) == 0);
      ASSERT_EQ(Install(L"good").exitCode, 0u);
      const ProgramRun run = Uninstall(userInterface);
      EXPECT_EQ(run.exitCode, 0u);
      ExpectBoxes(run.boxes, {});
      for (const wchar_t* name : kEngineFiles) {
        EXPECT_EQ(Exists(InSystemDir(name)), shared) << Narrow(name);
        EXPECT_EQ(SharedCount(InSystemDir(name)), shared ? 1 : -1) << Narrow(name);
      }
      EXPECT_EQ(IsRegistered(InSystemDir(kEngineFiles[0])), shared);
      EXPECT_FALSE(IsRegistered(Extension()));
      EXPECT_EQ(key.Get(KeyView::Native, L"EDITION"), L"<no key>");
    }
  }
}

// "checkedition" is never quiet: even a silent installation shows why it stops.
TEST_P(InstallerTest, AnotherEditionStopsTheInstallationBeforeAnythingIsTouched) {
  TestDir student;
  student.MakeFile(L"tarnwell.exe");
  key.Set(KeyView::Native, L"EDITION", L"STUDENT");
  key.Set(KeyView::Native, L"INSTALLPATH", student.path());
  const ProgramRun run = Install(L"good");
  EXPECT_EQ(run.exitCode, GetParam().stopped);
  ExpectBoxes(run.boxes, {Box(Message::OtherEditionInstalled, student.path())});
  ExpectNothingInstalled();
  if (!GetParam().keepsEarlierKey) return;
  EXPECT_EQ(key.Get(KeyView::Native, L"EDITION"), L"STUDENT");
  EXPECT_EQ(key.Get(KeyView::Native, L"INSTALLPATH"), student.path());
}

// A silent installation leaves "clean" out, as nobody would answer its question: the earlier
// folder's content stays beside the new files.
TEST_P(InstallerTest, ASilentInstallationKeepsTheEarlierFolderContent) {
  const std::wstring earlier = scratch.MakeFile(L"Tarnwell\\earlier.txt", "earlier");
  const ProgramRun run = Install(L"good");
  EXPECT_EQ(run.exitCode, 0u);
  ExpectBoxes(run.boxes, {});
  EXPECT_EQ(ReadAll(earlier), "earlier");
  EXPECT_TRUE(Exists(target + L"\\Tarnwell.txt"));
}

// With a user interface, a target directory that holds files is a question, and Cancel stops
// the installation with the files untouched. (The NSIS example shows its own pages then.)
TEST_P(InstallerTest, CancelAtTheCleanQuestionStopsTheInstallation) {
  if (!GetParam().msi) GTEST_SKIP() << "the NSIS example's pages need a user of their own";
  const std::wstring earlier = scratch.MakeFile(L"Tarnwell\\earlier.txt", "earlier");
  const ProgramRun run = Install(L"good", {{IDCANCEL}}, true);
  EXPECT_EQ(run.exitCode, GetParam().stopped);
  ExpectBoxes(run.boxes, {Box(Message::DeleteInstallDirContent, TargetAsGiven())});
  EXPECT_EQ(ReadAll(earlier), "earlier");
  EXPECT_FALSE(Exists(target + L"\\Tarnwell.txt"));
  EXPECT_EQ(key.Get(KeyView::Native, L"EDITION"), L"<no key>");
}

INSTANTIATE_TEST_SUITE_P(
    Installers, InstallerTest, ::testing::ValuesIn(kInstallers),
    [](const ::testing::TestParamInfo<InstallerKind>& info) { return std::string(info.param.name); });

// Windows Installer's directory properties end with a backslash. Quoted as "[INSTALLDIR]", the
// command line ends the directory with \", a quote inside the argument: the helper takes the rest
// of the line as part of a directory that does not exist, and "quiet" is lost. The idiom
// "[INSTALLDIR]\" ends it with \\", the directory with its one backslash.
TEST(InstallerCommandLine, ADirectoryPropertyIsQuotedWithItsBackslashDoubled) {
  Installation installation;
  const std::wstring property = installation.path() + L"\\";
  ExpectRun(RunHelper(L"copy \"" + property + L"\" quiet"), 1,
            {Box(Message::InstallDirNotFound, installation.path() + L" quiet")});
  ExpectRun(RunHelper(L"copy \"" + property + L"\\\" quiet"), 0, {});
}

}  // namespace
