// The part file's writing path on its own: whatever the write-behind does to
// keep unwritten data bounded, the file must come out byte for byte, on a
// disk-backed folder and on tmpfs alike.

#include "file_sync.h"
#include "folder.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

std::string ReadAll(const fs::path& path) {
  std::FILE* file = std::fopen(path.c_str(), "rbe");
  if (file == nullptr) return {};
  std::string bytes;
  char buffer[1 << 16];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
  std::fclose(file);
  return bytes;
}

// Writes `bytes` after `start` bytes already in the file, in uneven pieces
// (as the network delivers them), telling the write-behind about each one.
bool WriteInPieces(platform::HeldFile& file, const std::string& bytes, size_t start) {
  std::mt19937 generator(7);
  size_t at = 0;
  while (at < bytes.size()) {
    size_t piece = std::min<size_t>(bytes.size() - at, 1 + generator() % (3 << 20));
    if (!file.Write(bytes.data() + at, piece)) return false;
    bvhttptools::WriteBehind(file, static_cast<long long>(start + at),
                             static_cast<long long>(start + at + piece));
    at += piece;
  }
  return true;
}

class WriteBehind : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    std::string base = GetParam();
    if (base.empty()) base = fs::temp_directory_path();
    if (!fs::is_directory(base)) GTEST_SKIP() << base << " is not available";
    std::string pattern = base + "/write_behind.XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }
  fs::path dir_;
};

// Spans many write-behind stretches, and the second half starts in the middle
// of one, as a resumed download does.
TEST_P(WriteBehind, LongFileComesOutByteExactAcrossAResume) {
  const std::string bytes = RandomBytes(70 * 1024 * 1024 + 12345, 3);
  const size_t half = 33 * 1024 * 1024 + 777;
  const fs::path part = dir_ / "payload.part";

  platform::Folder folder;
  ASSERT_TRUE(folder.Open(dir_, {}, false));
  platform::HeldFile file = folder.CreateNew("payload.part");
  ASSERT_TRUE(file.writable());
  // The next try of a transfer continues the same file.
  ASSERT_TRUE(WriteInPieces(file, bytes.substr(0, half), 0));
  ASSERT_TRUE(WriteInPieces(file, bytes.substr(half), half));
  ASSERT_TRUE(file.Sync());
  ASSERT_TRUE(folder.Rename(file, "payload.part", "payload"));
  ASSERT_TRUE(file.Seal());
  EXPECT_EQ(file.size(), bytes.size());
  EXPECT_FALSE(fs::exists(part));
  EXPECT_TRUE(ReadAll(dir_ / "payload") == bytes);
}

INSTANTIATE_TEST_SUITE_P(Folders, WriteBehind, ::testing::Values("", "/dev/shm"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.param.empty() ? std::string("TempDir") : std::string("Tmpfs");
                         });

}  // namespace
