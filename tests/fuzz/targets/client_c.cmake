brisvane_fuzz_target(client_c SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_client_c.cpp
  LIBS Brisvane::UpgradeClient)
target_include_directories(fuzz_client_c PRIVATE ${PROJECT_SOURCE_DIR}/client)
