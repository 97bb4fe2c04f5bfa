brisvane_fuzz_target(log_text SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_log_text.cpp
  ${PROJECT_SOURCE_DIR}/BrisvaneUpgrade/log_text.cpp LIBS Qt5::Core CURL::libcurl)
target_include_directories(fuzz_log_text PRIVATE ${PROJECT_SOURCE_DIR}/BrisvaneUpgrade)
