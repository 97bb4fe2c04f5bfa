#include "runtime_dir.h"

#include <string>

namespace brisvane::platform {

std::string RuntimeDir() { return std::string(); }

}  // namespace brisvane::platform
