brisvane_fuzz_target(proxy_rules SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_proxy_rules.cpp
  LIBS bvhttptools CURL::libcurl)
