#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace veska::link {

// The program holds every file name as UTF-8 text (what the file dialogs, the settings and the
// command line give it). Linux takes those bytes as they are; Windows names files in UTF-16, and
// its narrow C and C++ library calls read a name in the ANSI code page, so a folder named
// "Prüfung" or in Korean would not be found. Every file the program opens goes through these.

// The path a UTF-8 name stands for (on Windows its UTF-16 name).
[[nodiscard]] std::filesystem::path PathOf(std::string_view utf8);
// A path's name as the program holds it: UTF-8.
[[nodiscard]] std::string Utf8Of(const std::filesystem::path& path);
// std::fopen by the UTF-8 name.
[[nodiscard]] std::FILE* OpenFile(std::string_view utf8, const char* mode);
// A POSIX-style open() by the UTF-8 name (Windows: _wopen with binary mode added); -1 and errno
// set on failure.
[[nodiscard]] int OpenDescriptor(std::string_view utf8, int flags, int mode = 0);

}  // namespace veska::link
