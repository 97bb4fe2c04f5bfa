brisvane_fuzz_target(resume_decision SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_resume_decision.cpp
  LIBS bvhttptools)
