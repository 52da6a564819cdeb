# libqrencode for the receipt QR codes, libmicrohttpd for the status page's
# HTTP server.
# On Windows the system's HTTP Server API serves the page, and without a
# libqrencode for MinGW the page shows a receipt's QR text instead of its image.
if(WIN32)
  target_link_libraries(tolven_core PUBLIC httpapi ws2_32 iphlpapi)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(QRENCODE REQUIRED IMPORTED_TARGET libqrencode)
  pkg_check_modules(MICROHTTPD REQUIRED IMPORTED_TARGET libmicrohttpd)
  target_link_libraries(tolven_core PUBLIC PkgConfig::QRENCODE PkgConfig::MICROHTTPD)
  target_compile_definitions(tolven_core PUBLIC TOLVEN_HAVE_QRENCODE=1)
endif()
