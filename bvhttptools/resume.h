// Whether a download continues the bytes already on disk, starts over or is
// done: decided from what is known about the resource and what the last
// response said, without libcurl calls or I/O, so every case can be checked
// without a server.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <optional>
#include <string>

namespace bvhttptools {

// What ties the bytes in the .part file to the version they came from.
struct KnownResource {
  // A strong entity tag or else a modification date that is a strong
  // validator; "" when the server showed neither, and then the bytes on disk
  // cannot be continued.
  std::string validator;
  bool validatorIsTag = false;
  curl_off_t fullSize = -1;  // -1: unknown
  curl_off_t onDisk = 0;     // bytes in the .part file before the try
  // Once a server ignored a range it is never asked for one again.
  bool rangeRefused = false;
};

// What one response's header says about the body it carries. Only the last
// response of a try counts: redirects and interim answers come first.
struct ResponseInfo {
  long status = 0;
  std::string etag;          // strong entity tags only; weak ones cannot guard a range
  std::string lastModified;
  curl_off_t contentLength = -1;
  curl_off_t rangeStart = -1;  // from "Content-Range: bytes first-last/total"
  curl_off_t rangeTotal = -1;  // -1 also when the total is "*"; a 416's "bytes */total" sets it alone
  bool complete = false;       // the blank line ending the header has arrived
  // What a Retry-After header asked for, counted from its arrival.
  std::optional<std::chrono::seconds> retryAfter;
  // When the response was sent (its Date header), in seconds since 1970.
  std::optional<long long> date;
  // Where a redirect (a 3xx status) leads, as its Location header says.
  std::string location;
  curl_off_t rangeEnd = -1;  // "last" of the Content-Range, -1 without one
  // The protocol marks where the body ends (chunked, or HTTP/2 and later),
  // so a cut one is told from a whole one without a stated length.
  bool framed = false;
  // The status line's reason phrase ("Not Found"), "" without one.
  std::string reason{};
  // A proxy answered rather than the origin: a 407, or a page a proxy made
  // itself (squid marks its own with X-Squid-Error).
  bool fromProxy = false;
};

// What a try has seen so far.
struct TryResult {
  ResponseInfo response;
  // False while only the response header has arrived; the fields below are
  // then not yet known.
  bool ended = false;
  CURLcode code = CURLE_OK;  // what the transfer itself returned
  long status = 0;           // libcurl's response code
  curl_off_t length = -1;    // libcurl's body length of the try, -1 unknown
  curl_off_t written = 0;    // bytes the try appended to the file
  // The body went on past the end of its range or of the resource; what
  // came after that end was not written.
  bool overran = false;
};

enum class Step {
  Continue,   // header only: keep receiving, the body continues the bytes on disk
  Complete,   // the file is whole
  StartOver,  // drop the bytes on disk and ask again at once, as part of this try
  Fail,       // the try failed with `code`; a later try may follow
};

struct Decision {
  Step step = Step::Continue;
  CURLcode code = CURLE_OK;
  // Why the try failed, when the transfer itself reported no failure.
  std::string reason;
  // What the next try starts from; onDisk 0 means a fresh .part file.
  KnownResource next;
};

// What a whole answer (200) to a request for an empty .part file ties the
// bytes to: its validator, when it shows a strong one, and its length.
KnownResource FirstAnswer(const ResponseInfo& response);

// Why a body whose length nothing stated is refused.
extern const char kUnstatedLength[];

// A .part that already holds the whole resource is confirmed by the 416 its
// range request draws: If-Range held (else the answer would have been the
// new version's 200), "bytes */N" names the bytes on disk as the size, and a
// validator the 416 shows must be the remembered one. The try is then
// Complete, from the header on, without a byte written.
//
// `acceptUnstatedLength`: a finished body whose length nothing stated (no
// Content-Length, no framing, no range, no total known from an earlier try)
// counts as whole; otherwise it fails with CURLE_WEIRD_SERVER_REPLY and
// kUnstatedLength, since a server or proxy closing the connection half-way
// looks just the same. Only a caller that checks the bytes by other means
// (a signature) may accept it.
Decision Decide(const KnownResource& known, const TryResult& result, bool acceptUnstatedLength = false);

// The most bytes the file may hold while `response`'s body is written after
// the bytes on disk: the end of its range, else the known total; -1 when
// nothing bounds it but the body's own length.
curl_off_t WriteBound(const KnownResource& known, const ResponseInfo& response);

}  // namespace bvhttptools
