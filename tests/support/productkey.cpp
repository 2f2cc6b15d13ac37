#include "support/productkey.h"

#include <algorithm>

namespace {

// The literal paths of the vendor key in each view, as a 64-bit process sees them.
const wchar_t* const kVendorKeys[] = {L"Software\\Helvane", L"Software\\Wow6432Node\\Helvane"};

void SaveTree(HKEY key, ProductKeys::Saved& saved) {
  DWORD subkeys = 0, longestSubkey = 0, values = 0, longestName = 0, largestData = 0;
  RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &longestSubkey, nullptr, &values, &longestName,
                   &largestData, nullptr, nullptr);
  std::vector<wchar_t> name(std::max(longestName, longestSubkey) + 2);
  for (DWORD i = 0; i < values; ++i) {
    ProductKeys::Saved::Value value{L"", REG_NONE, std::vector<BYTE>(largestData + 2)};
    DWORD nameChars = static_cast<DWORD>(name.size());
    DWORD bytes = static_cast<DWORD>(value.data.size());
    if (RegEnumValueW(key, i, name.data(), &nameChars, nullptr, &value.type, value.data.data(), &bytes) !=
        ERROR_SUCCESS) {
      continue;
    }
    value.name.assign(name.data(), nameChars);
    value.data.resize(bytes);
    saved.values.push_back(value);
  }
  for (DWORD i = 0; i < subkeys; ++i) {
    DWORD nameChars = static_cast<DWORD>(name.size());
    if (RegEnumKeyExW(key, i, name.data(), &nameChars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) continue;
    HKEY child = nullptr;
    if (RegOpenKeyExW(key, name.data(), 0, KEY_READ | KEY_WOW64_64KEY, &child) != ERROR_SUCCESS) continue;
    saved.subkeys.push_back({std::wstring(name.data(), nameChars), {}, {}});
    SaveTree(child, saved.subkeys.back());
    RegCloseKey(child);
  }
}

void RestoreTree(HKEY parent, const ProductKeys::Saved& saved) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(parent, saved.name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    ADD_FAILURE() << "could not restore " << Narrow(saved.name);
    return;
  }
  for (const ProductKeys::Saved::Value& value : saved.values) {
    RegSetValueExW(key, value.name.c_str(), 0, value.type, value.data.data(), static_cast<DWORD>(value.data.size()));
  }
  for (const ProductKeys::Saved& subkey : saved.subkeys) RestoreTree(key, subkey);
  RegCloseKey(key);
}

void DeleteTree(const wchar_t* path) {
  const LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, path);
  EXPECT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << Narrow(path) << ": " << status;
}

}  // namespace

ProductKeys::ProductKeys() : lock_(CreateMutexW(nullptr, FALSE, L"QelTests.ProductKey")) {
  const DWORD waited = WaitForSingleObject(lock_, 120000);
  EXPECT_TRUE(waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) << "the product key stayed in use";
  for (const wchar_t* path : kVendorKeys) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) continue;
    saved_.push_back({path, {}, {}});
    SaveTree(key, saved_.back());
    RegCloseKey(key);
  }
  Clear();
}

ProductKeys::~ProductKeys() {
  for (const wchar_t* path : kVendorKeys) DeleteTree(path);
  for (const Saved& tree : saved_) RestoreTree(HKEY_LOCAL_MACHINE, tree);
  ReleaseMutex(lock_);
  CloseHandle(lock_);
}

void ProductKeys::Create(KeyView view) const {
  HKEY key = OpenProductKey(view, KEY_ALL_ACCESS, true);
  ASSERT_NE(key, nullptr);
  RegCloseKey(key);
}

void ProductKeys::SetString(KeyView view, const std::wstring& name, const std::wstring& text) const {
  SetRaw(view, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void ProductKeys::SetRaw(KeyView view, const std::wstring& name, DWORD type, const void* data, DWORD bytes) const {
  HKEY key = OpenProductKey(view, KEY_ALL_ACCESS, true);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
  RegCloseKey(key);
}

bool ProductKeys::HasValue(KeyView view, const std::wstring& name) const {
  HKEY key = OpenProductKey(view, KEY_READ, false);
  if (key == nullptr) return false;
  const bool found = RegQueryValueExW(key, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  RegCloseKey(key);
  return found;
}

void ProductKeys::Clear() const {
  for (const wchar_t* path : kProductKeyPaths) DeleteTree(path);
}

OpenKeyCounter::OpenKeyCounter()
    : open_(Platform().RegOpenKeyExW,
            [this](HKEY parent, LPCWSTR path, DWORD options, REGSAM access, PHKEY key) {
              const LSTATUS status = open_.original()(parent, path, options, access, key);
              if (status == ERROR_SUCCESS) ++opened;
              return status;
            }),
      close_(Platform().RegCloseKey, [this](HKEY key) {
        ++closed;
        return close_.original()(key);
      }) {}
