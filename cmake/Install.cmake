# What `cmake --install` places, and the Debian package CPack makes of it.
include(GNUInstallDirs)

set(VESKA_SHARE ${CMAKE_INSTALL_DATADIR}/veska-downloader)

install(TARGETS veska-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET vphone)
  install(TARGETS vphone RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET VeskaDownloader)
  install(TARGETS VeskaDownloader RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES packaging/linux/veska-downloader.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(DIRECTORY packaging/linux/icons/hicolor/
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
  install(FILES packaging/linux/icons/veska-downloader.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

# The system's folder for the real loader programs (searched after the one beside the
# executable), with a note on what goes there.
install(FILES packaging/windows/payloads-README.txt DESTINATION ${VESKA_SHARE}/payloads
        RENAME README)
# The udev rule template: every rule commented out, for the user to fill in and copy.
install(FILES packaging/linux/70-veska-downloader.rules DESTINATION ${VESKA_SHARE}/udev)

# Man pages, compressed as Debian keeps them (-n: no time stamp, so builds are reproducible).
find_program(VESKA_GZIP gzip)
set(VESKA_PAGES veska-cli.1 vphone.1)
if(TARGET VeskaDownloader)
  list(APPEND VESKA_PAGES VeskaDownloader.1)
endif()
foreach(page ${VESKA_PAGES})
  set(source ${PROJECT_SOURCE_DIR}/packaging/linux/man/${page})
  if(VESKA_GZIP)
    set(packed ${PROJECT_BINARY_DIR}/man/${page}.gz)
    add_custom_command(OUTPUT ${packed}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND ${VESKA_GZIP} -9 -n -c ${source} > ${packed}
      DEPENDS ${source} VERBATIM)
    list(APPEND VESKA_MAN_PAGES ${packed})
  else()
    list(APPEND VESKA_MAN_PAGES ${source})
  endif()
endforeach()
add_custom_target(veska_man_pages ALL DEPENDS ${VESKA_MAN_PAGES})
install(FILES ${VESKA_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Shell completion of veska-cli's steps and options, where bash and zsh look for them.
install(FILES packaging/linux/completions/veska-cli.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME veska-cli)
install(FILES packaging/linux/completions/_veska-cli
        DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)

# The package's copyright and changelog, where Debian keeps them (the changelog compressed, as
# the man pages are).
set(VESKA_DOC ${CMAKE_INSTALL_DATADIR}/doc/veska-downloader)
configure_file(packaging/linux/doc/changelog.in ${PROJECT_BINARY_DIR}/doc/changelog @ONLY)
if(VESKA_GZIP)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/doc/changelog.gz
    COMMAND ${VESKA_GZIP} -9 -n -c ${PROJECT_BINARY_DIR}/doc/changelog >
            ${PROJECT_BINARY_DIR}/doc/changelog.gz
    DEPENDS ${PROJECT_BINARY_DIR}/doc/changelog VERBATIM)
  add_custom_target(veska_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/doc/changelog.gz)
  install(FILES ${PROJECT_BINARY_DIR}/doc/changelog.gz DESTINATION ${VESKA_DOC})
endif()
install(FILES packaging/linux/doc/copyright DESTINATION ${VESKA_DOC})

# The Debian package: scripts/package-deb (or `cpack -G DEB` in a build folder).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME veska-downloader)
set(CPACK_PACKAGE_VENDOR "Veska Downloader")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Veska Downloader team <team@veska-downloader.example>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Veska Downloader team <team@veska-downloader.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware download tool for QX7430 phones with NAND flash")
# The long description; CPack puts the summary above it and indents each line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Service technicians reflash phones built on the QX7430 baseband over a serial
line (a UART cable or the boot ROM's USB port): the tools catch the phone's
boot signal, upload the loader programs, switch the line rate, show the flash
chip and its bad blocks, write firmware images with checksums, fill the TFS
file system from a listing, erase, dump and explore the flash.
.
VeskaDownloader is the desktop program, veska-cli the same operations for
scripts and production benches (many phones at once), vphone a virtual phone
on a pseudo-terminal for training and tests.")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://veska-downloader.example/")
# The dependencies are read from the shared libraries the programs link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
