# The header-only libraries the command-line programs use: the installed package, or in a cross
# build the headers the toolchain file copied from the host (Debian installs them for the host
# alone).
#   veska_header_only(PACKAGE TARGET HEADER DEBIAN_PACKAGE)
# makes TARGET available, or stops the configuration naming the Debian package to install.
function(veska_header_only package target header debian)
  if(TARGET ${target})
    return()
  endif()
  find_package(${package} CONFIG QUIET)
  if(TARGET ${target})
    return()
  endif()
  if(CMAKE_CROSSCOMPILING AND VESKA_CROSS_HEADERS AND EXISTS ${VESKA_CROSS_HEADERS}/${header})
    add_library(${target} INTERFACE IMPORTED GLOBAL)
    target_include_directories(${target} INTERFACE ${VESKA_CROSS_HEADERS})
  else()
    message(FATAL_ERROR "${package} not found (Debian: ${debian})")
  endif()
endfunction()
