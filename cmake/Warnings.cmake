# Warnings for the project's own targets; linked through veska_warnings.
add_library(veska_warnings INTERFACE)
target_compile_options(veska_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow
  -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual)
if(VESKA_WERROR)
  target_compile_options(veska_warnings INTERFACE -Werror)
endif()
# GCC 12 reports impossible overlaps inside std::string's own copies at -O3 (-Wrestrict); the
# warning says nothing about our code there.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(veska_warnings INTERFACE -Wno-restrict)
endif()
