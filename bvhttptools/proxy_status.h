// What a Proxy-Status header (RFC 9209) tells about the response it comes
// with, read without libcurl so that any value can be checked alone.
#pragma once

#include <string>

namespace bvhttptools {

// True when the Proxy-Status value `value` (a structured-field list, one
// member per intermediary) holds a member with an "error" parameter: that
// intermediary made the response itself instead of relaying the next one's.
// A value that is not a well-formed list tells nothing (false), as a
// structured field that fails to parse is ignored as a whole.
bool ProxyStatusHasError(const std::string& value);

}  // namespace bvhttptools
