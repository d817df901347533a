#pragma once

#include <string>
#include <string_view>

namespace veska::win32gui {

// The program keeps its texts in UTF-8; the system's W functions take UTF-16.
[[nodiscard]] std::wstring Wide(std::string_view text);
[[nodiscard]] std::string Narrow(std::wstring_view text);

// A multi-line edit control breaks lines only at "\r\n": every other line end becomes one.
[[nodiscard]] std::wstring CrLf(std::wstring_view text);
// Every line end ("\r\n", "\r", "\n") as "\n", as the program reads texts back.
[[nodiscard]] std::wstring LfOnly(std::wstring_view text);

// "desc|pattern|desc|pattern||" as the file dialogs take it: each part ended by a NUL, the list
// by a second one, with "All files" added unless the list offers "*" or "*.*" already.
[[nodiscard]] std::wstring FileDialogFilter(std::string_view filter);

}  // namespace veska::win32gui
