# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix).
# The posix thread model is required: the port's close gate uses std::mutex and
# std::condition_variable, which the win32 thread model of this GCC does not provide.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VESKA_MINGW_TRIPLET x86_64-w64-mingw32)
find_program(CMAKE_CXX_COMPILER NAMES ${VESKA_MINGW_TRIPLET}-g++-posix ${VESKA_MINGW_TRIPLET}-g++
             REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${VESKA_MINGW_TRIPLET}-gcc-posix ${VESKA_MINGW_TRIPLET}-gcc)
find_program(CMAKE_RC_COMPILER NAMES ${VESKA_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VESKA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
