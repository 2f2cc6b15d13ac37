#include "base/process.h"
#include "support/components.h"

namespace {

// Every copy of the test library registers on its own, and the fixture leaves no
// registration behind: the "copy" tests rely on both.
TEST(Components, EachCopyRegistersOnItsOwnAndIsForgottenAfterwards) {
  std::wstring extension;
  {
    Installation installation;
    extension = installation.Extension();
    EXPECT_EQ(ReadAll(installation.Companion()), "license\r\n");
    EXPECT_EQ(ReadAll(installation.Library()), ReadAll(GoodComponent()));

    EXPECT_EQ(SpawnRegSvr(installation.Control().c_str(), true), 0);
    EXPECT_EQ(SpawnRegSvr(extension.c_str(), true), 0);
    EXPECT_TRUE(IsRegistered(installation.Control()));
    EXPECT_TRUE(IsRegistered(extension));
    EXPECT_FALSE(IsRegistered(installation.Library()));

    EXPECT_EQ(SpawnRegSvr(installation.Control().c_str(), false), 0);
    EXPECT_FALSE(IsRegistered(installation.Control()));
    EXPECT_TRUE(IsRegistered(extension)) << "unregistering one copy touched another";
  }
  EXPECT_FALSE(IsRegistered(extension)) << "the fixture left a registration behind";
}

TEST(Components, OptionsLeaveOutOrBreakSingleFiles) {
  InstallationOptions options;
  options.companion = false;
  options.failingControl = true;
  options.extension = false;
  Installation noCompanion(options);
  EXPECT_TRUE(Exists(noCompanion.Control()));
  EXPECT_FALSE(Exists(noCompanion.Companion()));
  EXPECT_TRUE(Exists(noCompanion.Library()));
  EXPECT_TRUE(Exists(noCompanion.ExtensionDir()));
  EXPECT_FALSE(Exists(noCompanion.Extension()));
  EXPECT_EQ(SpawnRegSvr(noCompanion.Control().c_str(), true), 5);

  options = {};
  options.control = false;
  options.library = false;
  options.extensionFolder = false;
  Installation noFolder(options);
  EXPECT_TRUE(Exists(noFolder.EngineDir()));
  EXPECT_FALSE(Exists(noFolder.Control()));
  EXPECT_TRUE(Exists(noFolder.Companion()));
  EXPECT_FALSE(Exists(noFolder.Library()));
  EXPECT_FALSE(Exists(noFolder.ExtensionDir()));

  options = {};
  options.failingExtension = true;
  Installation failingExtension(options);
  EXPECT_EQ(SpawnRegSvr(failingExtension.Extension().c_str(), true), 5);
  EXPECT_EQ(SpawnRegSvr(failingExtension.Control().c_str(), true), 0);
}

}  // namespace
