# PostgreSQL's client library for a Windows build, linked statically with the OpenSSL it uses
# for TLS (scripts/fetch-winpq cross-builds both into a folder of third_party named by their
# versions): Debian's mingw-w64 has no libpq. Defines veska_libpq when the folder is complete;
# a build without it refuses a server address and says why.
execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/fetch-winpq --print-dir
                OUTPUT_VARIABLE veska_winpq_default OUTPUT_STRIP_TRAILING_WHITESPACE)
set(VESKA_WINDOWS_LIBPQ ${veska_winpq_default}
    CACHE PATH "Folder with libpq and OpenSSL built for Windows (include/ and lib/)")
if(NOT EXISTS ${VESKA_WINDOWS_LIBPQ}/.complete)
  message(STATUS "No libpq for Windows at ${VESKA_WINDOWS_LIBPQ} (scripts/fetch-winpq): "
                 "this build reaches no PostgreSQL server")
  return()
endif()
add_library(veska_libpq INTERFACE IMPORTED)
target_include_directories(veska_libpq SYSTEM INTERFACE ${VESKA_WINDOWS_LIBPQ}/include)
# libpq's helpers and OpenSSL after it, in the order each needs the next; then Windows' own
# libraries: sockets, SSPI, the certificate store, the profile folder, the random source.
set(veska_winpq_lib ${VESKA_WINDOWS_LIBPQ}/lib)
target_link_libraries(veska_libpq INTERFACE
  ${veska_winpq_lib}/libpq.a ${veska_winpq_lib}/libpgcommon_shlib.a
  ${veska_winpq_lib}/libpgport_shlib.a ${veska_winpq_lib}/libssl.a ${veska_winpq_lib}/libcrypto.a
  ws2_32 secur32 crypt32 shell32 advapi32 user32 bcrypt gdi32)
