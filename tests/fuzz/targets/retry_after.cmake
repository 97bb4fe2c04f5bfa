brisvane_fuzz_target(retry_after SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_retry_after.cpp
  LIBS bvhttptools)
