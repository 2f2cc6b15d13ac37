#pragma once
// Tiny owners for platform handles: the operation that opens a handle holds it in one of
// these, and it is closed on every path out of that operation.

#include "base/platform.h"

template <class Traits>
class UniqueAny {
 public:
  using Type = typename Traits::Type;

  explicit UniqueAny(Type value = Traits::Invalid()) : value_(value) {}
  ~UniqueAny() { reset(); }
  UniqueAny(const UniqueAny&) = delete;
  UniqueAny& operator=(const UniqueAny&) = delete;

  Type get() const { return value_; }
  bool valid() const { return value_ != Traits::Invalid(); }

  void reset(Type value = Traits::Invalid()) {
    if (valid()) Traits::Close(value_);
    value_ = value;
  }

  // Hands the value on to another owner.
  Type release() {
    const Type value = value_;
    value_ = Traits::Invalid();
    return value;
  }

  // For platform calls that return the handle through an out parameter.
  Type* put() {
    reset();
    return &value_;
  }

 private:
  Type value_;
};

struct FindHandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type handle) { Platform().FindClose(handle); }
};

struct KernelHandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return nullptr; }
  static void Close(Type handle) { Platform().CloseHandle(handle); }
};

// Files and folders opened with CreateFileW, which reports failure differently.
struct FileHandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type handle) { Platform().CloseHandle(handle); }
};

struct RegistryKeyTraits {
  using Type = HKEY;
  static Type Invalid() { return nullptr; }
  static void Close(Type key) { Platform().RegCloseKey(key); }
};

// A mutex that this thread holds: released, not closed (the handle's own owner closes it).
struct HeldMutexTraits {
  using Type = HANDLE;
  static Type Invalid() { return nullptr; }
  static void Close(Type mutex) { Platform().ReleaseMutex(mutex); }
};

struct MappedViewTraits {
  using Type = void*;
  static Type Invalid() { return nullptr; }
  static void Close(Type view) { Platform().UnmapViewOfFile(view); }
};

using UniqueFind = UniqueAny<FindHandleTraits>;
using UniqueHandle = UniqueAny<KernelHandleTraits>;
using UniqueFile = UniqueAny<FileHandleTraits>;
using UniqueKey = UniqueAny<RegistryKeyTraits>;
using UniqueHeldMutex = UniqueAny<HeldMutexTraits>;
using UniqueView = UniqueAny<MappedViewTraits>;
