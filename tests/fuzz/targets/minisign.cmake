brisvane_fuzz_target(minisign SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_minisign.cpp
  ${PROJECT_SOURCE_DIR}/BrisvaneUpgrade/installer_signature.cpp
  LIBS platform sodium::sodium)
target_include_directories(fuzz_minisign PRIVATE ${PROJECT_SOURCE_DIR}/BrisvaneUpgrade)
