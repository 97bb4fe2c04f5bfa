// upgrade-request: hands an installer URL to a running upgrader, the way the
// client does, and prints the upgrader's reply.
//
//   upgrade-request URL     sends the URL's bytes
//   upgrade-request --raw   sends standard input's bytes verbatim
//
// Exit status: 0 reply 0, 1 other reply or failure, 2 no upgrader listening.
#include <brisvane/upgrade_client.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "command_line.h"

namespace {

const char kUsage[] = "usage: upgrade-request URL | upgrade-request --raw < payload\n";

// Reads all of standard input, refusing more than the channel carries.
bool ReadStandardInput(std::string* out, std::string* error) {
  MakeStandardInputBinary();
  char buf[16384];
  out->clear();
  for (;;) {
    const std::size_t n = std::fread(buf, 1, sizeof buf, stdin);
    out->append(buf, n);
    if (out->size() > BRISVANE_MAX_URL_BYTES) {
      *error = "standard input holds more than " + std::to_string(BRISVANE_MAX_URL_BYTES) +
               " bytes";
      return false;
    }
    if (n < sizeof buf) break;
  }
  if (std::ferror(stdin)) {
    *error = std::string("reading standard input failed: ") + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  std::string payload;
  std::string error;
  if (std::strcmp(argv[1], "--raw") == 0) {
    if (!ReadStandardInput(&payload, &error)) {
      std::fprintf(stderr, "upgrade-request: %s\n", error.c_str());
      return 1;
    }
  } else if (std::strncmp(argv[1], "--", 2) == 0) {
    std::fputs(kUsage, stderr);
    return 1;
  } else if (!FirstArgument(argc, argv, &payload)) {
    std::fputs("upgrade-request: cannot read the URL from the command line\n", stderr);
    return 1;
  }

  const brisvane::HandOverResult result = brisvane::HandOverUpgrade(payload);
  switch (result.status) {
    case brisvane::HandOverResult::Status::kReplied:
      std::printf("reply: %d\n", static_cast<int>(result.reply));
      return 0;
    case brisvane::HandOverResult::Status::kBusy:
    case brisvane::HandOverResult::Status::kRefused:
      std::printf("reply: %d\n", static_cast<int>(result.reply));
      std::fprintf(stderr, "upgrade-request: %s\n", result.reason.c_str());
      return 1;
    case brisvane::HandOverResult::Status::kNoUpgrader:
      std::fprintf(stderr, "upgrade-request: %s\n", result.reason.c_str());
      return 2;
    case brisvane::HandOverResult::Status::kFailed:
      break;
  }
  std::fprintf(stderr, "upgrade-request: %s\n", result.reason.c_str());
  return 1;
}
