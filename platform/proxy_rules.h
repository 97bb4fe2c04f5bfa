// Turns Windows proxy settings into what libcurl understands. Plain string
// work, the same on both systems, so Linux tests can check it too.
#pragma once

#include <string>

#include "proxy.h"

namespace brisvane::platform {

// The proxy for `url` from a Windows proxy list and bypass list, UTF-8.
//
// `proxyList` is "host:port" or per scheme "http=h:p;https=h:p" (';' or
// whitespace between entries): the entry for the URL's scheme wins, else the
// first one without a scheme; none of either means no proxy.
// `bypassList` holds host names, addresses and patterns ('*' any run, '?'
// one character) separated by ';', ',' or whitespace, and "<local>" for host
// names without a dot. When an entry matches the URL's host (as Windows
// matches it: the whole name, case-insensitively) the result is no proxy.
// Otherwise the entries libcurl can match become `noProxy`, for the hosts of
// redirects ("*.suffix" as ".suffix"; other patterns and "<local>" are left
// out). `note` is left empty.
SystemProxy ProxyFromWindowsLists(const std::string& url, const std::string& proxyList,
                                  const std::string& bypassList);

// The host of `url` in lower case, without brackets, user info or port;
// empty when there is none.
std::string UrlHost(const std::string& url);

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
