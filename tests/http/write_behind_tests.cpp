// The part file's writing path on its own: whatever the write-behind and the
// writer thread do to keep the disk busy and memory bounded, the file must
// come out byte for byte, on a disk-backed folder and on tmpfs alike.

#include "file_sync.h"
#include "folder.h"
#include "part_writer.h"

#include <gtest/gtest.h>

#include <linux/magic.h>
#include <sys/vfs.h>
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

// Writes `bytes` as one try that continues the file from `from`, in uneven
// pieces as the network delivers them.
bool WriteTry(bvhttptools::PartWriter& writer, const std::string& bytes, size_t from) {
  writer.Begin(from);
  std::mt19937 generator(static_cast<unsigned>(from));
  for (size_t at = 0; at < bytes.size();) {
    const size_t piece = std::min<size_t>(bytes.size() - at, 1 + generator() % 5000);
    if (!writer.Append(bytes.data() + at, piece)) return false;
    at += piece;
  }
  return writer.Finish();
}

// First tries of every size around a block and around the ring, each then
// continued by a resumed try that crosses blocks and the whole ring again:
// heads read back, tails through the cache, all byte for byte. A disk's file
// is written directly, tmpfs's through the cache.
TEST_P(WriteBehind, WriterKeepsEveryByteAroundBlocksAndTheRing) {
  constexpr size_t kBlock = 4096, kBuffer = 2 * kBlock, kRing = 3 * kBuffer;
  constexpr size_t kResumed = kRing + kBlock + 3;
  const std::string bytes = RandomBytes(kRing + 1 + kResumed, 11);
  struct statfs about {};
  ASSERT_EQ(statfs(dir_.c_str(), &about), 0);
  const fs::path part = dir_ / "payload.part";
  platform::Folder folder;
  ASSERT_TRUE(folder.Open(dir_, {}, false));
  for (size_t first : {size_t{0}, size_t{1}, kBlock - 1, kBlock, kBlock + 1, kRing - 1, kRing, kRing + 1}) {
    SCOPED_TRACE("first try of " + std::to_string(first) + " bytes");
    platform::HeldFile file = folder.CreateNew("payload.part");
    ASSERT_TRUE(file.writable());
    {
      bvhttptools::PartWriter writer(file, 3, kBuffer);
      ASSERT_TRUE(WriteTry(writer, bytes.substr(0, first), 0));
      if (about.f_type == EXT4_SUPER_MAGIC || about.f_type == TMPFS_MAGIC) {
        EXPECT_EQ(writer.direct(), about.f_type == EXT4_SUPER_MAGIC);
      }
      EXPECT_TRUE(ReadAll(part) == bytes.substr(0, first));
      ASSERT_TRUE(WriteTry(writer, bytes.substr(first, kResumed), first));
    }
    ASSERT_TRUE(file.Sync());
    EXPECT_TRUE(ReadAll(part) == bytes.substr(0, first + kResumed));
    folder.Remove("payload.part", file);
  }
}

INSTANTIATE_TEST_SUITE_P(Folders, WriteBehind, ::testing::Values("", "/dev/shm"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.param.empty() ? std::string("TempDir") : std::string("Tmpfs");
                         });

}  // namespace
