#include "leftover.h"

#include <sodium.h>

#include <algorithm>
#include <mutex>
#include <sstream>
#include <vector>

namespace bvhttptools {

namespace {

constexpr char kRecordSuffix[] = ".resume";
constexpr char kRecordFamily[] = "brisvane-resume ";
// 2: the record names the .part it was written for; a record of form 1
// could be paired with any .part by renaming, and is never continued.
constexpr char kRecordHeader[] = "brisvane-resume 2";
constexpr std::size_t kMaxRecordBytes = 4096;

constexpr char kNotOurs[] = "it is not provably the upgrader's own";
constexpr char kNoRecord[] = "it has no record";
constexpr char kOtherFile[] = "it is not the file its record was made for";
constexpr char kUnreadable[] = "its record cannot be read";

bool SodiumReady() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] { ready = sodium_init() >= 0; });
  return ready;
}

// BLAKE2b over the URL, as hex: the URL itself may hold a password, and no
// URL a user picks can share its hash with the one a record was made for.
// "" when libsodium cannot be set up.
std::string UrlHash(const std::string& url) {
  if (!SodiumReady()) return std::string();
  unsigned char digest[crypto_generichash_BYTES];
  if (crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(url.data()), url.size(),
                         nullptr, 0) != 0) {
    return std::string();
  }
  char hex[2 * sizeof digest + 1];
  sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
  return hex;
}

bool Printable(const std::string& value) {
  for (unsigned char c : value) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  return !value.empty();
}

// Why the held leftover `part` cannot be continued under the record
// `recordName` beside it; "" when it can, with `*found` what it continues.
std::string Unpaired(const platform::Folder& folder, const platform::HeldFile& part, const std::string& recordName,
                     const std::string& url, bool privateFile, KnownResource* found) {
  platform::HeldFile record = folder.OpenOwnLeftover(recordName, privateFile);
  std::string text;
  if (!record.valid() || !platform::ReadSmallFile(record, kMaxRecordBytes, &text)) return kNoRecord;
  ResumeRecord made;
  const std::string why = ParseResumeRecord(text, url, &made);
  if (!why.empty()) return why;
  platform::FileIdentity now;
  if (!part.Identify(&now)) return "its identity cannot be read";
  // Only the upgrader writes its own .part, and only ever appends to it: the
  // very file the record was made for is at least as long as it was then.
  if (now.id != made.part.id || now.size < made.part.size) return kOtherFile;
  if (now.size == 0) return "it holds nothing";
  const curl_off_t onDisk = static_cast<curl_off_t>(now.size);
  if (made.resource.fullSize >= 0 && onDisk > made.resource.fullSize) return "it is longer than the resource";
  *found = made.resource;
  found->onDisk = onDisk;
  return std::string();
}

bool Named(const platform::Folder& folder, const std::string& name) {
  const std::vector<std::string> names = folder.Names();
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

std::string RecordNameOf(const std::string& partName) { return partName + kRecordSuffix; }

std::string ResumeRecordText(const std::string& url, const KnownResource& resource,
                             const platform::FileIdentity& part) {
  const std::string hash = UrlHash(url);
  const bool oneWord = part.id.find(' ') == std::string::npos;
  if (!Printable(resource.validator) || !Printable(part.id) || !oneWord || hash.empty()) return std::string();
  return std::string(kRecordHeader) + "\nurl " + hash + "\nfile " + part.id + "\nsize " +
         std::to_string(part.size) + "\ntag " + (resource.validatorIsTag ? "1" : "0") + "\ntotal " +
         std::to_string(static_cast<long long>(resource.fullSize)) + "\nvalidator " + resource.validator + "\n";
}

std::string ParseResumeRecord(const std::string& text, const std::string& url, ResumeRecord* record) {
  std::istringstream lines(text);
  std::string header, hash, id, validator, key;
  long long size = -1, total = -1;
  int tag = -1;
  if (!std::getline(lines, header)) return kUnreadable;
  if (header != kRecordHeader) {
    return header.rfind(kRecordFamily, 0) == 0 ? "its record is of an older form" : kUnreadable;
  }
  if (!(lines >> key >> hash) || key != "url") return kUnreadable;
  const std::string expected = UrlHash(url);
  if (expected.empty()) return "the URL cannot be hashed";
  if (hash != expected) return "its record was made for another URL";
  if (!(lines >> key >> id) || key != "file" || !Printable(id)) return kUnreadable;
  if (!(lines >> key >> size) || key != "size" || size < 0) return kUnreadable;
  if (!(lines >> key >> tag) || key != "tag" || (tag != 0 && tag != 1)) return kUnreadable;
  if (!(lines >> key >> total) || key != "total" || total < -1) return kUnreadable;
  if (!(lines >> key) || key != "validator" || !std::getline(lines, validator) || validator.size() < 2) {
    return kUnreadable;
  }
  validator.erase(0, 1);  // the space after the key
  if (!Printable(validator)) return kUnreadable;
  record->resource.validator = validator;
  record->resource.validatorIsTag = tag == 1;
  record->resource.fullSize = total;
  record->part.id = id;
  record->part.size = static_cast<std::uint64_t>(size);
  return std::string();
}

platform::HeldFile TakeLeftover(const platform::Folder& folder, const std::string& partName,
                                const std::string& url, bool privateFile, KnownResource* resource,
                                std::string* why) {
  const std::string recordName = RecordNameOf(partName);
  platform::HeldFile part = folder.OpenOwnLeftover(partName, privateFile);
  KnownResource found;
  if (part.valid()) {
    *why = Unpaired(folder, part, recordName, url, privateFile, &found);
  } else {
    // Nothing to say when there simply is no leftover.
    *why = Named(folder, partName) ? kNotOurs : "";
  }
  if (!part.valid() || !why->empty()) {
    // What is not provably ours, not this URL's or not the file its record
    // was made for goes: the name is needed for the new download, and
    // nothing of it is continued.
    part.Close();
    folder.RemoveName(partName);
    folder.RemoveName(recordName);
    return platform::HeldFile();
  }
  *resource = found;
  return part;
}

bool KeepResumeRecord(const platform::Folder& folder, const platform::HeldFile& part, const std::string& partName,
                      const std::string& url, const KnownResource& resource, bool privateFile) {
  const std::string recordName = RecordNameOf(partName);
  if (!Printable(resource.validator)) {
    folder.RemoveName(recordName);
    return true;
  }
  // The file as it is now: its identity, and the size the next take-up
  // must find at least.
  platform::FileIdentity identity;
  const std::string text = part.valid() && part.Identify(&identity) ? ResumeRecordText(url, resource, identity)
                                                                       : std::string();
  if (text.empty()) {
    // A record of an earlier file must not stand beside this one.
    folder.RemoveName(recordName);
    return false;
  }
  platform::HeldFile record = folder.CreateNew(recordName, privateFile);
  return record.valid() && record.Write(text.data(), text.size());
}

}  // namespace bvhttptools
