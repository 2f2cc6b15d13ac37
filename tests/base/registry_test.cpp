#include "base/registry.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

#include "base/text.h"
#include "support/fixtures.h"
#include "support/productkey.h"

namespace {

using Setup = std::function<void(const ProductKeys&)>;

const KeyView kNative = KeyView::Native;
const KeyView kWow = KeyView::Wow;

std::wstring Filled(wchar_t c, size_t count) { return std::wstring(count, c); }

// The buffer's text, never read past its end.
std::wstring Text(const wchar_t* buffer) { return std::wstring(buffer, wcsnlen(buffer, kPathChars)); }

void SetRaw(const ProductKeys& keys, KeyView view, DWORD type, const std::wstring& bytesOf, DWORD bytes) {
  keys.SetRaw(view, L"EDITION", type, bytesOf.c_str(), bytes);
}

class RegistryTest : public HelperTest {
 protected:
  ProductKeys keys;
  OpenKeyCounter counter;

  int Count(const wchar_t* function) const {
    const std::vector<std::wstring> functions = trace.Functions();
    return static_cast<int>(std::count(functions.begin(), functions.end(), function));
  }
};

TEST_F(RegistryTest, KeyPathsAreTheNativeAndThe32BitProductKey) {
  PathBuffer dest;
  std::fill(std::begin(dest), std::end(dest), L'#');
  GetHKLM(dest);
  EXPECT_EQ(std::wstring(dest), L"Software\\Helvane\\BRAVIK\\2020");
  EXPECT_TRUE(std::all_of(dest + wcslen(dest), std::end(dest), [](wchar_t c) { return c == 0; })) << "cleared";
  GetHKLM_WOW(dest);
  EXPECT_EQ(std::wstring(dest), L"Software\\Wow6432Node\\Helvane\\BRAVIK\\2020");
  EXPECT_EQ(Count(L"GetHKLM"), 1);
  EXPECT_EQ(Count(L"GetHKLM_WOW"), 1);
}

struct QueryCase {
  const char* name;
  Setup setup;
  int expected;
  std::wstring data;
};

TEST_F(RegistryTest, QueryReadsOnlyAStringOfTheFirstKeyThatOpens) {
  const std::wstring longest = Filled(L'p', kPathChars - 1);
  const std::wstring full = Filled(L'f', kPathChars);
  const std::vector<QueryCase> cases = {
      {"no key", [](const ProductKeys&) {}, 0, L""},
      {"only native", [](const ProductKeys& k) { k.SetString(kNative, L"EDITION", L"STUDENT"); }, 1, L"STUDENT"},
      {"only 32-bit", [](const ProductKeys& k) { k.SetString(kWow, L"EDITION", L"Wow"); }, 1, L"Wow"},
      {"both", [](const ProductKeys& k) {
         k.SetString(kNative, L"EDITION", L"Native");
         k.SetString(kWow, L"EDITION", L"Wow");
       }, 1, L"Native"},
      {"native key without the value", [](const ProductKeys& k) {
         k.SetString(kNative, L"INSTALLPATH", L"C:\\Inst");
         k.SetString(kWow, L"EDITION", L"Wow");
       }, 0, L""},
      {"REG_EXPAND_SZ", [](const ProductKeys& k) { SetRaw(k, kNative, REG_EXPAND_SZ, L"%Edition%", 20); }, 0,
       L"%Edition%"},
      {"REG_DWORD", [](const ProductKeys& k) {
         const DWORD value = 0x00410042;
         k.SetRaw(kNative, L"EDITION", REG_DWORD, &value, sizeof(value));
       }, 0, L"BA"},
      {"0-byte REG_SZ", [](const ProductKeys& k) { SetRaw(k, kNative, REG_SZ, L"", 0); }, 0, L""},
      {"empty with terminator", [](const ProductKeys& k) { SetRaw(k, kNative, REG_SZ, L"", 2); }, 1, L""},
      {"4355 characters", [&](const ProductKeys& k) { k.SetString(kNative, L"EDITION", longest); }, 1, longest},
      {"4355 characters stored without terminator",
       [&](const ProductKeys& k) { SetRaw(k, kNative, REG_SZ, longest, 8710); }, 1, longest},
      {"4356 characters with terminator", [&](const ProductKeys& k) { k.SetString(kNative, L"EDITION", full); }, 0,
       L""},
      {"4356 characters without terminator", [&](const ProductKeys& k) { SetRaw(k, kNative, REG_SZ, full, 8712); },
       0, L""},
      // An odd size fills the last character's low byte: under Wine this is the value that
      // reaches the buffer's end without a terminator.
      {"8711 bytes", [&](const ProductKeys& k) { SetRaw(k, kNative, REG_SZ, full, 8711); }, 0, L""},
      {"8712 bytes of REG_BINARY", [&](const ProductKeys& k) { SetRaw(k, kNative, REG_BINARY, full, 8712); }, 0, L""},
  };
  for (const QueryCase& c : cases) {
    keys.Clear();
    c.setup(keys);
    PathBuffer data;
    std::fill(std::begin(data), std::end(data), L'#');
    EXPECT_EQ(QueryHKLM(data, L"EDITION"), c.expected) << c.name;
    EXPECT_EQ(data[kPathChars - 1], 0) << c.name;
    EXPECT_EQ(Text(data), c.data) << c.name;
    EXPECT_EQ(counter.stillOpen(), 0) << c.name;
  }
  EXPECT_GT(counter.opened, 0);
}

// Windows hands back a REG_SZ value of exactly 8712 bytes as it is stored, with no room for
// a terminator; Wine refuses it with ERROR_MORE_DATA, so the platform's answer is played.
TEST_F(RegistryTest, AValueFillingTheBufferWithoutTerminatorIsNotAvailable) {
  keys.SetString(kNative, L"EDITION", L"STUDENT");
  ScopedOverride<LSTATUS(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD)> windows(
      Platform().RegQueryValueExW, [](HKEY, LPCWSTR, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD bytes) {
        if (*bytes < kPathChars * sizeof(wchar_t)) return static_cast<LSTATUS>(ERROR_MORE_DATA);
        std::fill_n(reinterpret_cast<wchar_t*>(data), kPathChars, L'S');
        *type = REG_SZ;
        *bytes = kPathChars * sizeof(wchar_t);
        return static_cast<LSTATUS>(ERROR_SUCCESS);
      });
  PathBuffer data = {};
  EXPECT_EQ(QueryHKLM(data, L"EDITION"), 0);
  EXPECT_EQ(Text(data), L"");
  EXPECT_EQ(counter.stillOpen(), 0);
}

TEST_F(RegistryTest, QueryRefusesNullArgumentsWithoutTouchingAnything) {
  keys.SetString(kNative, L"EDITION", L"STUDENT");
  PathBuffer data = L"kept";
  EXPECT_EQ(QueryHKLM(nullptr, L"EDITION"), -1);
  EXPECT_EQ(QueryHKLM(data, nullptr), -1);
  EXPECT_EQ(std::wstring(data), L"kept");
  EXPECT_EQ(counter.opened, 0);
  EXPECT_EQ(Count(L"QueryHKLM"), 2) << "the trace line comes first";
  EXPECT_EQ(Count(L"GetHKLM"), 0) << "a refused call builds nothing";
}

// "ENGINE" goes where the product keeps its values: the native key, else the 32-bit one, else
// a new native key.
TEST_F(RegistryTest, TheEngineReferenceLivesInTheFirstProductKeyThatOpens) {
  for (const KeyView only : {kNative, kWow}) {
    keys.Clear();
    if (only == kWow) keys.Create(kWow);
    EXPECT_TRUE(QueryEngineReference() == 0 && SetEngineReference(true) && QueryEngineReference() == 1);
    EXPECT_TRUE(keys.HasValue(only, L"ENGINE"));
    EXPECT_TRUE(SetEngineReference(false) && SetEngineReference(false) && QueryEngineReference() == 0);
  }
}

int Count(const TraceRecorder& trace, const wchar_t* function) {
  const std::vector<std::wstring> functions = trace.Functions();
  return static_cast<int>(std::count(functions.begin(), functions.end(), function));
}

// Two calls of each operation in a process that has not built the paths yet; reports how
// often each path was built after the queries and after the deletions.
void BuildPathsInAFreshProcess() {
  int counts[4] = {};
  {
    ProductKeys keys;
    TraceRecorder trace;
    keys.SetString(kWow, L"EDITION", L"STUDENT");
    PathBuffer data = {};
    const bool read = QueryHKLM(data, L"EDITION") == 1 && QueryHKLM(data, L"EDITION") == 1;
    counts[0] = Count(trace, L"GetHKLM");
    counts[1] = Count(trace, L"GetHKLM_WOW");
    DeleteEditionKey();
    DeleteEditionKey();
    counts[2] = Count(trace, L"GetHKLM");
    counts[3] = Count(trace, L"GetHKLM_WOW");
    const bool deleted = !keys.HasValue(kWow, L"EDITION");
    fprintf(stderr, "built %d %d, then %d %d; read %d, deleted %d\n", counts[0], counts[1], counts[2], counts[3],
            read, deleted);
  }
  exit(0);
}

// The paths live as long as the process, so they are counted in a process of their own.
TEST(RegistryPaths, EachOperationBuildsItsKeyPathsOnItsFirstCallOnly) {
  EXPECT_EXIT(BuildPathsInAFreshProcess(), ::testing::ExitedWithCode(0), "built 1 1, then 2 2; read 1, deleted 1");
}

struct DeleteCase {
  const char* name;
  Setup setup;
  bool nativeKept;  // "EDITION" in the native key afterwards
  bool wowKept;     // and in the 32-bit one
};

TEST_F(RegistryTest, DeleteRemovesTheEditionOfTheFirstKeyThatOpensWhateverItsType) {
  const std::wstring full = Filled(L'f', kPathChars);
  const std::vector<DeleteCase> cases = {
      {"no key", [](const ProductKeys&) {}, false, false},
      {"both", [](const ProductKeys& k) {
         k.SetString(kNative, L"EDITION", L"STUDENT");
         k.SetString(kNative, L"INSTALLPATH", L"C:\\Inst");
         k.SetString(kWow, L"EDITION", L"STUDENT");
       }, false, true},
      {"only 32-bit", [](const ProductKeys& k) {
         k.SetString(kWow, L"EDITION", L"STUDENT");
         k.SetString(kWow, L"INSTALLPATH", L"C:\\Inst");
       }, false, false},
      {"REG_DWORD", [](const ProductKeys& k) {
         const DWORD value = 1;
         k.SetRaw(kNative, L"EDITION", REG_DWORD, &value, sizeof(value));
       }, false, false},
      {"0-byte REG_SZ", [](const ProductKeys& k) { SetRaw(k, kNative, REG_SZ, L"", 0); }, false, false},
      {"8712 bytes of REG_BINARY", [&](const ProductKeys& k) { SetRaw(k, kNative, REG_BINARY, full, 8712); }, false,
       false},
      {"native key without the value", [](const ProductKeys& k) {
         k.Create(kNative);
         k.SetString(kWow, L"EDITION", L"STUDENT");
       }, false, true},
  };
  for (const DeleteCase& c : cases) {
    keys.Clear();
    c.setup(keys);
    const bool nativePath = keys.HasValue(kNative, L"INSTALLPATH");
    const bool wowPath = keys.HasValue(kWow, L"INSTALLPATH");
    DeleteEditionKey();
    EXPECT_EQ(keys.HasValue(kNative, L"EDITION"), c.nativeKept) << c.name;
    EXPECT_EQ(keys.HasValue(kWow, L"EDITION"), c.wowKept) << c.name;
    EXPECT_EQ(keys.HasValue(kNative, L"INSTALLPATH"), nativePath) << c.name << ": only the edition goes";
    EXPECT_EQ(keys.HasValue(kWow, L"INSTALLPATH"), wowPath) << c.name;
    EXPECT_EQ(counter.stillOpen(), 0) << c.name;
  }
}

}  // namespace
