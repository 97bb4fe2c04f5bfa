// Where a request frame stands after some of its bytes have come in: pure,
// so that the channel reading from a socket and the fuzz target reading from
// memory share it. A frame is a 4-byte big-endian length word, then that
// many bytes: the URL (at most kMaxRequestBytes), preceded by an 8-byte
// request id when the word carries kFrameHasRequestId. A word of
// kFrameWithdraws alone is a whole withdrawal; that flag with anything else
// is malformed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "request_protocol.h"

namespace brisvane::platform {

struct FrameProgress {
  enum class Step {
    kMore,       // `want` more bytes are needed before anything can be said
    kWhole,      // the request is the `length` bytes after the header
    kTooLong,    // the header announces `length` bytes, more than allowed
    kMalformed,  // an id in too few bytes to hold it, or a withdrawal with more
  };
  Step step = Step::kMore;
  std::size_t want = 0;
  std::uint32_t length = 0;  // the bytes after the header, the id's included
  bool hasRequestId = false;
  bool withdraws = false;  // the whole frame is a withdrawal (kWhole)
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
  const std::uint32_t word = GetBigEndian32(header);
  if (word == kFrameWithdraws) {
    progress.withdraws = true;
    progress.step = FrameProgress::Step::kWhole;
    return progress;
  }
  progress.hasRequestId = (word & kFrameHasRequestId) != 0;
  progress.length = word & ~kFrameFlags;
  // The withdrawal carries nothing: with a URL or an id it is no frame at all.
  if ((word & kFrameWithdraws) != 0) {
    progress.step = FrameProgress::Step::kMalformed;
    return progress;
  }
  const std::size_t idBytes = progress.hasRequestId ? kRequestIdBytes : 0;
  if (progress.length < idBytes) {
    progress.step = FrameProgress::Step::kMalformed;
    return progress;
  }
  if (progress.length - idBytes > kMaxRequestBytes) {
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

// A whole frame's body: its request id (kNoRequestId without one) and URL.
struct FrameRequest {
  std::uint64_t requestId = kNoRequestId;
  std::string url;
};

inline FrameRequest SplitFrameBody(const std::string& body, bool hasRequestId) {
  FrameRequest request;
  if (!hasRequestId) {
    request.url = body;
    return request;
  }
  request.requestId = GetBigEndian64(reinterpret_cast<const unsigned char*>(body.data()));
  request.url = body.substr(kRequestIdBytes);
  return request;
}

// The frame a sender writes for `url` and `requestId`.
inline std::string MakeFrame(const std::string& url, std::uint64_t requestId) {
  const bool withId = requestId != kNoRequestId;
  const std::size_t length = url.size() + (withId ? kRequestIdBytes : 0);
  std::string frame(kFrameHeaderBytes + (withId ? kRequestIdBytes : 0), '\0');
  unsigned char* out = reinterpret_cast<unsigned char*>(&frame[0]);
  PutBigEndian32(static_cast<std::uint32_t>(length) | (withId ? kFrameHasRequestId : 0), out);
  if (withId) PutBigEndian64(requestId, out + kFrameHeaderBytes);
  return frame + url;
}

// The frame a client writes to withdraw (see kFrameWithdraws).
inline std::string MakeWithdrawFrame() {
  std::string frame(kFrameHeaderBytes, '\0');
  PutBigEndian32(kFrameWithdraws, reinterpret_cast<unsigned char*>(&frame[0]));
  return frame;
}

}  // namespace brisvane::platform
