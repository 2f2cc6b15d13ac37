// A real installer as the helper's client: the example NSIS installer (examples/installer),
// run silently, goes on when the helper ends with 0 and reverts when it ends with 1.

#include <gtest/gtest.h>

#include "acceptance/runner.h"

namespace {

const wchar_t* const kEngineFiles[] = {L"wbentTarnwell.ocx", L"wbentTarnwell.lic", L"wbTarnwell64.dll"};

// The target directory of one installation, the product key, and whatever the installation
// puts into the system directory or registers, all gone again afterwards.
class InstallerTest : public ::testing::Test {
 protected:
  InstallerTest() : target(scratch / L"Tarnwell") { Forget(); }
  ~InstallerTest() override { Forget(); }

  // NSIS takes the target directory last and unquoted.
  ProgramRun Install(const wchar_t* installer, std::vector<Press> presses = {}) {
    return RunProgram(Quoted(BesideTests(std::wstring(L"installer\\") + installer)) + L" /S /D=" + target,
                      std::move(presses));
  }

  std::wstring InSystemDir(const std::wstring& name) const { return SystemDir() + L"\\" + name; }
  std::wstring Extension() const { return target + L"\\AMD64\\QELInfo_AMD64.dll"; }

  void Forget() const {
    for (const wchar_t* name : kEngineFiles) {
      ForgetRegistration(InSystemDir(name));
      RemoveTree(InSystemDir(name));
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

TEST_F(InstallerTest, AGoodInstallationEndsWithTheEngineInstalledAndRegistered) {
  const ProgramRun run = Install(L"TarnwellSetup-good.exe");
  EXPECT_TRUE(run.ended);
  EXPECT_EQ(run.exitCode, 0u);
  ExpectBoxes(run.boxes, {});
  for (const wchar_t* name : kEngineFiles) {
    EXPECT_TRUE(SameContent(InSystemDir(name), target + L"\\VBAEngine\\Windows64\\" + name)) << Narrow(name);
  }
  EXPECT_TRUE(IsRegistered(InSystemDir(kEngineFiles[0])));
  EXPECT_TRUE(IsRegistered(Extension()));
  EXPECT_EQ(key.Get(KeyView::Native, L"EDITION"), L"COMMERCIAL");
  EXPECT_EQ(key.Get(KeyView::Native, L"INSTALLPATH"), target);
}

TEST_F(InstallerTest, AnInstallationWithoutTheEngineIsReverted) {
  const ProgramRun run = Install(L"TarnwellSetup-noengine.exe");
  EXPECT_TRUE(run.ended);
  EXPECT_EQ(run.exitCode, 2u) << "NSIS ends with 2 when the script aborts";
  ExpectBoxes(run.boxes, {});  // "copy" runs quiet
  ExpectNothingInstalled();
  EXPECT_EQ(key.Get(KeyView::Native, L"EDITION"), L"<no key>");
}

// "checkedition" is never quiet: even a silent installation shows why it stops.
TEST_F(InstallerTest, AnotherEditionStopsTheInstallationBeforeAnythingIsTouched) {
  TestDir student;
  student.MakeFile(L"tarnwell.exe");
  key.Set(KeyView::Native, L"EDITION", L"STUDENT");
  key.Set(KeyView::Native, L"INSTALLPATH", student.path());
  const ProgramRun run = Install(L"TarnwellSetup-good.exe");
  EXPECT_EQ(run.exitCode, 2u);
  ExpectBoxes(run.boxes, {Box(Message::OtherEditionInstalled, student.path())});
  ExpectNothingInstalled();
  EXPECT_EQ(key.Get(KeyView::Native, L"EDITION"), L"STUDENT");
  EXPECT_EQ(key.Get(KeyView::Native, L"INSTALLPATH"), student.path());
}

// "clean" is never quiet either: a target directory that holds files is a question, and
// Cancel stops the installation with the files untouched.
TEST_F(InstallerTest, CancelAtTheCleanQuestionStopsTheInstallation) {
  const std::wstring earlier = scratch.MakeFile(L"Tarnwell\\earlier.txt", "earlier");
  const ProgramRun run = Install(L"TarnwellSetup-good.exe", {{IDCANCEL}});
  EXPECT_EQ(run.exitCode, 2u);
  ExpectBoxes(run.boxes, {Box(Message::DeleteInstallDirContent, target)});
  EXPECT_EQ(ReadAll(earlier), "earlier");
  EXPECT_FALSE(Exists(target + L"\\Tarnwell.txt"));
  EXPECT_EQ(key.Get(KeyView::Native, L"EDITION"), L"<no key>");
}

}  // namespace
