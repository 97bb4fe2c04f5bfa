// Reading the outcome record the upgrader leaves in its data folder
// (platform/outcome_record.h) for the C++ and the C interface. The record is
// the user's own file, read as the user: held (never through a link at its
// name), bounded in size, and refused whole when any part of it is wrong,
// since a client telling its user what happened must not guess.
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "brisvane/upgrade_client.h"
#include "c_buffers.h"
#include "data_dir.h"
#include "held_file.h"
#include "last_error.h"
#include "outcome_record.h"

namespace brisvane {

namespace {

namespace outcome = platform::outcome;
using Json = nlohmann::json;
using Result = LastUpgrade::Result;
using Status = LastUpgradeRead::Status;

constexpr std::pair<Result, const char*> kResults[] = {
    {Result::kInstalled, outcome::kInstalled},
    {Result::kInstallerFailed, outcome::kInstallerFailed},
    {Result::kInstallerTimeout, outcome::kInstallerTimeout},
    {Result::kInstallerNotStarted, outcome::kInstallerNotStarted},
    {Result::kDownloadFailed, outcome::kDownloadFailed},
    {Result::kSignatureRefused, outcome::kSignatureRefused},
};

LastUpgradeRead Refused(Status status, std::string reason) {
  LastUpgradeRead read;
  read.status = status;
  read.reason = std::move(reason);
  return read;
}

// A value as a reason shows it: JSON, ASCII only, so one line however short.
// An array or an object only by its kind: dumping one recurses as deep as it
// nests, and a record nested 100000 deep fits in its size limit.
std::string Shown(const Json& value) {
  if (value.is_structured()) return value.type_name();
  std::string text = value.dump(-1, ' ', true, Json::error_handler_t::replace);
  if (text.size() > 40) text = text.substr(0, 37) + "...";
  return text;
}

// `value` as an Int when it is a JSON integer within Int's range.
template <typename Int>
std::optional<Int> AsInteger(const Json& value) {
  using Limits = std::numeric_limits<Int>;
  if (value.is_number_unsigned()) {
    const std::uint64_t n = value.get<std::uint64_t>();
    if (n > static_cast<std::uint64_t>(Limits::max())) return std::nullopt;
    return static_cast<Int>(n);
  }
  if (!value.is_number_integer() || !Limits::is_signed) return std::nullopt;
  const std::int64_t n = value.get<std::int64_t>();
  if (n < static_cast<std::int64_t>(Limits::min())) return std::nullopt;
  return static_cast<Int>(n);
}

// Takes the record's fields one at a time and keeps the first fault found.
class Fields {
 public:
  explicit Fields(const Json& object) : object_(object) {}
  const std::string& fault() const { return fault_; }

  std::string Text(const char* name, bool required = true) {
    const Json* value = Find(name, required);
    if (value == nullptr) return std::string();
    if (value->is_string()) return value->get<std::string>();
    Fail(name, "is not a string", *value);
    return std::string();
  }
  bool Flag(const char* name, bool required = true) {
    const Json* value = Find(name, required);
    if (value != nullptr && !value->is_boolean()) Fail(name, "is not true or false", *value);
    return value != nullptr && value->is_boolean() && value->get<bool>();
  }
  template <typename Int>
  std::optional<Int> Integer(const char* name, bool required = true) {
    const Json* value = Find(name, required);
    if (value == nullptr) return std::nullopt;
    const std::optional<Int> n = AsInteger<Int>(*value);
    if (!n) Fail(name, "is not an integer in its range", *value);
    return n;
  }

 private:
  const Json* Find(const char* name, bool required) {
    const auto found = object_.find(name);
    if (found != object_.end()) return &*found;
    if (required && fault_.empty()) fault_ = std::string("field \"") + name + "\" is missing";
    return nullptr;
  }
  void Fail(const char* name, const char* why, const Json& value) {
    if (fault_.empty()) fault_ = std::string("field \"") + name + "\" " + why + ": " + Shown(value);
  }

  const Json& object_;
  std::string fault_;
};

// A request id's decimal digits: nothing else, no 0 (which is none).
std::optional<std::uint64_t> RequestIdOf(const std::string& digits) {
  std::uint64_t id = 0;
  const char* end = digits.data() + digits.size();
  const auto [stop, error] = std::from_chars(digits.data(), end, id);
  if (error != std::errc() || stop != end || id == 0) return std::nullopt;
  return id;
}

// Every field but "format" and "result" into `record`; the first fault, or "".
std::string TakeFields(const Json& object, LastUpgrade* record) {
  Fields fields(object);
  record->installer = fields.Text(outcome::kInstaller);
  record->url = fields.Text(outcome::kUrl);
  record->bytesReceived = fields.Integer<std::uint64_t>(outcome::kBytesReceived).value_or(0);
  record->httpStatus = fields.Integer<int>(outcome::kHttpStatus).value_or(0);
  record->downloadError = fields.Integer<int>(outcome::kDownloadError, false);
  record->installerExitCode = fields.Integer<std::uint32_t>(outcome::kInstallerExitCode, false);
  record->scriptExitCode = fields.Integer<std::uint32_t>(outcome::kScriptExitCode, false);
  record->signatureVerified = fields.Flag(outcome::kSignatureVerified);
  record->keyId = fields.Text(outcome::kKeyId, false);
  record->started = fields.Text(outcome::kStarted);
  record->ended = fields.Text(outcome::kEnded);
  record->upgraderVersion = fields.Text(outcome::kUpgraderVersion);
  record->signatureProblem = fields.Text(outcome::kSignatureProblem, false);
  // An older upgrader's record has neither: then no answer and no text.
  record->serverAnswered = fields.Flag(outcome::kServerAnswered, false);
  record->downloadErrorText = fields.Text(outcome::kDownloadErrorText, false);
  record->retryAfter = fields.Integer<std::uint64_t>(outcome::kRetryAfter, false);
  const std::string requestId = fields.Text(outcome::kRequestId, false);
  if (!requestId.empty() && fields.fault().empty()) {
    record->requestId = RequestIdOf(requestId);
    if (!record->requestId) return "field \"requestId\" is not a 64-bit id: " + Shown(requestId);
  }
  return fields.fault();
}

// The record in `text`, or why it cannot be read. The format comes first: a
// later format may have changed every other field.
LastUpgradeRead Parse(const std::string& text) {
  Json object;
  try {
    object = Json::parse(text);
  } catch (const Json::parse_error& error) {
    return Refused(Status::kUnreadable, "not valid JSON (at byte " + std::to_string(error.byte) + ")");
  }
  if (!object.is_object()) return Refused(Status::kUnreadable, "not a JSON object");
  Fields head(object);
  const std::optional<int> format = head.Integer<int>(platform::outcome::kFormat);
  const std::string resultText = head.Text(outcome::kResult);
  if (format && *format != platform::kOutcomeRecordFormat) {
    return Refused(Status::kUnreadable, "format " + std::to_string(*format) + ", where this library reads " +
                                           std::to_string(platform::kOutcomeRecordFormat));
  }
  if (!head.fault().empty()) return Refused(Status::kUnreadable, head.fault());
  LastUpgradeRead read;
  read.status = Status::kRead;
  const std::string fault = TakeFields(object, &read.record);
  if (!fault.empty()) return Refused(Status::kUnreadable, fault);
  for (const auto& [result, name] : kResults) {
    if (resultText == name) {
      read.record.result = result;
      read.record.resultText = resultText;
      return read;
    }
  }
  return Refused(Status::kUnreadable, "unknown result " + Shown(object[outcome::kResult]));
}

// The record file's bytes into `*text`, or why there are none.
LastUpgradeRead ReadRecordFile(const std::string& path, std::string* text) {
  platform::HeldFile file;
  if (!file.Open(path)) {
    const unsigned long code = platform::LastErrorCode();
    if (platform::IsNotFoundError(code)) {
      return Refused(Status::kNoRecord, "no upgrade has left a record: there is no " + path);
    }
    return Refused(Status::kUnreadable, platform::ErrorText(code));
  }
  if (file.size() > platform::kMaxOutcomeRecordBytes) {
    return Refused(Status::kUnreadable, std::to_string(file.size()) + " bytes, more than the " +
                                            std::to_string(platform::kMaxOutcomeRecordBytes) +
                                            " a record may have");
  }
  if (!platform::ReadSmallFile(file, platform::kMaxOutcomeRecordBytes, text)) {
    return Refused(Status::kUnreadable, "reading failed or the file grew meanwhile");
  }
  LastUpgradeRead read;
  read.status = Status::kRead;
  return read;
}

}  // namespace

bool AnswersRequest(const LastUpgrade& record, std::uint64_t requestId) {
  return requestId != 0 && record.requestId == requestId;
}

LastUpgradeRead ReadLastUpgrade() {
  std::string reason;
  const std::string path = platform::UpgraderDataFile(platform::kOutcomeRecordName, &reason);
  if (path.empty()) return Refused(Status::kUnreadable, "no data folder to look in: " + reason);
  try {
    std::string text;
    LastUpgradeRead read = ReadRecordFile(path, &text);
    if (read.status == Status::kRead) read = Parse(text);
    if (read.status == Status::kUnreadable) read.reason = path + " cannot be read: " + read.reason;
    return read;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& error) {
    return Refused(Status::kUnreadable, path + " cannot be read: " + error.what());
  }
}

}  // namespace brisvane

namespace {

using brisvane::c_buffers::CopyText;

// The record into the C struct; false when a text field was cut.
bool CopyRecord(const brisvane::LastUpgrade& record, brisvane_last_upgrade* out) {
  out->result = static_cast<int>(record.result);
  out->bytes_received = record.bytesReceived;
  out->http_status = record.httpStatus;
  out->has_download_error = record.downloadError.has_value();
  out->download_error = record.downloadError.value_or(0);
  out->has_installer_exit_code = record.installerExitCode.has_value();
  out->installer_exit_code = record.installerExitCode.value_or(0);
  out->has_script_exit_code = record.scriptExitCode.has_value();
  out->script_exit_code = record.scriptExitCode.value_or(0);
  out->signature_verified = record.signatureVerified;
  out->has_request_id = record.requestId.has_value();
  out->request_id = record.requestId.value_or(0);
  out->server_answered = record.serverAnswered;
  out->has_retry_after = record.retryAfter.has_value();
  out->retry_after = record.retryAfter.value_or(0);
  const struct {
    const std::string& text;
    char* field;
    std::size_t size;
  } texts[] = {{record.resultText, out->result_text, sizeof out->result_text},
               {record.installer, out->installer, sizeof out->installer},
               {record.url, out->url, sizeof out->url},
               {record.keyId, out->key_id, sizeof out->key_id},
               {record.started, out->started, sizeof out->started},
               {record.ended, out->ended, sizeof out->ended},
               {record.upgraderVersion, out->upgrader_version, sizeof out->upgrader_version},
               {record.signatureProblem, out->signature_problem, sizeof out->signature_problem},
               {record.downloadErrorText, out->download_error_text,
                sizeof out->download_error_text}};
  bool whole = true;
  for (const auto& t : texts) whole = CopyText(t.text, t.field, t.size) && whole;
  return whole;
}

}  // namespace

extern "C" int brisvane_last_upgrade_answers(const struct brisvane_last_upgrade* record,
                                             uint64_t request_id) {
  return record != nullptr && request_id != 0 && record->has_request_id &&
         record->request_id == request_id;
}

extern "C" int brisvane_read_last_upgrade(struct brisvane_last_upgrade* out, char* reason,
                                          size_t reason_size) {
  if (out != nullptr) std::memset(out, 0, sizeof *out);
  try {
    const brisvane::LastUpgradeRead read = brisvane::ReadLastUpgrade();
    CopyText(read.reason, reason, reason_size);
    switch (read.status) {
      case brisvane::LastUpgradeRead::Status::kRead:
        if (out != nullptr) out->cut = !CopyRecord(read.record, out);
        return BRISVANE_RECORD_READ;
      case brisvane::LastUpgradeRead::Status::kNoRecord:
        return BRISVANE_NO_RECORD;
      case brisvane::LastUpgradeRead::Status::kUnreadable:
        break;
    }
  } catch (...) {
    brisvane::c_buffers::CopyExceptionReason(reason, reason_size);
  }
  return BRISVANE_RECORD_UNREADABLE;
}
