#include "installer_signature.h"

#include <sodium.h>

#include <cstdio>
#include <mutex>
#include <vector>

namespace installer_signature {

namespace {

constexpr char kUntrusted[] = "untrusted comment: ";
constexpr char kTrusted[] = "trusted comment: ";
constexpr std::size_t kChunkBytes = 1 << 20;

bool InitSodium() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] { ok = sodium_init() >= 0; });
  return ok;
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The file's lines without their "\n" or "\r\n"; a final line end adds no
// empty line.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    begin = end + 1;
  }
  return lines;
}

// Digits of the standard alphabet, then at most two "=". libsodium 1.0.18
// takes every byte from 0x80 up as some digit, which would turn a damaged
// line into another key or signature instead of refusing it.
bool IsBase64Text(const std::string& text) {
  const std::size_t digits = text.find_last_not_of('=') + 1;
  for (std::size_t i = 0; i < digits; ++i) {
    const char c = text[i];
    const bool digit = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '+' || c == '/';
    if (!digit) return false;
  }
  return text.size() - digits <= 2;
}

// Standard base64 of exactly `size` bytes into `out`.
bool DecodeExact(const std::string& text, std::uint8_t* out, std::size_t size) {
  if (!IsBase64Text(text)) return false;
  std::vector<std::uint8_t> bytes(size + 3);
  std::size_t length = 0;
  const char* end = nullptr;
  if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &length,
                        &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
      end != text.data() + text.size() || length != size) {
    return false;
  }
  std::copy(bytes.begin(), bytes.begin() + size, out);
  return true;
}

bool VerifyPrehashed(const PublicKey& key, const Signature& signature,
                     const platform::HeldFile& file, const KeepGoing& keepGoing, std::string* why) {
  crypto_generichash_state state;
  std::array<std::uint8_t, crypto_generichash_BYTES_MAX> hash{};
  crypto_generichash_init(&state, nullptr, 0, hash.size());
  std::vector<std::uint8_t> chunk(kChunkBytes);
  std::uint64_t offset = 0;
  for (;;) {
    const long long got = file.ReadAt(offset, chunk.data(), chunk.size());
    if (got < 0) {
      *why = "the installer could not be read";
      return false;
    }
    if (got == 0) break;
    // A large installer on a slow disk takes long to read: a closing window
    // need not wait for the rest.
    if (keepGoing && !keepGoing()) {
      *why = "the check was given up";
      return false;
    }
    crypto_generichash_update(&state, chunk.data(), static_cast<unsigned long long>(got));
    offset += static_cast<std::uint64_t>(got);
  }
  crypto_generichash_final(&state, hash.data(), hash.size());
  return crypto_sign_verify_detached(signature.signature.data(), hash.data(), hash.size(),
                                     key.key.data()) == 0;
}

bool VerifyLegacy(const PublicKey& key, const Signature& signature,
                  const platform::HeldFile& file, std::string* why) {
  platform::FileView view;
  if (!view.Map(file)) {
    *why = "the installer could not be mapped";
    return false;
  }
  return crypto_sign_verify_detached(signature.signature.data(), view.data(), view.size(),
                                     key.key.data()) == 0;
}

}  // namespace

std::string KeyIdHex(const KeyId& id) {
  std::string hex;
  char digits[3];
  for (std::size_t i = id.size(); i-- > 0;) {
    std::snprintf(digits, sizeof digits, "%02X", id[i]);
    hex += digits;
  }
  // As minisign writes it in the key's comment: without leading zeros, so
  // the id in the log can be found there.
  const std::size_t first = hex.find_first_not_of('0');
  return first == std::string::npos ? "0" : hex.substr(first);
}

bool ParsePublicKey(const std::string& text, PublicKey* key, std::string* why) {
  const std::vector<std::string> lines = Lines(text);
  std::array<std::uint8_t, 42> raw{};
  if (lines.size() != 2 || !StartsWith(lines[0], kUntrusted) ||
      !DecodeExact(lines[1], raw.data(), raw.size())) {
    *why = "the key file is malformed";
    return false;
  }
  if (raw[0] != 'E' || raw[1] != 'd') {
    *why = "the key file names an unknown algorithm";
    return false;
  }
  std::copy(raw.begin() + 2, raw.begin() + 10, key->keyId.begin());
  std::copy(raw.begin() + 10, raw.end(), key->key.begin());
  return true;
}

bool ParseSignature(const std::string& text, Signature* signature, std::string* why) {
  const std::vector<std::string> lines = Lines(text);
  std::array<std::uint8_t, 74> raw{};
  if (lines.size() != 4 || !StartsWith(lines[0], kUntrusted) || !StartsWith(lines[2], kTrusted) ||
      !DecodeExact(lines[1], raw.data(), raw.size()) ||
      !DecodeExact(lines[3], signature->globalSignature.data(), signature->globalSignature.size())) {
    *why = "the signature is malformed";
    return false;
  }
  if (raw[0] != 'E' || (raw[1] != 'd' && raw[1] != 'D')) {
    *why = "the signature names an unknown algorithm";
    return false;
  }
  signature->prehashed = raw[1] == 'D';
  std::copy(raw.begin() + 2, raw.begin() + 10, signature->keyId.begin());
  std::copy(raw.begin() + 10, raw.end(), signature->signature.begin());
  signature->trustedComment = lines[2].substr(std::char_traits<char>::length(kTrusted));
  return true;
}

bool LoadPublicKey(const std::string& path, PublicKey* key, std::string* why) {
  std::string text;
  // A key file is about 100 bytes; anything far larger is not one.
  if (!platform::ReadSmallFile(path, kMaxSignatureBytes, &text)) {
    *why = "the key file cannot be read";
    return false;
  }
  return ParsePublicKey(text, key, why);
}

bool VerifyParsed(const PublicKey& key, const Signature& signature,
                  const platform::HeldFile& file, std::string* why, const KeepGoing& keepGoing) {
  if (!InitSodium()) {
    *why = "the crypto library could not start";
    return false;
  }
  if (signature.keyId != key.keyId) {
    *why = "the signature was made with key id " + KeyIdHex(signature.keyId);
    return false;
  }
  why->clear();
  const bool good = signature.prehashed ? VerifyPrehashed(key, signature, file, keepGoing, why)
                                        : VerifyLegacy(key, signature, file, why);
  if (!good) {
    if (why->empty()) *why = "the installer does not match its signature";
    return false;
  }
  std::vector<std::uint8_t> signedText(signature.signature.begin(), signature.signature.end());
  signedText.insert(signedText.end(), signature.trustedComment.begin(), signature.trustedComment.end());
  if (crypto_sign_verify_detached(signature.globalSignature.data(), signedText.data(),
                                  signedText.size(), key.key.data()) != 0) {
    *why = "the trusted comment does not match its signature";
    return false;
  }
  return true;
}

bool NameBound(const std::string& trustedComment, const std::string& installerName,
               std::string* why) {
  constexpr char kFileField[] = "file:";
  std::size_t begin = 0;
  while (begin <= trustedComment.size()) {
    std::size_t end = trustedComment.find('\t', begin);
    if (end == std::string::npos) end = trustedComment.size();
    const std::string field = trustedComment.substr(begin, end - begin);
    if (StartsWith(field, kFileField)) {
      const std::string named = field.substr(std::char_traits<char>::length(kFileField));
      if (named == installerName) return true;
      *why = "the signature is for the file " + named + ", not " + installerName;
      return false;
    }
    begin = end + 1;
  }
  return true;
}

bool VerifyFile(const PublicKey& key, const platform::HeldFile& file,
                const std::string& signatureText, const std::string& installerName,
                std::string* trustedComment, std::string* why, const KeepGoing& keepGoing) {
  Signature signature;
  if (!ParseSignature(signatureText, &signature, why) || !VerifyParsed(key, signature, file, why, keepGoing) ||
      !NameBound(signature.trustedComment, installerName, why)) {
    return false;
  }
  *trustedComment = signature.trustedComment;
  return true;
}

}  // namespace installer_signature
