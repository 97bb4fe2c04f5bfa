// Checking a downloaded installer against the publisher's key, in the format
// the `minisign` tool writes: Ed25519 over the file itself ("Ed", legacy) or
// over its BLAKE2b-512 hash ("ED", pre-hashed), plus a signature over the
// trusted comment. The cryptography is libsodium's.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "held_file.h"

namespace installer_signature {

using KeyId = std::array<std::uint8_t, 8>;

struct PublicKey {
  KeyId keyId{};
  std::array<std::uint8_t, 32> key{};
};

struct Signature {
  bool prehashed = false;
  KeyId keyId{};
  std::array<std::uint8_t, 64> signature{};
  std::string trustedComment;  // the text after "trusted comment: "
  std::array<std::uint8_t, 64> globalSignature{};
};

// The largest signature file accepted; real ones are about 300 bytes.
constexpr std::size_t kMaxSignatureBytes = 4096;

// The key id as minisign prints it (a little-endian number, upper-case hex).
std::string KeyIdHex(const KeyId& id);

// Parse the text of a public key file / a signature file; false with the
// reason in `why` when it is not in the expected shape.
bool ParsePublicKey(const std::string& text, PublicKey* key, std::string* why);
bool ParseSignature(const std::string& text, Signature* signature, std::string* why);

// Reads and parses the key file at `path` (a small file).
bool LoadPublicKey(const std::string& path, PublicKey* key, std::string* why);

// Asked between the chunks of a file being read: false gives the check up.
using KeepGoing = std::function<bool()>;

// Checks `file` (held open by the caller, who then runs that very file)
// against `signatureText`, the signature file's bytes, for the installer
// named `installerName`. On success `trustedComment` receives the signed
// comment. `keepGoing`, when set, can stop a pre-hashed check between
// chunks (a failure).
bool VerifyFile(const PublicKey& key, const platform::HeldFile& file,
                const std::string& signatureText, const std::string& installerName,
                std::string* trustedComment, std::string* why, const KeepGoing& keepGoing = nullptr);

// Whether the trusted comment lets the signature stand for `installerName`:
// a "file:NAME" field (tab-separated, as minisign writes it) must name it, so
// that a signed older installer cannot be replayed under a newer name; a
// comment without the field binds no name.
bool NameBound(const std::string& trustedComment, const std::string& installerName,
               std::string* why);

// The same, with the signature already parsed.
bool VerifyParsed(const PublicKey& key, const Signature& signature,
                  const platform::HeldFile& file, std::string* why, const KeepGoing& keepGoing = nullptr);

}  // namespace installer_signature
