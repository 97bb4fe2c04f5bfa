// The outcome record the client library reads, written from a fuzz input:
// a data folder of its own under /tmp, named by XDG_DATA_HOME once.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz_check.h"

inline void WriteRecordFile(const std::string& bytes) {
  static const std::string path = [] {
    char base[] = "/tmp/fuzz-record-XXXXXX";
    FUZZ_CHECK(mkdtemp(base) != nullptr);
    FUZZ_CHECK(setenv("XDG_DATA_HOME", base, 1) == 0);
    const std::filesystem::path folder = std::filesystem::path(base) / "Tamberk" / "Brisvane";
    std::filesystem::create_directories(folder);
    return (folder / "last-upgrade.json").string();
  }();
  std::FILE* file = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(file != nullptr);
  FUZZ_CHECK(std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
  std::fclose(file);
}
