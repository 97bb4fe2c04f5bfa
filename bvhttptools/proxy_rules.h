// Which proxy Windows' settings give a URL, with the URL read by libcurl's
// own parser. The same on both systems, so Linux tests can check it too;
// here rather than in platform/, which stays free of libcurl.
#pragma once

#include <string>

namespace bvhttptools {

// The proxy for `url` from a Windows proxy list and bypass list, UTF-8;
// empty when the request goes direct.
//
// `proxyList` is "host:port" or per scheme "http=h:p;https=h:p" (';' or
// whitespace between entries): the entry for the URL's scheme wins, else the
// first one without a scheme; none of either means no proxy.
// `bypassList` holds host names, addresses ("[::1]" for an IPv6 one) and
// patterns ('*' any run, '?' one character) separated by ';', ',' or
// whitespace, and "<local>" for host names without a dot. An entry matches
// as Windows matches it: the whole host name, case-insensitively. Nothing of
// the list is left for libcurl to match, whose rules differ ("example.com"
// there also covers every name ending in ".example.com"); a redirect is
// decided again for its own URL.
std::string ProxyFromWindowsLists(const std::string& url, const std::string& proxyList,
                                  const std::string& bypassList);

// The host libcurl finds in `url` (also in "http:/host" or a URL without a
// scheme), in lower case, without brackets, user info or port; empty when
// there is none.
std::string UrlHost(const std::string& url);

}  // namespace bvhttptools
