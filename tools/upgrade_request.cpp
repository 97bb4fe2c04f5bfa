// upgrade-request: hands an installer URL to a running upgrader, the way the
// client does, and prints the upgrader's reply.
//
//   upgrade-request URL     sends the URL's bytes
//   upgrade-request --raw   sends standard input's bytes verbatim
//
// Exit status: 0 reply 0, 1 other reply or failure, 2 no upgrader listening.
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define NOGDI
#include <windows.h>
#include <shellapi.h>
#include <fcntl.h>
#include <io.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "request_channel.h"
#ifdef _WIN32
#include "text_win.h"
#endif

namespace {

const char kUsage[] = "usage: upgrade-request URL | upgrade-request --raw < payload\n";

// The request's bytes are what the client would send; on Windows that means
// the UTF-8 form of the wide command line, not the ANSI argv.
bool FirstArgument(int argc, char** argv, std::string* out) {
#ifdef _WIN32
  (void)argc;
  (void)argv;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr || count < 2) {
    if (wide != nullptr) LocalFree(wide);
    return false;
  }
  const std::wstring argument = wide[1];
  LocalFree(wide);
  *out = platform::Narrow(argument);
  // Empty only when the argument is, or it could not be converted.
  return argument.empty() || !out->empty();
#else
  if (argc < 2) return false;
  *out = argv[1];
  return true;
#endif
}

// Reads all of standard input, refusing more than the channel carries.
bool ReadStandardInput(std::string* out, std::string* error) {
#ifdef _WIN32
  // Text mode would turn CR LF into LF and stop at Ctrl-Z.
  _setmode(_fileno(stdin), _O_BINARY);
#endif
  char buf[16384];
  out->clear();
  for (;;) {
    const std::size_t n = std::fread(buf, 1, sizeof buf, stdin);
    out->append(buf, n);
    if (out->size() > platform::kMaxRequestBytes) {
      *error = "standard input holds more than " +
               std::to_string(platform::kMaxRequestBytes) + " bytes";
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

  std::int32_t reply = 0;
  switch (platform::SendUpgradeRequest(payload, &reply, &error)) {
    case platform::SendResult::kReplied:
      std::printf("reply: %d\n", static_cast<int>(reply));
      return reply == 0 ? 0 : 1;
    case platform::SendResult::kNoUpgrader:
      std::fprintf(stderr, "upgrade-request: %s\n", error.c_str());
      return 2;
    case platform::SendResult::kFailed:
      break;
  }
  std::fprintf(stderr, "upgrade-request: %s\n", error.c_str());
  return 1;
}
