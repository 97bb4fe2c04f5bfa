// The bytes a peer sends on the request socket, looked at after every byte
// as the channel may receive them: a request is never longer than the limit
// nor reaches past the bytes received, a whole one is exactly the announced
// bytes, and what was decided stays decided as more bytes arrive.
#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "request_frame.h"

using platform::FrameProgress;
using Step = FrameProgress::Step;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::uint32_t word = size >= platform::kFrameHeaderBytes ? platform::GetBigEndian32(data) : 0;
  const bool withId = (word & platform::kFrameHasRequestId) != 0;
  const std::uint32_t announced = word & ~platform::kFrameHasRequestId;
  const std::size_t idBytes = withId ? platform::kRequestIdBytes : 0;
  const std::size_t frame = platform::kFrameHeaderBytes + announced;
  const bool malformed = announced < idBytes;
  const bool tooLong = !malformed && announced - idBytes > platform::kMaxRequestBytes;
  for (std::size_t received = 0; received <= size; ++received) {
    const FrameProgress progress = platform::ReadFrameProgress(data, received);
    if (received < platform::kFrameHeaderBytes) {
      FUZZ_CHECK(progress.step == Step::kMore &&
                 progress.want == platform::kFrameHeaderBytes - received);
      continue;
    }
    FUZZ_CHECK(progress.length == announced && progress.hasRequestId == withId);
    if (malformed) {
      FUZZ_CHECK(progress.step == Step::kMalformed);
    } else if (tooLong) {
      FUZZ_CHECK(progress.step == Step::kTooLong);
    } else if (received < frame) {
      FUZZ_CHECK(progress.step == Step::kMore && progress.want == frame - received);
    } else {
      FUZZ_CHECK(progress.step == Step::kWhole &&
                 progress.length <= platform::kMaxRequestBytes + idBytes);
      FUZZ_CHECK(platform::kFrameHeaderBytes + progress.length <= received);
      const auto request = platform::SplitFrameBody(
          std::string(reinterpret_cast<const char*>(data) + platform::kFrameHeaderBytes,
                      progress.length),
          withId);
      FUZZ_CHECK(platform::MakeFrame(request.url, request.requestId).size() <=
                 platform::kFrameHeaderBytes + progress.length);
    }
    if (progress.step == Step::kMore) {
      FUZZ_CHECK(progress.want > 0 && received + progress.want <= platform::kFrameHeaderBytes +
                                                                     platform::kMaxRequestBytes +
                                                                     platform::kRequestIdBytes);
    }
  }
  return 0;
}
