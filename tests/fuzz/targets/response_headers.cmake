brisvane_fuzz_target(response_headers SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_response_headers.cpp
  LIBS bvhttptools)
