#include "win32gui/Text.h"

#include "win32gui/Win32Api.h"

#include "ui/Host.h"

namespace veska::win32gui {

std::wstring Wide(std::string_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), length);
  return wide;
}

std::string Narrow(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(), length, nullptr, nullptr);
  return narrow;
}

std::wstring CrLf(std::wstring_view text) {
  std::wstring out;
  out.reserve(text.size() + text.size() / 16);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\r') {
      if (i + 1 < text.size() && text[i + 1] == L'\n') ++i;
      out += L"\r\n";
    } else if (text[i] == L'\n') {
      out += L"\r\n";
    } else {
      out += text[i];
    }
  }
  return out;
}

std::wstring LfOnly(std::wstring_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\r') {
      if (i + 1 < text.size() && text[i + 1] == L'\n') ++i;
      out += L'\n';
    } else {
      out += text[i];
    }
  }
  return out;
}

std::wstring FileDialogFilter(std::string_view filter) {
  std::wstring out;
  bool anyFile = false;
  for (const ui::FileFilter& entry : ui::ParseFileFilter(filter)) {
    out += Wide(entry.description);
    out += L'\0';
    out += Wide(entry.pattern);
    out += L'\0';
    if (entry.pattern == "*" || entry.pattern == "*.*") anyFile = true;
  }
  if (!anyFile) {
    out += L"All files (*.*)";
    out += L'\0';
    out += L"*.*";
    out += L'\0';
  }
  out += L'\0';
  return out;
}

}  // namespace veska::win32gui
