// The outcome record: one small JSON object the upgrader leaves beside
// "logs/" in its data folder before it starts the client again, so that the
// client can tell the user what became of the upgrade. The upgrader
// (BrisvaneUpgrade/outcome_writer.*) and the client library (client/) both
// build from these names. Constants only, the same on both systems.
//
// {"format": 1, "result": "installed", "installer": "Setup_1.2.3.exe",
//  "url": "https://example.com/Setup_1.2.3.exe", "bytesReceived": 1234,
//  "httpStatus": 200, "serverAnswered": true, "downloadErrorText": "",
//  "installerExitCode": 0, "scriptExitCode": 0,
//  "signatureVerified": true, "keyId": "DAC9B6FE8F81E607",
//  "requestId": "8214903551200923104",
//  "started": "2026-12-07T17:18:31Z", "ended": "2026-12-07T17:18:35Z",
//  "upgraderVersion": "1.0.0"}
//
// "downloadError", "installerExitCode", "scriptExitCode", "keyId",
// "signatureProblem" and "requestId" are absent when there is no such value
// (no failed download, an installer or script that did not end by exiting,
// no key, a signature not refused, a request without an id). "url" never
// holds user:password. "requestId" is the request's 64-bit id in decimal
// digits, a string so that no reader rounds it. "serverAnswered" tells
// whether the origin server sent a response (any status) to the last try;
// "downloadErrorText" is libcurl's own text for "downloadError" ("" when the
// download did not fail). Records of older upgraders lack both.
// "retryAfter" is the seconds a busy server asked to wait before the next
// try (its Retry-After) when the download failed on such an answer; absent
// otherwise, and in older upgraders' records.
#pragma once

namespace brisvane::platform {

constexpr char kOutcomeRecordName[] = "last-upgrade.json";
// The largest record a reader accepts; real ones are a few hundred bytes
// (the URL is the only long field).
constexpr unsigned long kMaxOutcomeRecordBytes = 256 * 1024;
constexpr int kOutcomeRecordFormat = 1;

namespace outcome {

// Field names.
constexpr char kFormat[] = "format";
constexpr char kResult[] = "result";
constexpr char kInstaller[] = "installer";
constexpr char kUrl[] = "url";
constexpr char kBytesReceived[] = "bytesReceived";
constexpr char kHttpStatus[] = "httpStatus";
constexpr char kDownloadError[] = "downloadError";  // the transfer's CURLcode
constexpr char kDownloadErrorText[] = "downloadErrorText";  // libcurl's text for it
constexpr char kServerAnswered[] = "serverAnswered";  // the server, not a proxy, answered
constexpr char kRetryAfter[] = "retryAfter";  // seconds the server asked to wait
constexpr char kInstallerExitCode[] = "installerExitCode";
constexpr char kScriptExitCode[] = "scriptExitCode";
constexpr char kSignatureVerified[] = "signatureVerified";
constexpr char kKeyId[] = "keyId";
constexpr char kSignatureProblem[] = "signatureProblem";  // why the signature was refused
constexpr char kRequestId[] = "requestId";
constexpr char kStarted[] = "started";  // UTC, "YYYY-MM-DDTHH:MM:SSZ"
constexpr char kEnded[] = "ended";
constexpr char kUpgraderVersion[] = "upgraderVersion";

// Values of kResult.
constexpr char kInstalled[] = "installed";                     // the installer exited with 0
constexpr char kInstallerFailed[] = "installer-failed";        // it exited with another code
constexpr char kInstallerTimeout[] = "installer-timeout";      // still running after 120 s
constexpr char kInstallerNotStarted[] = "installer-not-started";
constexpr char kDownloadFailed[] = "download-failed";
constexpr char kSignatureRefused[] = "signature-refused";

}  // namespace outcome
}  // namespace brisvane::platform

namespace platform = brisvane::platform;
