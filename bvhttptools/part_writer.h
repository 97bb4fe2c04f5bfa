// Writes a download's bytes to its .part file. Where the file system writes
// to storage directly, on a thread of its own, so that the disk works while
// the network delivers: the write callback only copies into a small ring of
// aligned buffers, and the writer thread puts them on storage, bypassing the
// cache. A writer that keeps up gets what has arrived at once, so a slow
// download reaches the disk as it comes; one that falls behind gets whole
// buffers. Elsewhere the bytes go through the cache at once, on the caller's
// thread, with the bounded write-behind.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "held_file.h"

namespace bvhttptools {

class PartWriter {
 public:
  // Writes into `file`, which must outlive the writer and be written by
  // nothing else while a try runs (between Begin and Finish). The ring takes
  // `buffers` × `bufferBytes` of memory and no more, whatever the size of the
  // download; `bufferBytes` is rounded up to whole pages. `mayWriteDirect`
  // false keeps every write in the cache. Nothing is allocated or started
  // before the first Begin.
  PartWriter(platform::HeldFile& file, std::size_t buffers, std::size_t bufferBytes,
             bool mayWriteDirect = true);
  ~PartWriter();
  PartWriter(const PartWriter&) = delete;
  PartWriter& operator=(const PartWriter&) = delete;

  // Starts a try that continues the file from `offset`, its current size.
  // The first call decides for the whole file whether it is written directly
  // or through the cache.
  void Begin(std::uint64_t offset);
  // Takes `count` more bytes. Waits while every buffer is still being written,
  // so a slow disk slows the transfer instead of growing the ring. False once
  // any write of this try failed.
  bool Append(const char* data, std::size_t count);
  // Ends the try: returns once every byte taken is in the file, the tail
  // shorter than the alignment included; false when any write failed.
  bool Finish();

  // True while the file is written directly (known after the first Begin;
  // false again for good once a direct write was refused).
  bool direct() const { return alignment_.load() != 0; }

 private:
  // Bytes of one buffer, from `start` on, going to `offset` in the file; the
  // buffer is free again once its `last` chunk is written.
  struct Chunk {
    std::size_t buffer;
    std::size_t start;
    std::uint64_t offset;
    std::size_t length;
    bool last;
  };
  struct FreeAligned {
    void operator()(char* p) const;
  };
  using Buffer = std::unique_ptr<char[], FreeAligned>;

  void Decide();
  bool StartRing();
  void StopRing();
  bool ReadHead(std::uint64_t base, std::size_t head, std::size_t alignment);
  bool AppendNow(const char* data, std::size_t count);
  void HandOver(bool last);
  bool TakeFreeBuffer();
  void WriterLoop();
  bool WriteChunk(const Chunk& chunk);
  bool WriteDirect(const char* bytes, std::uint64_t offset, std::size_t length);
  bool WriteCached(const char* bytes, std::uint64_t offset, std::size_t length);

  platform::HeldFile& file_;
  const std::size_t buffers_;
  const std::size_t bufferBytes_;
  std::vector<Buffer> ring_;  // empty: written on the caller's thread
  const bool mayWriteDirect_;
  bool decided_ = false;
  // 0: written through the cache. Set by Decide; the writer thread drops it
  // to 0 for good when a direct write is refused.
  std::atomic<std::size_t> alignment_{0};

  // The caller's side: the buffer being filled and where it goes.
  std::size_t filling_ = 0;
  bool hasFilling_ = false;
  std::uint64_t fillingOffset_ = 0;
  std::size_t filled_ = 0;
  std::size_t handed_ = 0;  // bytes of it already handed to the writer thread
  std::uint64_t next_ = 0;  // file offset of the next byte taken

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Chunk> queued_;
  std::vector<std::size_t> free_;
  bool writing_ = false;  // the writer thread holds a chunk
  bool failed_ = false;
  bool directOn_ = false;  // the handle writes directly (writer thread's own)
  bool stop_ = false;
  std::thread writer_;
};

}  // namespace bvhttptools
