# What the Windows build needs besides the sources: the SQLite engine compiled
# from its amalgamation (scripts/fetch-sqlite puts it into TOLVEN_SQLITE_SOURCE;
# it is never committed), the Windows headers' settings, and the system
# libraries the platform layer calls.
enable_language(C)
set(TOLVEN_SQLITE_SOURCE "" CACHE PATH "Folder holding sqlite3.c and sqlite3.h (scripts/fetch-sqlite)")
if(NOT EXISTS "${TOLVEN_SQLITE_SOURCE}/sqlite3.c")
  message(FATAL_ERROR "TOLVEN_SQLITE_SOURCE must name the folder with sqlite3.c (run scripts/fetch-sqlite)")
endif()
add_library(tolven_sqlite3 STATIC ${TOLVEN_SQLITE_SOURCE}/sqlite3.c)
target_include_directories(tolven_sqlite3 SYSTEM PUBLIC ${TOLVEN_SQLITE_SOURCE})
target_compile_definitions(tolven_sqlite3 PRIVATE SQLITE_THREADSAFE=1 SQLITE_OMIT_LOAD_EXTENSION)
target_compile_options(tolven_sqlite3 PRIVATE -w)
add_library(SQLite::SQLite3 ALIAS tolven_sqlite3)

# Windows 10 and later. The platform layer calls the W functions by name; UNICODE
# stays undefined, so that ODBC keeps its narrow (Windows-1252) functions.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 WIN32_LEAN_AND_MEAN NOMINMAX)
# A console program; the service runs the same program under the service manager.
link_libraries(advapi32 kernel32 user32)
