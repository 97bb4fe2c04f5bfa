// What upgrade_client.cpp asks of the back end for the system it is built
// for: upgrade_client_posix.cpp / upgrade_client_win.cpp, chosen by CMake.
// Internal to the client library.
#pragma once

#include <string>

#include "brisvane/upgrade_client.h"
#include "deadline.h"

namespace brisvane::backend {

// One call's time limit: when it ends, and how messages name it ("30 s").
struct Limit {
  platform::Deadline deadline;
  std::string text;
};

// Sends `url`, already checked against the size limit, to the running
// upgrader and waits for its reply, all by `limit.deadline`.
HandOverResult Send(const std::string& url, const Limit& limit);

// One look: true when an upgrader would take a request now; otherwise false
// with a one-line reason in `*reason`.
bool UpgraderReady(std::string* reason);

}  // namespace brisvane::backend
