include(${PROJECT_SOURCE_DIR}/cmake/NlohmannJson.cmake)
brisvane_fuzz_target(outcome_record SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_outcome_record.cpp
  LIBS Brisvane::UpgradeClient nlohmann_json::nlohmann_json)
