# The print spooler client library (libcups) for the spooler channels of the print engine.
if(WIN32)
  target_link_libraries(tolven_core PUBLIC winspool gdi32)
else()
  find_package(Cups REQUIRED)
  target_link_libraries(tolven_core PUBLIC Cups::Cups)
endif()
