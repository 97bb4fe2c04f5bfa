#include "resume.h"

#include <string>
#include <utility>

namespace bvhttptools {
namespace {

const char kChanged[] = "the resource changed during the download";

// The response's validator of the kind that was remembered, or "".
const std::string& ShownValidator(const KnownResource& known, const ResponseInfo& response) {
  return known.validatorIsTag ? response.etag : response.lastModified;
}

// A partial answer to a resumed try must continue the bytes on disk: same
// start, same total, same version.
bool ContinuesBytesOnDisk(const KnownResource& known, const ResponseInfo& response) {
  curl_off_t total = response.rangeTotal;
  if (total < 0 && response.contentLength >= 0) total = known.onDisk + response.contentLength;
  const std::string& shown = ShownValidator(known, response);
  return response.rangeStart == known.onDisk &&
         (known.fullSize < 0 || total == known.fullSize) &&
         (shown.empty() || shown == known.validator);
}

// The bytes on disk are only worth continuing when the server can be asked
// to send the rest of that very version and nothing else.
KnownResource ForNextTry(KnownResource next) {
  if (next.onDisk > 0 && !next.rangeRefused && !next.validator.empty()) return next;
  next.onDisk = 0;
  next.validator.clear();
  next.fullSize = -1;
  return next;
}

Decision Make(Step step, CURLcode code, std::string reason) {
  Decision decision;
  decision.step = step;
  decision.code = code;
  decision.reason = std::move(reason);
  return decision;
}

std::string ReceivedOf(curl_off_t received, curl_off_t of) {
  return "received " + std::to_string(received) + " of " + std::to_string(of) + " bytes";
}

// What libcurl accepted as a finished transfer may still be incomplete or
// not the resource at all.
Decision CheckFinished(const KnownResource& known, const TryResult& result) {
  bool resumed = known.onDisk > 0;
  if (resumed && result.status == 200 && result.written == 0 && result.length == known.onDisk) {
    // libcurl's answer when the resume point is the end of the resource.
    // A whole answer means the range was not granted, so it says nothing
    // about the bytes on disk unless it shows the same version.
    const std::string& shown = ShownValidator(known, result.response);
    if (result.length == known.fullSize && !shown.empty() && shown == known.validator) {
      return Make(Step::Complete, CURLE_OK, "");
    }
    return Make(Step::StartOver, CURLE_RANGE_ERROR, kChanged);
  }
  if (result.status != (resumed ? 206 : 200)) {
    return Make(Step::Fail, CURLE_HTTP_RETURNED_ERROR,
                "unexpected HTTP status " + std::to_string(result.status));
  }
  if (result.length >= 0 && result.written != result.length) {
    return Make(Step::Fail, CURLE_PARTIAL_FILE, ReceivedOf(result.written, result.length));
  }
  // A range answer may stop short of the end it announced.
  curl_off_t received = known.onDisk + result.written;
  if (resumed && known.fullSize >= 0 && received != known.fullSize) {
    return Make(Step::Fail, CURLE_PARTIAL_FILE, ReceivedOf(received, known.fullSize));
  }
  // Nothing is never an installer; a server that sends it is broken, and
  // asking again would only delay giving the client back.
  if (received == 0) {
    return Make(Step::Fail, CURLE_WEIRD_SERVER_REPLY, "the server sent an empty body");
  }
  return Make(Step::Complete, CURLE_OK, "");
}

// The final response of a try that began an empty .part file: what every
// later try must match to continue it.
void Remember(const ResponseInfo& response, KnownResource* known) {
  if (!response.etag.empty()) {
    known->validator = response.etag;
    known->validatorIsTag = true;
  } else if (!response.lastModified.empty()) {
    known->validator = response.lastModified;
    known->validatorIsTag = false;
  }
  known->fullSize = response.contentLength;
}

}  // namespace

Decision Decide(const KnownResource& known, const TryResult& result) {
  bool resumed = known.onDisk > 0;
  const ResponseInfo& response = result.response;
  // Stopped before a byte of another version is written.
  bool changed = resumed && response.complete && response.status == 206 &&
                 !ContinuesBytesOnDisk(known, response);
  Decision decision;
  if (!result.ended) {
    decision = changed ? Make(Step::StartOver, CURLE_OK, kChanged) : Make(Step::Continue, CURLE_OK, "");
  } else if (changed) {
    decision = Make(Step::StartOver, result.code, "");
  } else if (result.code == CURLE_OK) {
    decision = CheckFinished(known, result);
  } else {
    decision = Make(Step::Fail, result.code, "");
  }
  if (decision.step == Step::Complete || decision.step == Step::Continue) return decision;

  KnownResource next = known;
  if (!resumed && response.status == 200) Remember(response, &next);
  next.onDisk += result.written;
  if (decision.step == Step::StartOver) {
    // Another version answered: the bytes on disk are worthless.
    next.validator.clear();
  } else if (next.onDisk > 0 && !known.rangeRefused &&
             (decision.code == CURLE_RANGE_ERROR || result.status == 416)) {
    // The server cannot resume: start over at once, and never ask again.
    next.rangeRefused = true;
    decision.step = Step::StartOver;
  }
  decision.next = ForNextTry(next);
  return decision;
}

}  // namespace bvhttptools
