#include "link/FilePath.h"

#include <fcntl.h>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace veska::link {

#if defined(_WIN32)

namespace {

// `text` in UTF-16 from `codePage`; false when it holds a sequence that code page does not allow.
bool Widen(std::string_view text, unsigned codePage, std::wstring& wide) {
  wide.clear();
  if (text.empty()) return true;
  const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
  const int size = static_cast<int>(text.size());
  const int length = ::MultiByteToWideChar(codePage, flags, text.data(), size, nullptr, 0);
  if (length <= 0) return false;
  wide.resize(static_cast<std::size_t>(length));
  return ::MultiByteToWideChar(codePage, flags, text.data(), size, wide.data(), length) == length;
}

}  // namespace

std::filesystem::path PathOf(std::string_view utf8) {
  // The system's conversions are used rather than the library's, which throws on a sequence it
  // cannot convert. A name that is not UTF-8 came from the ANSI world (an old listing, the
  // console) and is read as such.
  std::wstring wide;
  if (!Widen(utf8, CP_UTF8, wide)) (void)Widen(utf8, CP_ACP, wide);
  return std::filesystem::path(wide);
}

std::string Utf8Of(const std::filesystem::path& path) {
  const std::wstring& wide = path.native();
  if (wide.empty()) return {};
  const int size = static_cast<int>(wide.size());
  const int length =
      ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return {};
  std::string text(static_cast<std::size_t>(length), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, text.data(), length, nullptr, nullptr);
  return text;
}

#else

std::filesystem::path PathOf(std::string_view utf8) {
  return std::filesystem::path(std::string(utf8));
}

std::string Utf8Of(const std::filesystem::path& path) {
  return path.native();
}

#endif

std::FILE* OpenFile(std::string_view utf8, const char* mode) {
#if defined(_WIN32)
  const std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
  return ::_wfopen(PathOf(utf8).c_str(), wideMode.c_str());
#else
  return std::fopen(std::string(utf8).c_str(), mode);
#endif
}

int OpenDescriptor(std::string_view utf8, int flags, int mode) {
#if defined(_WIN32)
  return ::_wopen(PathOf(utf8).c_str(), flags | _O_BINARY, mode);
#else
  return ::open(std::string(utf8).c_str(), flags, mode);
#endif
}

}  // namespace veska::link
