// The outcome record the upgrader leaves for the client it starts again
// (platform/outcome_record.h has its fields).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "folder.h"

// What one upgrade came to.
struct UpgradeOutcome {
  std::string result;     // one of the values in platform::outcome
  std::string installer;  // the installer's name
  std::string url;        // without user:password@
  long long bytesReceived = 0;
  int httpStatus = 0;
  std::optional<int> downloadError;
  std::string downloadErrorText;  // libcurl's text for downloadError
  bool serverAnswered = false;    // the origin server sent a response
  // The failed download's last answer asked to come back after so many seconds.
  std::optional<long long> retryAfter;
  std::optional<std::uint32_t> installerExitCode;
  std::optional<std::uint32_t> scriptExitCode;
  bool signatureVerified = false;
  std::string keyId;  // empty without a key
  std::string signatureProblem;  // why the signature was refused
  std::uint64_t requestId = 0;   // the request's id; 0 when it gave none
  std::chrono::system_clock::time_point started;
  std::chrono::system_clock::time_point ended;
};

// The record's JSON text.
std::string OutcomeJson(const UpgradeOutcome& outcome);

// Writes the record into `folder` (the held data folder): created new beside
// its final name, synced, renamed over the previous record and synced there,
// never through a link; readable by the client's user. False when any step
// failed (the previous record is then left as it was).
bool WriteOutcomeRecord(const platform::Folder& folder, const UpgradeOutcome& outcome);
