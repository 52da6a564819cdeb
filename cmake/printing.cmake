# The print spooler client library (libcups) for the spooler channels of the print engine.
find_package(Cups REQUIRED)
target_link_libraries(tolven_core PUBLIC Cups::Cups)
