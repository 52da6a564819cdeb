# The ODBC driver manager (unixODBC on Linux, the system's on Windows) for the
# server engines: SQL Server through FreeTDS, PostgreSQL through psqlODBC.
if(WIN32)
  target_link_libraries(tolven_core PUBLIC odbc32)
else()
  find_package(ODBC REQUIRED)
  target_link_libraries(tolven_core PUBLIC ODBC::ODBC)
endif()
