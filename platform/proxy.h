// The proxy settings the system keeps for the current user; proxy_posix.cpp /
// proxy_win.cpp, chosen by CMake.
#pragma once

#include <string>

namespace brisvane::platform {

// Windows' fixed proxy settings as WinHTTP reports them, UTF-8. Read once
// per download; which proxy a request takes is decided for each URL (every
// redirect too) by ProxyFromWindowsLists.
struct SystemProxySettings {
  std::string proxyList;   // "host:port" or "http=h:p;https=h:p"; empty: no proxy
  std::string bypassList;  // hosts and patterns that go direct
  // One line about a setting that was found but not applied (an automatic
  // configuration script); empty when there is none.
  std::string note;
};

// On Windows the fixed proxy and its bypass list from the user's Internet
// settings (an automatic configuration script is only noted, automatic
// detection skipped); on Linux nothing: libcurl reads the environment there
// by itself.
SystemProxySettings ReadSystemProxySettings();

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
