#pragma once
// The product's registry key, written by tests in the test prefix's real registry.

#include <windows.h>

#include <string>
#include <vector>

#include "support/fixtures.h"

// Software\Helvane\BRAVIK\2020 under HKEY_LOCAL_MACHINE in both views. While it lives the two
// keys start absent and no other test process uses them (tests run in parallel processes of
// one prefix); when it dies, Software\Helvane of both views is back as it was.
class ProductKeys {
 public:
  ProductKeys();
  ~ProductKeys();
  ProductKeys(const ProductKeys&) = delete;
  ProductKeys& operator=(const ProductKeys&) = delete;

  // Creates the key (with its parents) without values.
  void Create(KeyView view) const;
  // A REG_SZ value with its terminator.
  void SetString(KeyView view, const std::wstring& name, const std::wstring& text) const;
  // Any type, exactly these bytes.
  void SetRaw(KeyView view, const std::wstring& name, DWORD type, const void* data, DWORD bytes) const;
  bool HasValue(KeyView view, const std::wstring& name) const;
  // Removes both keys.
  void Clear() const;

  struct Saved {
    struct Value {
      std::wstring name;
      DWORD type;
      std::vector<BYTE> data;
    };
    std::wstring name;
    std::vector<Value> values;
    std::vector<Saved> subkeys;
  };

 private:
  HANDLE lock_;
  std::vector<Saved> saved_;  // the Helvane trees that existed before
};

// Counts the registry keys that product code opens through the seam and has not closed.
class OpenKeyCounter {
 public:
  OpenKeyCounter();
  int stillOpen() const { return opened - closed; }
  int opened = 0;
  int closed = 0;

 private:
  ScopedOverride<LSTATUS(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY)> open_;
  ScopedOverride<LSTATUS(HKEY)> close_;
};
