#include "outcome_writer.h"

#include <QDateTime>
#include <nlohmann/json.hpp>

#include "outcome_record.h"

namespace {

namespace field = platform::outcome;

// "YYYY-MM-DDTHH:MM:SSZ"
std::string IsoUtc(std::chrono::system_clock::time_point when) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch());
  return QDateTime::fromSecsSinceEpoch(seconds.count(), Qt::UTC).toString(Qt::ISODate).toStdString();
}

}  // namespace

std::string OutcomeJson(const UpgradeOutcome& outcome) {
  nlohmann::ordered_json record = {
      {field::kFormat, platform::kOutcomeRecordFormat},
      {field::kResult, outcome.result},
      {field::kInstaller, outcome.installer},
      {field::kUrl, outcome.url},
      {field::kBytesReceived, outcome.bytesReceived},
      {field::kHttpStatus, outcome.httpStatus},
  };
  record[field::kServerAnswered] = outcome.serverAnswered;
  if (outcome.downloadError) record[field::kDownloadError] = *outcome.downloadError;
  // Bounded at its source (CURL_ERROR_SIZE); escaped by the dump below.
  record[field::kDownloadErrorText] = outcome.downloadErrorText;
  if (outcome.retryAfter) record[field::kRetryAfter] = *outcome.retryAfter;
  if (outcome.installerExitCode) record[field::kInstallerExitCode] = *outcome.installerExitCode;
  if (outcome.scriptExitCode) record[field::kScriptExitCode] = *outcome.scriptExitCode;
  record[field::kSignatureVerified] = outcome.signatureVerified;
  if (!outcome.keyId.empty()) record[field::kKeyId] = outcome.keyId;
  if (!outcome.signatureProblem.empty()) record[field::kSignatureProblem] = outcome.signatureProblem;
  // A string: 64 bits do not survive readers that take numbers as doubles.
  if (outcome.requestId != 0) record[field::kRequestId] = std::to_string(outcome.requestId);
  record[field::kStarted] = IsoUtc(outcome.started);
  record[field::kEnded] = IsoUtc(outcome.ended);
  record[field::kUpgraderVersion] = BRISVANE_VERSION;
  // Text from a request or a server may be any bytes: replaced, not thrown on.
  return record.dump(1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

bool WriteOutcomeRecord(const platform::Folder& folder, const UpgradeOutcome& outcome) {
  const std::string text = OutcomeJson(outcome);
  const std::string name = platform::kOutcomeRecordName;
  const std::string fresh = name + ".new";
  platform::HeldFile file = folder.CreateNew(fresh);
  const bool written = file.valid() && file.Write(text.data(), text.size()) && file.LetOthersRead() &&
                       folder.GiveToOwner(file) &&
                       file.Sync() && folder.Rename(file, fresh, name);
  if (!written && file.valid()) folder.Remove(fresh, file);
  return written;
}
