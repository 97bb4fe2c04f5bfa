// Any bytes as the outcome record: the reader never throws, reads a record
// only when it is a format-1 object whose result it knows, and gives a
// reason whenever it refuses.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "brisvane/upgrade_client.h"
#include "fuzz_check.h"
#include "record_file.h"

namespace {

using Status = brisvane::LastUpgradeRead::Status;

constexpr const char* kResultNames[] = {"installed",         "installer-failed",
                                        "installer-timeout", "installer-not-started",
                                        "download-failed",   "signature-refused"};

void CheckRead(const std::string& text, const brisvane::LastUpgrade& record) {
  const nlohmann::json object = nlohmann::json::parse(text);
  FUZZ_CHECK(object.is_object() && object.at("format").is_number_integer());
  FUZZ_CHECK(object.at("format").get<std::int64_t>() == 1);
  const int result = static_cast<int>(record.result);
  FUZZ_CHECK(result >= 0 && result < 6);
  FUZZ_CHECK(record.resultText == kResultNames[result]);
  FUZZ_CHECK(object.at("result") == record.resultText);
  // Optional, and read as written when there: an older record lacks them.
  FUZZ_CHECK(record.serverAnswered == object.value("serverAnswered", false));
  FUZZ_CHECK(record.downloadErrorText == object.value("downloadErrorText", std::string()));
  FUZZ_CHECK(record.retryAfter.has_value() == object.contains("retryAfter"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  WriteRecordFile(text);
  brisvane::LastUpgradeRead read;
  try {
    read = brisvane::ReadLastUpgrade();
  } catch (...) {
    FUZZ_CHECK(!"ReadLastUpgrade threw");
  }
  if (read.status == Status::kRead) {
    FUZZ_CHECK(read.reason.empty());
    CheckRead(text, read.record);
  } else {
    FUZZ_CHECK(read.status == Status::kUnreadable && !read.reason.empty());
  }
  return 0;
}
