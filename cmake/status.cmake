# The status page: an HTTP server library (Debian ships cpp-httplib as a shared
# library with a pkg-config file) and libqrencode for the receipt QR codes.
find_package(PkgConfig REQUIRED)
pkg_check_modules(QRENCODE REQUIRED IMPORTED_TARGET libqrencode)
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
target_link_libraries(tolven_core PUBLIC PkgConfig::QRENCODE PkgConfig::HTTPLIB)
