// What a fuzz target asserts: a broken promise aborts with the condition and
// where it is, in the fuzz build (a crash libFuzzer keeps) and in the replay
// alike, whatever NDEBUG says.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                              \
  do {                                                                                     \
    if (!(condition)) {                                                                    \
      std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                        \
    }                                                                                      \
  } while (0)
