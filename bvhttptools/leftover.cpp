#include "leftover.h"

#include <cinttypes>
#include <cstdio>
#include <sstream>

namespace bvhttptools {

namespace {

constexpr char kRecordSuffix[] = ".resume";
constexpr char kRecordHeader[] = "brisvane-resume 1";
constexpr std::size_t kMaxRecordBytes = 4096;

// FNV-1a, 64 bits: stable across builds, and enough to tell URLs apart in a
// file nobody but the upgrader can write.
std::string UrlHash(const std::string& url) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (unsigned char c : url) {
    hash ^= c;
    hash *= 1099511628211ULL;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016" PRIx64, hash);
  return text;
}

bool Printable(const std::string& value) {
  for (unsigned char c : value) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  return !value.empty();
}

}  // namespace

std::string RecordNameOf(const std::string& partName) { return partName + kRecordSuffix; }

std::string ResumeRecordText(const std::string& url, const KnownResource& resource) {
  if (!Printable(resource.validator)) return std::string();
  return std::string(kRecordHeader) + "\nurl " + UrlHash(url) + "\ntag " + (resource.validatorIsTag ? "1" : "0") +
         "\ntotal " + std::to_string(static_cast<long long>(resource.fullSize)) + "\nvalidator " +
         resource.validator + "\n";
}

bool ParseResumeRecord(const std::string& text, const std::string& url, KnownResource* resource) {
  std::istringstream lines(text);
  std::string header, hash, validator;
  long long total = -1;
  int tag = -1;
  std::string key;
  if (!std::getline(lines, header) || header != kRecordHeader) return false;
  if (!(lines >> key >> hash) || key != "url" || hash != UrlHash(url)) return false;
  if (!(lines >> key >> tag) || key != "tag" || (tag != 0 && tag != 1)) return false;
  if (!(lines >> key >> total) || key != "total" || total < -1) return false;
  if (!(lines >> key) || key != "validator" || !std::getline(lines, validator) || validator.size() < 2) return false;
  validator.erase(0, 1);  // the space after the key
  if (!Printable(validator)) return false;
  resource->validator = validator;
  resource->validatorIsTag = tag == 1;
  resource->fullSize = total;
  return true;
}

platform::HeldFile TakeLeftover(const platform::Folder& folder, const std::string& partName,
                                const std::string& url, bool privateFile, KnownResource* resource) {
  const std::string recordName = RecordNameOf(partName);
  platform::HeldFile part = folder.OpenOwnLeftover(partName, privateFile);
  platform::HeldFile record = part.valid() ? folder.OpenOwnLeftover(recordName, privateFile) : platform::HeldFile();
  std::string text;
  KnownResource found;
  const bool ours = record.valid() && platform::ReadSmallFile(record, kMaxRecordBytes, &text) &&
                    ParseResumeRecord(text, url, &found) && part.size() > 0 &&
                    (found.fullSize < 0 || static_cast<curl_off_t>(part.size()) <= found.fullSize);
  record.Close();
  if (!ours) {
    // What is not provably ours, or not this URL's, goes: the name is
    // needed for the new download, and nothing of it is continued.
    part.Close();
    folder.RemoveName(partName);
    folder.RemoveName(recordName);
    return platform::HeldFile();
  }
  found.onDisk = static_cast<curl_off_t>(part.size());
  *resource = found;
  return part;
}

bool KeepResumeRecord(const platform::Folder& folder, const std::string& partName, const std::string& url,
                      const KnownResource& resource, bool privateFile) {
  const std::string recordName = RecordNameOf(partName);
  const std::string text = ResumeRecordText(url, resource);
  if (text.empty()) {
    folder.RemoveName(recordName);
    return true;
  }
  platform::HeldFile record = folder.CreateNew(recordName, privateFile);
  return record.valid() && record.Write(text.data(), text.size());
}

}  // namespace bvhttptools
