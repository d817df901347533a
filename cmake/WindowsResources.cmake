# The desktop program's Windows resources: the icon packed from the Linux renderings, the
# application manifest and the version block, compiled by windres into the executable.
# Sets VESKA_WIN32_RESOURCES, the source list the Windows desktop program adds to itself.
enable_language(RC)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(veska_icons ${PROJECT_SOURCE_DIR}/packaging/linux/icons/hicolor)
set(veska_pngs)
foreach(size 16 32 48 256)
  list(APPEND veska_pngs ${veska_icons}/${size}x${size}/apps/veska-downloader.png)
endforeach()
set(VESKA_ICO ${CMAKE_BINARY_DIR}/resources/VeskaDownloader.ico)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/resources)
# Made when configuring: the PNGs are sources of the tree, and windres must find the icon.
execute_process(
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/packaging/windows/make-ico ${VESKA_ICO}
          ${veska_pngs}
  RESULT_VARIABLE veska_ico_result)
if(NOT veska_ico_result EQUAL 0)
  message(FATAL_ERROR "could not pack the application icon")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${veska_pngs}
                                                               ${PROJECT_SOURCE_DIR}/packaging/windows/make-ico)

set(VESKA_VERSION_QUAD ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.0.0)
set(VESKA_VERSION_COMMAS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},0,0")
set(VESKA_MANIFEST ${CMAKE_BINARY_DIR}/resources/VeskaDownloader.manifest)
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/VeskaDownloader.manifest ${VESKA_MANIFEST}
               @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/VeskaDownloader.rc.in
               ${CMAKE_BINARY_DIR}/resources/VeskaDownloader.rc @ONLY)
set(VESKA_WIN32_RESOURCES ${CMAKE_BINARY_DIR}/resources/VeskaDownloader.rc)
