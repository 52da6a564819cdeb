# libqrencode for the receipt QR codes (the status page's HTTP server is our
# own, on plain sockets).
find_package(PkgConfig REQUIRED)
pkg_check_modules(QRENCODE REQUIRED IMPORTED_TARGET libqrencode)
target_link_libraries(tolven_core PUBLIC PkgConfig::QRENCODE)
