// Whose runtime folder this is on Linux; shared by the guard, folder and
// channel code.
#pragma once

#include <sys/types.h>

namespace platform {

// The uid of the login session: it survives sudo and pkexec, so a root
// upgrader and its user's client agree on one folder. Falls back to the
// effective uid when the session has none.
uid_t LoginUid();

}  // namespace platform
