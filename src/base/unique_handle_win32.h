#pragma once

#include <windows.h>

#include <utility>

namespace loftswitch {

// Owns a handle closed with Close; reset() keeps GetLastError() intact so
// that a caller can close and then report the failure that made it close.
template <typename Traits>
class UniqueWin32 {
 public:
  using Type = typename Traits::Type;

  UniqueWin32() = default;
  explicit UniqueWin32(Type value) : value_(value) {}
  UniqueWin32(const UniqueWin32&) = delete;
  UniqueWin32& operator=(const UniqueWin32&) = delete;
  UniqueWin32(UniqueWin32&& other) noexcept : value_(other.release()) {}
  UniqueWin32& operator=(UniqueWin32&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueWin32() { reset(); }

  Type get() const { return value_; }
  explicit operator bool() const { return Traits::isValid(value_); }

  Type release() { return std::exchange(value_, Traits::invalid()); }

  void reset(Type value = Traits::invalid()) {
    if (Traits::isValid(value_)) {
      const DWORD saved = ::GetLastError();
      Traits::close(value_);
      ::SetLastError(saved);
    }
    value_ = value;
  }

 private:
  Type value_ = Traits::invalid();
};

struct FileHandleTraits {
  using Type = HANDLE;
  static Type invalid() { return INVALID_HANDLE_VALUE; }
  static bool isValid(Type h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  static void close(Type h) { ::CloseHandle(h); }
};

// Process, thread and snapshot handles: null means none.
struct KernelHandleTraits {
  using Type = HANDLE;
  static Type invalid() { return nullptr; }
  static bool isValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void close(Type h) { ::CloseHandle(h); }
};

struct FindHandleTraits {
  using Type = HANDLE;
  static Type invalid() { return INVALID_HANDLE_VALUE; }
  static bool isValid(Type h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  static void close(Type h) { ::FindClose(h); }
};

struct LocalMemoryTraits {
  using Type = HLOCAL;
  static Type invalid() { return nullptr; }
  static bool isValid(Type h) { return h != nullptr; }
  static void close(Type h) { ::LocalFree(h); }
};

using UniqueFileHandle = UniqueWin32<FileHandleTraits>;
using UniqueHandle = UniqueWin32<KernelHandleTraits>;
using UniqueFindHandle = UniqueWin32<FindHandleTraits>;
using UniqueLocalMemory = UniqueWin32<LocalMemoryTraits>;

}  // namespace loftswitch
