brisvane_fuzz_target(request_frame SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_request_frame.cpp
  LIBS platform)
