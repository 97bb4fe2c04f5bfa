brisvane_fuzz_target(installer_name SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_installer_name.cpp
  ${PROJECT_SOURCE_DIR}/BrisvaneUpgrade/installer_path.cpp LIBS Qt5::Core)
target_include_directories(fuzz_installer_name PRIVATE ${PROJECT_SOURCE_DIR}/BrisvaneUpgrade)
