#include "support/fixtures.h"

namespace {

// The fixtures themselves: a wrong fixture would let every test that uses it pass wrongly.
TEST(Fixtures, OverridesAreUndoneAndArtifactsAreReachable) {
  DWORD (*real)() = ::GetCurrentProcessId;
  {
    ScopedOverride<DWORD()> fake(Platform().GetCurrentProcessId, [] { return DWORD{7}; });
    EXPECT_EQ(Platform().GetCurrentProcessId(), 7u);
    EXPECT_EQ(fake.original()(), real());
  }
  EXPECT_EQ(Platform().GetCurrentProcessId(), real());

  const std::wstring self = TestArtifact(L"qel_tests.exe");
  EXPECT_TRUE(Exists(self)) << Narrow(self);
  TempDir dir;
  EXPECT_TRUE(CopyFileW(self.c_str(), (dir / L"copy.exe").c_str(), TRUE));
  EXPECT_EQ(ReadAll(dir / L"copy.exe").substr(0, 2), "MZ");
}

TEST(Fixtures, TempDirsAreFreshAndRemovedWithReadOnlyContent) {
  std::wstring path;
  {
    TempDir dir;
    path = dir.path();
    dir.MakeFile(L"a\\b\\c.txt", "abc");
    SetFileAttributesW((dir / L"a\\b\\c.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW((dir / L"a").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(ReadAll(dir / L"a\\b\\c.txt"), "abc");
  }
  EXPECT_FALSE(Exists(path));
}

}  // namespace
