// The bytes a peer sends on the request socket, looked at after every byte
// as the channel may receive them: a request is never longer than the limit
// nor reaches past the bytes received, a whole one is exactly the announced
// bytes, a withdrawal is its flag alone, and what was decided stays
// decided as more bytes arrive.
#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "request_frame.h"

using platform::FrameProgress;
using Step = FrameProgress::Step;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::uint32_t word = size >= platform::kFrameHeaderBytes ? platform::GetBigEndian32(data) : 0;
  // The withdrawal is its flag alone; with anything else it is no frame.
  const bool withdraws = word == platform::kFrameWithdraws;
  const bool withId = !withdraws && (word & platform::kFrameHasRequestId) != 0;
  const std::uint32_t announced = withdraws ? 0 : word & ~platform::kFrameFlags;
  const std::size_t idBytes = withId ? platform::kRequestIdBytes : 0;
  const std::size_t frame = platform::kFrameHeaderBytes + announced;
  const bool malformed =
      (!withdraws && (word & platform::kFrameWithdraws) != 0) || announced < idBytes;
  const bool tooLong = !malformed && announced - idBytes > platform::kMaxRequestBytes;
  for (std::size_t received = 0; received <= size; ++received) {
    const FrameProgress progress = platform::ReadFrameProgress(data, received);
    if (received < platform::kFrameHeaderBytes) {
      FUZZ_CHECK(progress.step == Step::kMore &&
                 progress.want == platform::kFrameHeaderBytes - received);
      continue;
    }
    FUZZ_CHECK(progress.withdraws == withdraws && progress.hasRequestId == withId);
    FUZZ_CHECK(malformed || progress.length == announced);
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
      // What a sender makes of it reads back as the same request.
      const std::string again = withdraws ? platform::MakeWithdrawFrame()
                                          : platform::MakeFrame(request.url, request.requestId);
      FUZZ_CHECK(again.size() <= platform::kFrameHeaderBytes + progress.length);
      const FrameProgress reread = platform::ReadFrameProgress(
          reinterpret_cast<const unsigned char*>(again.data()), again.size());
      FUZZ_CHECK(reread.step == Step::kWhole && reread.withdraws == withdraws);
    }
    if (progress.step == Step::kMore) {
      FUZZ_CHECK(progress.want > 0 && received + progress.want <= platform::kFrameHeaderBytes +
                                                                     platform::kMaxRequestBytes +
                                                                     platform::kRequestIdBytes);
    }
  }
  return 0;
}
