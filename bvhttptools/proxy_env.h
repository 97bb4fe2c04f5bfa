// Which proxy settings a download follows: the proxy environment variables
// when they name a proxy (libcurl reads them by itself), else the system's
// settings, which libcurl does not read.
#pragma once

#include <string>

namespace bvhttptools {

// Whether the environment names a proxy for `url` the way libcurl looks for
// one: "<scheme>_proxy", then "<SCHEME>_PROXY" except for http (libcurl never
// reads HTTP_PROXY, which a CGI request can set), then all_proxy and
// ALL_PROXY. On Windows an empty variable counts as unset, as it does for
// libcurl there.
bool ProxyFromEnvironment(const std::string& url);

// `systemNoProxy` (a CURLOPT_NOPROXY list) with the entries of no_proxy, or
// else NO_PROXY, added: libcurl stops reading those once CURLOPT_NOPROXY is
// set, and hosts the user listed there should still go direct.
std::string WithEnvironmentNoProxy(const std::string& systemNoProxy);

}  // namespace bvhttptools
