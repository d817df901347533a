#pragma once

#include <string_view>

namespace veska::ui {

// The characters that separate folders in a path typed or chosen by the user. Windows accepts
// both slashes; Linux only "/" (a backslash is an ordinary character in a Linux file name).
#if defined(_WIN32)
inline constexpr std::string_view kPathSeparators = "\\/";
inline constexpr char kPreferredSeparator = '\\';
#else
inline constexpr std::string_view kPathSeparators = "/";
inline constexpr char kPreferredSeparator = '/';
#endif

}  // namespace veska::ui
