#include "resume.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

#include "http_date.h"

namespace bvhttptools {
namespace {

const char kChanged[] = "the resource changed during the download";

bool LengthStated(const KnownResource& known, const ResponseInfo& response) {
  return response.contentLength >= 0 || response.framed || response.rangeEnd >= 0 ||
         response.rangeTotal >= 0 || known.fullSize >= 0;
}

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
  // A range longer than its body says is not one answer to trust.
  const bool lengthFits = response.rangeEnd < 0 || response.contentLength < 0 ||
                          response.contentLength == response.rangeEnd - response.rangeStart + 1;
  return response.rangeStart == known.onDisk && lengthFits &&
         (known.fullSize < 0 || total == known.fullSize) &&
         (shown.empty() || shown == known.validator);
}

// The size of the whole resource as far as it is known: remembered from the
// first answer, else named by a range answer's total.
curl_off_t TotalOf(const KnownResource& known, const ResponseInfo& response) {
  if (known.fullSize >= 0) return known.fullSize;
  return known.onDisk > 0 && response.status == 206 ? response.rangeTotal : -1;
}

// The bytes on disk are only worth continuing when the server can be asked
// to send the rest of that very version and nothing else.
KnownResource ForNextTry(KnownResource next) {
  // More bytes than the resource has cannot be a piece of it.
  const bool fits = next.fullSize < 0 || next.onDisk <= next.fullSize;
  if (next.onDisk > 0 && fits && !next.rangeRefused && !next.validator.empty()) return next;
  next.onDisk = 0;
  next.validator.clear();
  next.fullSize = -1;
  return next;
}

// Whether a 416 to a resumed request says that the bytes on disk are the
// whole resource, of the version they were tied to. Servers weigh If-Range
// before Range, so a 416 means the version held.
bool ConfirmsBytesOnDisk(const KnownResource& known, const TryResult& result) {
  const ResponseInfo& response = result.response;
  const std::string& shown = ShownValidator(known, response);
  return known.onDisk > 0 && !known.validator.empty() && !known.rangeRefused && response.complete &&
         response.status == 416 && response.rangeStart < 0 && response.rangeTotal == known.onDisk &&
         (known.fullSize < 0 || known.fullSize == known.onDisk) && (shown.empty() || shown == known.validator) &&
         result.written == 0 && !result.overran;
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
Decision CheckFinished(const KnownResource& known, const TryResult& result, bool acceptUnstatedLength) {
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
  // Asking again could only bring another body of unknown length.
  if (!acceptUnstatedLength && !LengthStated(known, result.response)) {
    return Make(Step::Fail, CURLE_WEIRD_SERVER_REPLY, kUnstatedLength);
  }
  // A range answer may stop short of the end it announced, or announce an
  // end short of the total: either way the rest is still to come.
  curl_off_t received = known.onDisk + result.written;
  const curl_off_t total = TotalOf(known, result.response);
  if (resumed && total >= 0 && received != total) {
    return Make(Step::Fail, CURLE_PARTIAL_FILE, ReceivedOf(received, total));
  }
  // Nothing is never an installer; a server that sends it is broken, and
  // asking again would only delay giving the client back.
  if (received == 0) {
    return Make(Step::Fail, CURLE_WEIRD_SERVER_REPLY, "the server sent an empty body");
  }
  return Make(Step::Complete, CURLE_OK, "");
}

// A modification date tells two versions apart only when the response was
// sent well after it: a file changed again within the same second, or within
// the drift between the clocks that wrote both dates, keeps its date.
bool DateIsStrong(const ResponseInfo& response) {
  std::optional<long long> modified = HttpDateSeconds(response.lastModified);
  return modified && response.date && *response.date - *modified >= 60;
}

// The final response of a try that began an empty .part file: what every
// later try must match to continue it.
void Remember(const ResponseInfo& response, KnownResource* known) {
  if (!response.etag.empty()) {
    known->validator = response.etag;
    known->validatorIsTag = true;
  } else if (DateIsStrong(response)) {
    known->validator = response.lastModified;
    known->validatorIsTag = false;
  }
  known->fullSize = response.contentLength;
}

}  // namespace

KnownResource FirstAnswer(const ResponseInfo& response) {
  KnownResource known;
  Remember(response, &known);
  return known;
}

const char kUnstatedLength[] =
    "the server did not state the body's length, so a cut body cannot be told from a whole one";

Decision Decide(const KnownResource& known, const TryResult& result, bool acceptUnstatedLength) {
  if (ConfirmsBytesOnDisk(known, result)) return Make(Step::Complete, CURLE_OK, "");
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
  } else if (result.overran) {
    // A server that sends more than the range it names cannot be trusted
    // with ranges: handled below as one that refuses them.
    decision = Make(Step::Fail, CURLE_RANGE_ERROR, "the server sent more than the range it named");
  } else if (result.code == CURLE_OK) {
    decision = CheckFinished(known, result, acceptUnstatedLength);
  } else {
    decision = Make(Step::Fail, result.code, "");
  }
  if (decision.step == Step::Complete || decision.step == Step::Continue) return decision;

  KnownResource next = known;
  if (!resumed && response.status == 200) Remember(response, &next);
  next.onDisk += result.written;
  // The total a range answer names binds every later try.
  if (!changed && resumed && next.fullSize < 0) next.fullSize = TotalOf(known, response);
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

curl_off_t WriteBound(const KnownResource& known, const ResponseInfo& response) {
  const curl_off_t total = TotalOf(known, response);
  if (response.status == 206 && response.rangeEnd >= 0) {
    const curl_off_t end = response.rangeEnd + 1;
    return total >= 0 && total < end ? total : end;
  }
  return total;
}

}  // namespace bvhttptools
