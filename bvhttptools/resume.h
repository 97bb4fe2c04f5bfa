// Whether a download continues the bytes already on disk, starts over or is
// done: decided from what is known about the resource and what the last
// response said, without libcurl calls or I/O, so every case can be checked
// without a server.
#pragma once

#include <curl/curl.h>

#include <string>

namespace bvhttptools {

// What ties the bytes in the .part file to the version they came from.
struct KnownResource {
  // A strong entity tag or else a modification date; "" when the server
  // showed neither, and then the bytes on disk cannot be continued.
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
  curl_off_t rangeTotal = -1;  // -1 also when the total is "*"
  bool complete = false;       // the blank line ending the header has arrived
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

Decision Decide(const KnownResource& known, const TryResult& result);

}  // namespace bvhttptools
