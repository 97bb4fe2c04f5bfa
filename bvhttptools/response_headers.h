// What a response header says, read one line at a time as libcurl hands the
// lines over, without libcurl: every line a server may send can be checked
// without a server.
#pragma once

#include <chrono>
#include <string>

#include "resume.h"

namespace bvhttptools {

// Folds one header line ("Name: value" with its line end, a status line or
// the blank line) into `response`. A status line begins a new response;
// lines after the blank one (a chunked body's trailers) change nothing.
// Returns true when the line is the blank one that completes the header.
// `now` is when the line arrived, the start of a Retry-After pause.
bool FoldHeaderLine(const std::string& line, std::chrono::system_clock::time_point now,
                    ResponseInfo* response);

}  // namespace bvhttptools
