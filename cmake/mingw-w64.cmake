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

# The programs need only system DLLs: the C++ runtime and winpthreads are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Programs built for Windows run here through wine, when it is installed (the build's own
# generator steps and tests use it).
find_program(VESKA_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(VESKA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VESKA_WINE})
endif()

# CLI11 and nlohmann-json are header-only and Debian installs them for the host alone. Their
# headers are copied into the build folder, so that the host's /usr/include (glibc's headers)
# never joins a Windows build (cmake/HeaderOnly.cmake finds them there).
set(VESKA_CROSS_HEADERS ${CMAKE_BINARY_DIR}/host-headers)
foreach(veska_header CLI/CLI.hpp nlohmann/json.hpp)
  get_filename_component(veska_folder ${veska_header} DIRECTORY)
  find_file(VESKA_HOST_${veska_folder}_HEADER ${veska_header} PATHS /usr/include /usr/local/include
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(VESKA_HOST_${veska_folder}_HEADER)
    get_filename_component(veska_found ${VESKA_HOST_${veska_folder}_HEADER} DIRECTORY)
    file(COPY ${veska_found} DESTINATION ${VESKA_CROSS_HEADERS})
  endif()
endforeach()
