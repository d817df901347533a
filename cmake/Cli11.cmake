# CLI11 for the command-line programs: the installed package, or in a cross build the headers the
# toolchain file copied from the host.
find_package(CLI11 CONFIG QUIET)
if(NOT TARGET CLI11::CLI11)
  if(CMAKE_CROSSCOMPILING AND VESKA_CROSS_HEADERS AND EXISTS ${VESKA_CROSS_HEADERS}/CLI/CLI.hpp)
    add_library(CLI11::CLI11 INTERFACE IMPORTED GLOBAL)
    target_include_directories(CLI11::CLI11 INTERFACE ${VESKA_CROSS_HEADERS})
  else()
    message(FATAL_ERROR "CLI11 not found (Debian: libcli11-dev)")
  endif()
endif()
