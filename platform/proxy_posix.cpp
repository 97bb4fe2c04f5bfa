#include "proxy.h"

namespace brisvane::platform {

// Linux has no system-wide proxy setting of its own: libcurl reads the usual
// environment variables by itself.
SystemProxySettings ReadSystemProxySettings() { return SystemProxySettings(); }

}  // namespace brisvane::platform
