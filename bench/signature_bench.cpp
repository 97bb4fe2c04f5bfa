// What checking an installer's signature adds to an upgrade: signs a file of
// BENCH_SIZE_MIB (default 1024) with Debian's minisign, pre-hashed (its
// default) and legacy, and times the upgrader's own check of each, through a
// held file as the upgrader does.
//
// Usage: signature_bench WORK_DIR   (prints one line per form and the figures)
#include <sodium.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "held_file.h"
#include "installer_signature.h"

namespace {

using Clock = std::chrono::steady_clock;

int Run(const std::string& command) { return std::system(command.c_str()); }

bool WriteRandomFile(const std::string& path, long long bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::mt19937_64 random(1);
  std::vector<std::uint64_t> block(1 << 17);  // 1 MiB
  for (long long done = 0; done < bytes && out; done += 1 << 20) {
    for (std::uint64_t& word : block) word = random();
    out.write(reinterpret_cast<const char*>(block.data()),
              static_cast<std::streamsize>(std::min<long long>(bytes - done, 1 << 20)));
  }
  return static_cast<bool>(out);
}

// Seconds the check of `file` against `file.minisig` took, or -1 when it failed.
double TimeCheck(const installer_signature::PublicKey& key, const std::string& file) {
  const Clock::time_point began = Clock::now();
  platform::HeldFile held;
  std::string text, comment, why = "the installer or its signature cannot be read";
  const bool good =
      held.Open(file) &&
      platform::ReadSmallFile(file + ".minisig", installer_signature::kMaxSignatureBytes, &text) &&
      installer_signature::VerifyFile(key, held, text, file.substr(file.find_last_of('/') + 1),
                                      &comment, &why);
  const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
  if (!good) std::fprintf(stderr, "signature_bench: check failed: %s\n", why.c_str());
  return good ? seconds : -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || sodium_init() < 0) {
    std::fprintf(stderr, "usage: signature_bench WORK_DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  const char* sizeText = std::getenv("BENCH_SIZE_MIB");
  const long long mib = sizeText != nullptr ? std::atoll(sizeText) : 1024;
  const std::string file = dir + "/installer.bin";
  if (!WriteRandomFile(file, mib << 20) ||
      Run("minisign -G -W -p '" + dir + "/key.pub' -s '" + dir + "/key.sec' >/dev/null") != 0) {
    std::fprintf(stderr, "signature_bench: could not prepare the file or the key\n");
    return 1;
  }
  installer_signature::PublicKey key;
  std::string why;
  if (!installer_signature::LoadPublicKey(dir + "/key.pub", &key, &why)) {
    std::fprintf(stderr, "signature_bench: %s\n", why.c_str());
    return 1;
  }
  std::printf("%-12s %10s %10s\n", "form", "MiB", "check_s");
  for (const bool legacy : {false, true}) {
    if (Run("minisign -S -s '" + dir + "/key.sec' -m '" + file + "'" + (legacy ? " -l" : "") +
            " -t bench >/dev/null") != 0) {
      std::fprintf(stderr, "signature_bench: minisign could not sign\n");
      return 1;
    }
    TimeCheck(key, file);  // warm: the file is read from the page cache both times
    const double seconds = TimeCheck(key, file);
    if (seconds < 0) return 1;
    std::printf("%-12s %10lld %10.3f\n", legacy ? "legacy" : "pre-hashed", mib, seconds);
  }
  return 0;
}
