// A key file's and a signature file's text, NUL between them, checked
// against one genuine installer: whatever parses re-encodes to the very text
// it came from, and only the genuine key with one of the installer's genuine
// signatures verifies, up to what the format leaves out of the signed bytes
// (line ends, a last line end, the untrusted comments, the key id). The key pair, the
// file and the signatures are minisign's own.
#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "held_file.h"
#include "installer_signature.h"

namespace sig = installer_signature;

namespace {

constexpr char kFile[] = "#!/bin/sh\necho installer 1.2.3\n";
constexpr char kKeyLine[] = "RWSb4UAQNtfSMHzg7wOSf6iABG1F2Env/zd9LelYk91Qwo8pSO2hrjGq";
// Signed lines (signature, trusted comment, global signature) of the
// pre-hashed and the legacy signature of kFile.
const std::vector<std::string> kGenuine[] = {
    {"RUSb4UAQNtfSMMVL0Hv0YWFT9Hhuos2Zau+schBAW+dc7mHudIqnnCPtdX4rtsMn/"
     "UFbM9wS45jpXPaEeQZNfcgtVEBGI87xfAo=",
     "trusted comment: timestamp:1796665527\tfile:setup.exe\thashed",
     "ermgotjh4wFArfl1jhJ235XI9GBQX2C0wE46wM4JiI5WwwoRSEwjtpzt4bb4mEhickbPjNnhlhq8xi9rPav3CA=="},
    {"RWSb4UAQNtfSMB0/Bomz69ByDYb7WXmI/s+bDxa0/yEIIYzKwD3910zd/"
     "4B2JlMVEcbvTD0zErAZh9fKYU8XygTbRbDpHrSANgQ=",
     "trusted comment: version 1.2.3",
     "+XJEh0bazkJ8wGA9n6Xeu5PANu1/iop19vE89MqdA4K3vEXbaqOhuEb2GKhfLN6HtoFiJOoQGmjOXFj7SzNyAg=="},
};

// The lines as the format reads them: "\n" or "\r\n" ends one, a last line
// end is optional.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : text) {
    if (c != '\n') {
      line += c;
      continue;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    line.clear();
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (!line.empty()) lines.push_back(line);
  return lines;
}

std::string Base64(const std::uint8_t* bytes, std::size_t size) {
  std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(&text[0], text.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
  text.pop_back();  // its NUL
  return text;
}

const platform::HeldFile& GenuineFile() {
  static platform::HeldFile* file = [] {
    char path[] = "/tmp/fuzz-minisign-XXXXXX";
    const int fd = mkstemp(path);
    FUZZ_CHECK(fd >= 0 &&
               write(fd, kFile, sizeof kFile - 1) == static_cast<ssize_t>(sizeof kFile - 1));
    close(fd);
    auto* held = new platform::HeldFile;
    FUZZ_CHECK(held->Open(path));
    unlink(path);
    return held;
  }();
  return *file;
}

// A key that parsed is its key line, byte for byte.
void CheckKey(const std::string& text, const sig::PublicKey& key) {
  std::vector<std::uint8_t> raw = {'E', 'd'};
  raw.insert(raw.end(), key.keyId.begin(), key.keyId.end());
  raw.insert(raw.end(), key.key.begin(), key.key.end());
  FUZZ_CHECK(Lines(text).size() == 2 && Lines(text)[1] == Base64(raw.data(), raw.size()));
}

// A signature that parsed is its lines, byte for byte.
void CheckSignature(const std::string& text, const sig::Signature& parsed) {
  std::vector<std::uint8_t> raw = {'E', static_cast<std::uint8_t>(parsed.prehashed ? 'D' : 'd')};
  raw.insert(raw.end(), parsed.keyId.begin(), parsed.keyId.end());
  raw.insert(raw.end(), parsed.signature.begin(), parsed.signature.end());
  const std::vector<std::string> lines = Lines(text);
  FUZZ_CHECK(lines.size() == 4 && lines[1] == Base64(raw.data(), raw.size()));
  FUZZ_CHECK(lines[2] == "trusted comment: " + parsed.trustedComment);
  FUZZ_CHECK(lines[3] == Base64(parsed.globalSignature.data(), parsed.globalSignature.size()));
}

std::vector<std::uint8_t> Decoded(const std::string& line) {
  std::vector<std::uint8_t> bytes(line.size());
  std::size_t length = 0;
  FUZZ_CHECK(sodium_base642bin(bytes.data(), bytes.size(), line.data(), line.size(), nullptr,
                               &length, nullptr, sodium_base64_VARIANT_ORIGINAL) == 0);
  bytes.resize(length);
  return bytes;
}

// The key id is a label: it must agree between key and signature, but
// nothing signs it, so a changed id on both sides still verifies.
bool IsGenuine(const sig::PublicKey& key, const sig::Signature& parsed) {
  const std::vector<std::uint8_t> genuineKey = Decoded(kKeyLine);
  if (!std::equal(key.key.begin(), key.key.end(), genuineKey.begin() + 10)) return false;
  for (const std::vector<std::string>& genuine : kGenuine) {
    const std::vector<std::uint8_t> raw = Decoded(genuine[0]);
    if (parsed.prehashed == (raw[1] == 'D') &&
        std::equal(parsed.signature.begin(), parsed.signature.end(), raw.begin() + 10) &&
        "trusted comment: " + parsed.trustedComment == genuine[1] &&
        Base64(parsed.globalSignature.data(), parsed.globalSignature.size()) == genuine[2]) {
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = input.find('\0');
  const std::string keyText = input.substr(0, nul);
  const std::string signatureText =
      nul == std::string::npos ? std::string() : input.substr(nul + 1);
  sig::PublicKey key;
  sig::Signature parsed;
  std::string why, comment;
  const bool keyParsed = sig::ParsePublicKey(keyText, &key, &why);
  if (keyParsed) CheckKey(keyText, key);
  const bool signatureParsed = sig::ParseSignature(signatureText, &parsed, &why);
  if (signatureParsed) CheckSignature(signatureText, parsed);
  if (!keyParsed) return 0;
  const bool good = sig::VerifyFile(key, GenuineFile(), signatureText, "setup.exe", &comment, &why);
  FUZZ_CHECK(good == (signatureParsed && parsed.keyId == key.keyId && IsGenuine(key, parsed)));
  FUZZ_CHECK(good || !why.empty());
  return 0;
}
