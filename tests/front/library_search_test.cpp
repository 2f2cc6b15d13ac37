#include <string>

#include "front/main.h"
#include "support/fixtures.h"

namespace {

// Real loader behaviour under Wine. The restriction holds for the rest of the process; like
// every test, this one runs in a process of its own.
class LibrarySearchTest : public ::testing::Test {
 protected:
  LibrarySearchTest() {
    GetCurrentDirectoryW(MAX_PATH, saved_);
    EXPECT_TRUE(CopyFileW(TestArtifact(L"qel_planted.dll").c_str(), (dir / L"qel_planted_here.dll").c_str(), TRUE));
    SetCurrentDirectoryW(dir.path().c_str());
  }
  ~LibrarySearchTest() override { SetCurrentDirectoryW(saved_); }

  // True when a library of that bare name is found (and unloads it again).
  static bool Loads(const wchar_t* name) {
    HMODULE module = LoadLibraryW(name);
    if (module == nullptr) return false;
    FreeLibrary(module);
    return true;
  }

  TempDir dir;
  // Beside the test program, and in the current directory.
  const wchar_t* const besideProgram = L"qel_planted.dll";
  const wchar_t* const inCurrentDirectory = L"qel_planted_here.dll";

 private:
  wchar_t saved_[MAX_PATH] = {};
};

TEST_F(LibrarySearchTest, OnlyTheSystemDirectoryIsSearched) {
  ASSERT_TRUE(Loads(besideProgram));
  ASSERT_TRUE(Loads(inCurrentDirectory));
  EXPECT_TRUE(RestrictLibrarySearch());
  EXPECT_FALSE(Loads(besideProgram));
  EXPECT_FALSE(Loads(inCurrentDirectory));
  EXPECT_TRUE(Loads(L"version.dll")) << "system libraries are still found";
}

// Where SetDefaultDllDirectories is missing, the current directory is dropped with an empty
// SetDllDirectoryW, which Wine treats as no directory set at all (it keeps searching "."):
// that path is checked through the seam only (EntryTest).

}  // namespace
