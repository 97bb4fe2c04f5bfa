// Where a request frame stands after some of its bytes have come in: pure,
// so that the channel reading from a socket and the fuzz target reading from
// memory share it. A frame is a 4-byte big-endian length N, at most
// kMaxRequestBytes, then N bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "request_protocol.h"

namespace brisvane::platform {

struct FrameProgress {
  enum class Step {
    kMore,     // `want` more bytes are needed before anything can be said
    kWhole,    // the request is the `length` bytes after the header
    kTooLong,  // the header announces `length` bytes, more than allowed
  };
  Step step = Step::kMore;
  std::size_t want = 0;
  std::uint32_t length = 0;
};

// `received` bytes of the frame have come in; `header` holds the first
// min(received, kFrameHeaderBytes) of them. Bytes past the frame are no part
// of it.
inline FrameProgress ReadFrameProgress(const unsigned char* header, std::size_t received) {
  FrameProgress progress;
  if (received < kFrameHeaderBytes) {
    progress.want = kFrameHeaderBytes - received;
    return progress;
  }
  progress.length = GetBigEndian32(header);
  if (progress.length > kMaxRequestBytes) {
    progress.step = FrameProgress::Step::kTooLong;
    return progress;
  }
  const std::size_t body = received - kFrameHeaderBytes;
  if (body < progress.length) {
    progress.want = progress.length - body;
    return progress;
  }
  progress.step = FrameProgress::Step::kWhole;
  return progress;
}

}  // namespace brisvane::platform
