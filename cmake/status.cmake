# libqrencode for the receipt QR codes, libmicrohttpd for the status page's
# HTTP server.
find_package(PkgConfig REQUIRED)
pkg_check_modules(QRENCODE REQUIRED IMPORTED_TARGET libqrencode)
pkg_check_modules(MICROHTTPD REQUIRED IMPORTED_TARGET libmicrohttpd)
target_link_libraries(tolven_core PUBLIC PkgConfig::QRENCODE PkgConfig::MICROHTTPD)
