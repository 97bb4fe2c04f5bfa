// Linux: the XDG data home, as Qt 5's QStandardPaths finds it.
#include "data_dir.h"

#include <cstdlib>
#include <string>

namespace brisvane::platform {

namespace {

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

std::string UpgraderDataFile(const std::string& name, std::string* reason) {
  std::string base = Variable("XDG_DATA_HOME");
  if (base.empty()) {
    const std::string home = Variable("HOME");
    // Qt would fall back to "/", where no user's upgrader writes.
    if (home.empty()) {
      *reason = "neither XDG_DATA_HOME nor HOME is set";
      return std::string();
    }
    base = home + "/.local/share";
  }
  return base + "/" + kOrganizationName + "/" + kApplicationName + "/" + name;
}

}  // namespace brisvane::platform
