// The one request an upgrader may be started with (request_protocol.h):
//   BrisvaneUpgrade --request <id> <url>
// Read before the application object exists, so that nothing of the request
// ever reaches Qt's own option parsing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "request_protocol.h"

struct CommandLineRequest {
  enum class Kind {
    kNone,       // no request: the arguments are Qt's, as ever
    kRequest,    // `requestId` and `url` hold it
    kMalformed,  // "--request" given, but not in its form; `problem` says why
  };
  Kind kind = Kind::kNone;
  std::uint64_t requestId = platform::kNoRequestId;
  std::string url;      // UTF-8, as given
  std::string problem;  // one line, for the log
};

// Reads `arguments` (the program's name first, UTF-8). A request is exactly
// the program's name, "--request", a decimal id that fits 64 bits, and the
// URL; "--request" anywhere else, or anything more, is malformed.
CommandLineRequest ReadCommandLineRequest(const std::vector<std::string>& arguments);
