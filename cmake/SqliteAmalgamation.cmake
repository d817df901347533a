# SQLite for a Windows build, compiled from its amalgamation (scripts/fetch-sqlite brings it to
# third_party/sqlite): Debian's mingw-w64 has no SQLite to link. Defines veska_sqlite3 when the
# sources are there; a build without them keeps no records and says so when asked.
set(VESKA_SQLITE_AMALGAMATION ${PROJECT_SOURCE_DIR}/third_party/sqlite
    CACHE PATH "Folder with SQLite's sqlite3.c and sqlite3.h, for builds without a SQLite library")
if(NOT EXISTS ${VESKA_SQLITE_AMALGAMATION}/sqlite3.c)
  message(STATUS "No SQLite sources at ${VESKA_SQLITE_AMALGAMATION} (scripts/fetch-sqlite): "
                 "this build keeps no records")
  return()
endif()
enable_language(C)
add_library(veska_sqlite3 STATIC ${VESKA_SQLITE_AMALGAMATION}/sqlite3.c)
target_include_directories(veska_sqlite3 SYSTEM PUBLIC ${VESKA_SQLITE_AMALGAMATION})
# Serialized: the records' writer thread and a reader may share the library. Nothing loads
# extensions, and double-quoted strings are never taken for names.
target_compile_definitions(veska_sqlite3 PRIVATE SQLITE_THREADSAFE=1 SQLITE_OMIT_LOAD_EXTENSION
  SQLITE_DQS=0 SQLITE_DEFAULT_MEMSTATUS=0)
# Its own code, not ours: built as it comes, without the project's warnings.
set_target_properties(veska_sqlite3 PROPERTIES C_STANDARD 99 POSITION_INDEPENDENT_CODE OFF)
# -O1: a record a phone asks little of it, and the build (on every Windows test run) is a
# third of -O3's.
target_compile_options(veska_sqlite3 PRIVATE -w -O1)
