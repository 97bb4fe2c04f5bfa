#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>
#include <winhttp.h>

#include <string>

#include "proxy.h"
#include "text_win.h"

namespace brisvane::platform {
namespace {

// The string as UTF-8, released with GlobalFree as WinHTTP asks; "" for null.
std::string TakeGlobalString(LPWSTR text) {
  if (text == nullptr) return std::string();
  std::string utf8 = Narrow(std::wstring(text));
  GlobalFree(text);
  return utf8;
}

// The note goes into a one-line log entry.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return text;
}

}  // namespace

SystemProxySettings ReadSystemProxySettings() {
  SystemProxySettings settings;
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) {
    settings.note = "could not read the system proxy settings (error " +
                    std::to_string(GetLastError()) + ")";
    return settings;
  }
  // Every string is taken (and freed) before anything can return.
  settings.proxyList = TakeGlobalString(config.lpszProxy);
  settings.bypassList = TakeGlobalString(config.lpszProxyBypass);
  const std::string script = TakeGlobalString(config.lpszAutoConfigUrl);
  // Evaluating a script would need a JavaScript engine; the fixed proxy, if
  // any, is what a script usually falls back to.
  // Automatic detection is on for most users and is not noted: it would add
  // a line to every upgrade's log while telling nothing the user chose.
  if (!script.empty()) {
    settings.note = OneLine("system proxy: the automatic configuration script " + script +
                            " is not evaluated");
  }
  return settings;
}

}  // namespace brisvane::platform
