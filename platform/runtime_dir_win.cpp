#include "runtime_dir.h"

#include <string>

namespace platform {

std::string RuntimeDir() { return std::string(); }

}  // namespace platform
