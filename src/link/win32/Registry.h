#pragma once

#include <windows.h>

#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veska::link::win32 {

// One registry key opened for reading, closed exactly once. A key that is not there reads as
// empty: no subkeys, no values.
class RegistryKey {
 public:
  RegistryKey(HKEY parent, const std::string& path) {
    if (parent == nullptr ||
        RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, &key_) != ERROR_SUCCESS)
      key_ = nullptr;
  }
  ~RegistryKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  [[nodiscard]] HKEY Get() const { return key_; }

  // The names of the subkeys, in the registry's order.
  [[nodiscard]] std::vector<std::string> Subkeys() const {
    std::vector<std::string> names;
    for (DWORD i = 0; key_ != nullptr; ++i) {
      char name[256];
      DWORD size = sizeof name;
      if (RegEnumKeyExA(key_, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        break;
      names.emplace_back(name, size);
    }
    return names;
  }

  // Every text value as (name, text); values of other types and overlong ones are left out.
  [[nodiscard]] std::vector<std::pair<std::string, std::string>> TextValues() const {
    std::vector<std::pair<std::string, std::string>> values;
    for (DWORD i = 0; key_ != nullptr; ++i) {
      char name[256];
      DWORD nameSize = sizeof name;
      char text[256] = {};
      DWORD type = 0;
      DWORD size = sizeof text - 1;
      const LSTATUS status = RegEnumValueA(key_, i, name, &nameSize, nullptr, &type,
                                           reinterpret_cast<BYTE*>(text), &size);
      if (status == ERROR_MORE_DATA) continue;
      if (status != ERROR_SUCCESS) break;
      if (type == REG_SZ) values.emplace_back(std::string(name, nameSize), Terminated(text, size));
    }
    return values;
  }

  [[nodiscard]] std::optional<std::string> Text(const char* value) const {
    char text[256] = {};
    DWORD type = 0;
    DWORD size = sizeof text - 1;
    if (key_ == nullptr ||
        RegQueryValueExA(key_, value, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
      return std::nullopt;
    return Terminated(text, size);
  }

  [[nodiscard]] std::optional<DWORD> Number(const char* value) const {
    DWORD number = 0;
    DWORD type = 0;
    DWORD size = sizeof number;
    if (key_ == nullptr ||
        RegQueryValueExA(key_, value, nullptr, &type, reinterpret_cast<BYTE*>(&number), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof number)
      return std::nullopt;
    return number;
  }

 private:
  // A stored text need not end in a zero: never read past what the registry returned.
  static std::string Terminated(const char* text, DWORD size) {
    return std::string(text, strnlen(text, size));
  }

  HKEY key_ = nullptr;
};

}  // namespace veska::link::win32
