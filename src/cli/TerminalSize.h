#pragma once

#include <cstdio>

namespace veska::cli {

// Columns of the terminal `file` writes to; 80 when it is none or cannot tell.
[[nodiscard]] int TerminalColumns(std::FILE* file);

}  // namespace veska::cli
