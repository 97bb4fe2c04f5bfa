// A download as a run of tries, each answered as the input says, with the
// bytes on disk followed as the transfer keeps them: a download is complete
// only when those bytes are the whole resource, and a next try never starts
// past the total the resource is known to have.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "resume.h"

namespace {

using bvhttptools::Decide;
using bvhttptools::Decision;
using bvhttptools::KnownResource;
using bvhttptools::ResponseInfo;
using bvhttptools::Step;
using bvhttptools::TryResult;

struct Input {
  const std::uint8_t* data;
  std::size_t left;
  std::uint8_t Byte() { return left > 0 ? (--left, *data++) : 0; }
  // Small sizes, so that starts, ends and totals meet; 255 is "unknown".
  curl_off_t Size() { const std::uint8_t b = Byte(); return b == 255 ? -1 : b; }
};

ResponseInfo ReadResponse(Input& in) {
  static const long kStatus[] = {200, 206, 416, 503, 302, 0};
  static const char* const kTags[] = {"", "\"v1\"", "\"v2\""};
  ResponseInfo r;
  r.status = kStatus[in.Byte() % 6];
  r.etag = kTags[in.Byte() % 3];
  r.contentLength = in.Size();
  r.rangeStart = in.Size();
  r.rangeEnd = in.Size();
  r.rangeTotal = in.Size();
  r.complete = true;
  return r;
}

// What the try ends with once its header was let through, the body written
// as the write callback would when `bounded`.
TryResult ReadEnd(Input& in, const KnownResource& known, const ResponseInfo& r, curl_off_t disk) {
  static const CURLcode kCodes[] = {CURLE_OK, CURLE_PARTIAL_FILE, CURLE_WRITE_ERROR, CURLE_RANGE_ERROR};
  const std::uint8_t flags = in.Byte();
  TryResult t{r, true, kCodes[flags % 4], r.status, in.Size(), std::max<curl_off_t>(in.Size(), 0)};
  const curl_off_t bound = bvhttptools::WriteBound(known, r);
  if ((flags & 4) != 0 && bound >= 0 && disk + t.written > bound) {
    t.written = std::max<curl_off_t>(bound - disk, 0);
    t.overran = true;
    t.code = CURLE_WRITE_ERROR;
  }
  return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in{data, size};
  KnownResource known;
  curl_off_t disk = 0;  // bytes in the .part file
  for (int tries = 0; tries < 16 && in.left >= 9; ++tries) {
    const ResponseInfo r = ReadResponse(in);
    TryResult header;
    header.response = r;
    const Decision early = Decide(known, header);
    // A header alone completes the download only by confirming the bytes
    // already on disk as the whole resource.
    if (early.step == Step::Complete) {
      FUZZ_CHECK(disk > 0 && disk == known.onDisk && r.rangeTotal == disk &&
                 (known.fullSize < 0 || known.fullSize == disk));
      return 0;
    }
    FUZZ_CHECK(early.step == Step::Continue || early.step == Step::StartOver);
    TryResult t = ReadEnd(in, known, r, disk);
    // A header refused stops the try before a byte of its body.
    if (early.step != Step::Continue) t = TryResult{r, true, CURLE_WRITE_ERROR, r.status, -1, 0};
    disk += t.written;
    const Decision d = Decide(known, t);
    FUZZ_CHECK(d.step != Step::Continue);
    const curl_off_t total = known.fullSize >= 0 ? known.fullSize
                             : known.onDisk > 0 && r.status == 206 ? r.rangeTotal : -1;
    if (d.step == Step::Complete) {
      FUZZ_CHECK(disk > 0 && (total < 0 || disk == total));
      return 0;
    }
    const KnownResource& next = d.next;
    // The file holds what the next try continues, or is emptied for it.
    FUZZ_CHECK(next.onDisk == 0 || next.onDisk == disk);
    FUZZ_CHECK(next.onDisk == 0 || total < 0 || next.onDisk <= total);
    FUZZ_CHECK(next.onDisk == 0 || r.status != 206 || r.rangeTotal < 0 || next.onDisk <= r.rangeTotal);
    FUZZ_CHECK(next.fullSize < 0 || next.onDisk <= next.fullSize);
    if (next.onDisk != disk) disk = 0;
    known = next;
  }
  return 0;
}
