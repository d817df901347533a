#pragma once

#include <windows.h>

namespace veska::link::win32 {

// Owns one kernel handle (device or event) and closes it exactly once. Both null and
// INVALID_HANDLE_VALUE mean "nothing held", since CreateFileA and CreateEventA report failure
// differently.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  ~UniqueHandle() { Reset(); }

  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  [[nodiscard]] HANDLE Get() const { return handle_; }
  [[nodiscard]] bool Valid() const { return IsHandle(handle_); }

  void Reset(HANDLE handle = nullptr) {
    if (IsHandle(handle_)) CloseHandle(handle_);
    handle_ = handle;
  }

  [[nodiscard]] HANDLE Release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }

 private:
  static bool IsHandle(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
  }

  HANDLE handle_ = nullptr;
};

}  // namespace veska::link::win32
