#include "last_error.h"

#include <cerrno>

namespace brisvane::platform {

unsigned long LastErrorCode() { return static_cast<unsigned long>(errno); }

}  // namespace brisvane::platform
