#include "part_writer.h"

#include "file_sync.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

namespace bvhttptools {

namespace {

// Buffer addresses are page-aligned, which any direct write accepts.
constexpr std::size_t kPage = 4096;

std::size_t WholePages(std::size_t bytes) {
  return std::max(kPage, (bytes + kPage - 1) / kPage * kPage);
}

}  // namespace

void PartWriter::FreeAligned::operator()(char* p) const {
  ::operator delete[](p, std::align_val_t(kPage));
}

PartWriter::PartWriter(platform::HeldFile& file, std::size_t buffers, std::size_t bufferBytes,
                       bool mayWriteDirect)
    : file_(file),
      buffers_(std::max<std::size_t>(buffers, 1)),
      bufferBytes_(WholePages(bufferBytes)),
      mayWriteDirect_(mayWriteDirect) {}

PartWriter::~PartWriter() { StopRing(); }

// Direct writes get the ring and the writer thread. Cached ones are written
// right away on the caller's thread with the write-behind: measured, handing
// them to a thread cost more CPU and time than the overlap won, since the
// cache already takes them at memory speed.
void PartWriter::Decide() {
  decided_ = true;
  const std::size_t alignment = mayWriteDirect_ ? DirectWriteAlignment(file_) : 0;
  // The ring's buffers must end on aligned offsets too.
  if (alignment == 0 || bufferBytes_ % alignment != 0 || !StartRing()) return;
  if (!SetDirectWrites(file_, true)) {
    StopRing();
    return;
  }
  // The writer thread is idle: this happens before it takes the first chunk.
  directOn_ = true;
  alignment_ = alignment;
}

bool PartWriter::StartRing() {
  for (std::size_t i = 0; i < buffers_; ++i) {
    char* bytes = static_cast<char*>(
        ::operator new[](bufferBytes_, std::align_val_t(kPage), std::nothrow));
    if (bytes == nullptr) {
      ring_.clear();
      free_.clear();
      return false;
    }
    ring_.emplace_back(bytes);
    free_.push_back(i);
  }
  try {
    writer_ = std::thread([this] { WriterLoop(); });
    return true;
  } catch (const std::system_error&) {
    StopRing();
    return false;
  }
}

void PartWriter::StopRing() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  if (writer_.joinable()) writer_.join();
  ring_.clear();
  free_.clear();
}

void PartWriter::Begin(std::uint64_t offset) {
  if (!decided_) Decide();
  std::lock_guard<std::mutex> lock(mutex_);
  failed_ = false;
  hasFilling_ = false;
  next_ = offset;
}

bool PartWriter::Append(const char* data, std::size_t count) {
  if (ring_.empty()) return AppendNow(data, count);
  while (count > 0) {
    if (!hasFilling_ && !TakeFreeBuffer()) return false;
    const std::size_t take = std::min(count, bufferBytes_ - filled_);
    std::memcpy(ring_[filling_].get() + filled_, data, take);
    filled_ += take;
    next_ += take;
    data += take;
    count -= take;
    if (filled_ == bufferBytes_) HandOver(true);
  }
  bool idle;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_) return false;
    idle = queued_.empty() && !writing_;
  }
  // The disk keeps up: it need not wait for the buffer to fill.
  if (idle && hasFilling_) HandOver(false);
  return true;
}

bool PartWriter::AppendNow(const char* data, std::size_t count) {
  if (failed_ || !WriteCached(data, next_, count)) {
    failed_ = true;
    return false;
  }
  next_ += count;
  return true;
}

// Waits for a buffer the writer is done with and starts filling it where the
// file continues. A direct write must start on an aligned offset: the bytes
// of the file between that offset and the end are read back in first.
bool PartWriter::TakeFreeBuffer() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return failed_ || !free_.empty(); });
    if (failed_) return false;
    filling_ = free_.back();
    free_.pop_back();
  }
  hasFilling_ = true;
  const std::size_t alignment = alignment_;
  const std::size_t head = alignment != 0 ? static_cast<std::size_t>(next_ % alignment) : 0;
  fillingOffset_ = next_ - head;
  filled_ = head;
  handed_ = 0;
  if (head == 0 || ReadHead(fillingOffset_, head, alignment)) return true;
  std::lock_guard<std::mutex> lock(mutex_);
  failed_ = true;
  return false;
}

bool PartWriter::ReadHead(std::uint64_t base, std::size_t head, std::size_t alignment) {
  // A whole aligned block read, so that it suits the handle in either mode;
  // the file ends `head` bytes into it.
  char* into = ring_[filling_].get();
  std::size_t got = 0;
  while (got < head) {
    const long long n = file_.ReadAt(base + got, into + got, alignment - got);
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

// The filling buffer's bytes not handed over yet: all of them with the buffer
// itself when `last`, else only whole aligned blocks, since a direct write
// needs them and the buffer goes on filling.
void PartWriter::HandOver(bool last) {
  const std::size_t alignment = alignment_;
  const std::size_t end = last || alignment == 0 ? filled_ : filled_ / alignment * alignment;
  if (!last && end == handed_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queued_.push_back(Chunk{filling_, handed_, fillingOffset_ + handed_, end - handed_, last});
  }
  handed_ = end;
  if (last) hasFilling_ = false;
  changed_.notify_all();
}

bool PartWriter::Finish() {
  if (ring_.empty()) return !failed_;
  if (hasFilling_) HandOver(true);
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return queued_.empty() && !writing_; });
  return !failed_;
}

void PartWriter::WriterLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stop_ || !queued_.empty(); });
    // Whatever is still queued belongs to a download that is going away.
    if (stop_) return;
    const Chunk chunk = queued_.front();
    queued_.pop_front();
    writing_ = true;
    const bool skip = failed_;
    lock.unlock();
    // After a failure the rest of the try is dropped: the download fails.
    const bool written = skip || WriteChunk(chunk);
    lock.lock();
    writing_ = false;
    if (!written) failed_ = true;
    if (chunk.last) free_.push_back(chunk.buffer);
    changed_.notify_all();
  }
}

// A chunk is whole aligned blocks, except the last of a try, whose tail goes
// through the cache; the next try reads that tail back into its first block.
bool PartWriter::WriteChunk(const Chunk& chunk) {
  const char* bytes = ring_[chunk.buffer].get() + chunk.start;
  const std::size_t alignment = alignment_;
  if (alignment == 0) return WriteCached(bytes, chunk.offset, chunk.length);
  const std::size_t aligned = chunk.length / alignment * alignment;
  if (aligned > 0 && !WriteDirect(bytes, chunk.offset, aligned)) return false;
  if (aligned == chunk.length) return true;
  return WriteCached(bytes + aligned, chunk.offset + aligned, chunk.length - aligned);
}

bool PartWriter::WriteDirect(const char* bytes, std::uint64_t offset, std::size_t length) {
  if (!directOn_) directOn_ = SetDirectWrites(file_, true);
  if (directOn_ && file_.WriteAt(offset, bytes, length)) return true;
  // A file system that takes the flag but not these writes: the rest of the
  // file goes through the cache. A full disk fails there too.
  alignment_ = 0;
  return WriteCached(bytes, offset, length);
}

bool PartWriter::WriteCached(const char* bytes, std::uint64_t offset, std::size_t length) {
  if (directOn_) {
    if (!SetDirectWrites(file_, false)) return false;
    directOn_ = false;
  }
  if (!file_.WriteAt(offset, bytes, length)) return false;
  return WriteBehind(file_, static_cast<long long>(offset), static_cast<long long>(offset + length));
}

}  // namespace bvhttptools
