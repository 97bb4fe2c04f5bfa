// The proxy the system is set to use for a download; proxy_posix.cpp /
// proxy_win.cpp, chosen by CMake.
#pragma once

#include <string>

namespace brisvane::platform {

struct SystemProxy {
  // For CURLOPT_PROXY ("host:port", possibly with a scheme); empty: no proxy.
  std::string proxy;
  // For CURLOPT_NOPROXY: comma-separated host names, addresses and ".suffix"
  // entries that go direct; only meaningful with a proxy.
  std::string noProxy;
  // One line about a setting that was found but not applied (an automatic
  // configuration script); empty when there is none.
  std::string note;
};

// The current user's system proxy settings for `url`. On Windows the fixed
// proxy and its bypass list from the user's Internet settings (an automatic
// configuration script is only noted, automatic detection skipped); on Linux never
// a proxy: libcurl reads the environment there by itself.
SystemProxy SystemProxyFor(const std::string& url);

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
