# Run by CTest as `cmake -P`: configures and builds tools/wincheck with the mingw-w64 toolchain.
# Inputs: VESKA_ROOT (the repository), BUILD_DIR (scratch folder), GENERATOR.
find_program(VESKA_MINGW_CXX NAMES x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++)
if(NOT VESKA_MINGW_CXX)
  message("win32 compile check skipped: no mingw-w64 cross compiler")
  if(CMAKE_VERSION VERSION_GREATER_EQUAL 3.29)
    cmake_language(EXIT 77)
  endif()
  return()
endif()

execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${VESKA_ROOT}/tools/wincheck -B ${BUILD_DIR} -G ${GENERATOR}
          -DCMAKE_TOOLCHAIN_FILE=${VESKA_ROOT}/cmake/mingw-w64.cmake
  RESULT_VARIABLE configured)
if(NOT configured EQUAL 0)
  message(FATAL_ERROR "configuring the Windows build failed (${configured})")
endif()

# Two jobs at most: the build machines are shared.
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --parallel 2 RESULT_VARIABLE built)
if(NOT built EQUAL 0)
  message(FATAL_ERROR "the Windows build of the serial link failed (${built})")
endif()
