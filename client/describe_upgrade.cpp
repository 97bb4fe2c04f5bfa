// Words for what became of the last upgrade: one line for the user, in
// English or Simplified Chinese, saying what happened and why in terms a user
// acts on; the same for an upgrade that left no answer; and one English line
// with the numbers behind it for the client's own log.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "brisvane/upgrade_client.h"
#include "c_buffers.h"

namespace brisvane {

namespace {

using Result = LastUpgrade::Result;
using Causes = std::vector<std::string>;
constexpr int kLanguages = 2;

// Reason phrases of the statuses a failed download shows (400 and up):
// RFC 9110's, and those of the RFCs that added 423-431, 451 and 506-511.
constexpr struct {
  int status;
  const char* phrase;
} kHttpPhrases[] = {
    {400, "Bad Request"}, {401, "Unauthorized"}, {402, "Payment Required"}, {403, "Forbidden"},
    {404, "Not Found"}, {405, "Method Not Allowed"}, {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"}, {408, "Request Timeout"}, {409, "Conflict"},
    {410, "Gone"}, {411, "Length Required"}, {412, "Precondition Failed"},
    {413, "Content Too Large"}, {414, "URI Too Long"}, {415, "Unsupported Media Type"},
    {416, "Range Not Satisfiable"}, {417, "Expectation Failed"}, {421, "Misdirected Request"},
    {422, "Unprocessable Content"}, {423, "Locked"}, {424, "Failed Dependency"},
    {425, "Too Early"}, {426, "Upgrade Required"}, {428, "Precondition Required"},
    {429, "Too Many Requests"}, {431, "Request Header Fields Too Large"},
    {451, "Unavailable For Legal Reasons"}, {500, "Internal Server Error"},
    {501, "Not Implemented"}, {502, "Bad Gateway"}, {503, "Service Unavailable"},
    {504, "Gateway Timeout"}, {505, "HTTP Version Not Supported"},
    {506, "Variant Also Negotiates"}, {507, "Insufficient Storage"}, {508, "Loop Detected"},
    {510, "Not Extended"}, {511, "Network Authentication Required"},
};

// The reasons a line gives, per language; %1 stands for a value.
enum Cause {
  kScriptExit, kInstallerExit, kInstallerNoCode, kTimeout, kNotStarted, kServerRefused,
  kServerFault, kHostNotFound, kUnreachable, kNoAnswerInTime, kNoSecureConnection, kBrokeOff,
  kNotSaved, kSignature, kSignatureKey, kCauseCount,
};
constexpr const char* kCauses[kCauseCount][kLanguages] = {
    {"the post-install script exited with code %1", "安装后脚本的退出码为 %1"},
    {"the installer exited with code %1", "安装程序的退出码为 %1"},
    {"the installer ended without an exit code", "安装程序未正常退出，没有退出码"},
    {"the installer was still running after 2 minutes", "安装程序运行 2 分钟后仍未结束"},
    {"the installer could not be started", "无法启动安装程序"},
    {"the server refused it (%1)", "服务器拒绝了下载（%1）"},
    {"the server failed to provide it (%1)", "服务器出错，无法提供下载（%1）"},
    {"the server's name could not be found", "找不到服务器的地址"},
    {"the server could not be reached", "无法连接到服务器"},
    {"the server did not answer in time", "服务器未能及时响应"},
    {"no secure connection to the server could be made", "无法与服务器建立安全连接"},
    {"the connection to the server broke off", "与服务器的连接中断了"},
    {"it could not be saved on this computer", "无法保存到这台电脑上"},
    {"its signature was not accepted", "其签名未通过验证"},
    {"its signature was not accepted for key %1", "其签名未通过密钥 %1 的验证"},
};

// The few libcurl codes a user's sentence tells apart, for a download no
// server answered. CURLcode values are libcurl's ABI, never renumbered, so
// these stay right whatever libcurl the upgrader was built with; every other
// code is told only by whether a server answered (httpStatus and
// serverAnswered), and its own number and text go to the detail line. Kept
// to failures a user can do something about: a mistyped or unknown address
// (6), no network or a server that is down (7, and any other), a network
// too slow or blocked (28), a proxy, a clock or an inspecting firewall that
// breaks secure connections (35, 60).
constexpr struct {
  int code;
  Cause cause;
} kUnansweredCodes[] = {
    {6, kHostNotFound}, {7, kUnreachable}, {28, kNoAnswerInTime},
    {35, kNoSecureConnection}, {60, kNoSecureConnection},
};
// CURLE_WRITE_ERROR: the upgrader also records it when its download folder
// cannot be used; either way the fault is on this computer, not the server.
constexpr int kCurlWriteError = 23;

// How a line is put together in each language.
constexpr struct {
  const char* name;        // the installer's name, to follow "update"
  const char* joiner;      // between two causes
  const char* end;         // of the line
  const char* unknown;     // a result this library does not know
  const char* unanswered;  // no record answers the request
} kGrammar[kLanguages] = {
    {" %1", "; ", ".", "What became of the last update is unknown (result %1)",
     "The update did not finish: it was closed or stopped before its end. Whether the new "
     "version was installed is not known."},
    {" %1 ", "，", "。", "上次更新的结果未知（结果 %1）",
     "更新未完成：它在结束前被关闭或中止。无法确定新版本是否已安装。"},
};

std::string Fill(const char* format, const std::string& value) {
  std::string text = format;
  const std::size_t at = text.find("%1");
  return at == std::string::npos ? text : text.replace(at, 2, value);
}

// Record text as one line: a control character would break it.
std::string Shown(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return text;
}

// Windows reports crashes as NTSTATUS codes, known by their hex form.
std::string ExitCode(std::uint32_t code) {
  std::string text = std::to_string(code);
  if (code < 0x10000u) return text;
  char hex[16];
  std::snprintf(hex, sizeof hex, " (0x%08X)", static_cast<unsigned>(code));
  return text + hex;
}

std::string HttpText(int status) {
  std::string text = "HTTP " + std::to_string(status);
  for (const auto& known : kHttpPhrases) {
    if (known.status == status) return text + " " + known.phrase;
  }
  return text;
}

void InstalledCauses(const LastUpgrade& record, int lang, Causes* causes) {
  if (record.scriptExitCode.value_or(0) != 0) {
    causes->push_back(Fill(kCauses[kScriptExit][lang], ExitCode(*record.scriptExitCode)));
  }
}

void FailedCauses(const LastUpgrade& record, int lang, Causes* causes) {
  causes->push_back(record.installerExitCode
                        ? Fill(kCauses[kInstallerExit][lang], ExitCode(*record.installerExitCode))
                        : kCauses[kInstallerNoCode][lang]);
}

void TimeoutCauses(const LastUpgrade&, int lang, Causes* causes) {
  causes->push_back(kCauses[kTimeout][lang]);
}

void NotStartedCauses(const LastUpgrade&, int lang, Causes* causes) {
  causes->push_back(kCauses[kNotStarted][lang]);
}

// An error status tells most (the server said no, or failed); then a fault
// on this computer; then whether a server answered at all: one that did
// broke off, one that did not is told by the code where it is known. A
// record older than "serverAnswered" still tells an answer by its status.
void DownloadCauses(const LastUpgrade& record, int lang, Causes* causes) {
  const int code = record.downloadError.value_or(0);
  const int status = record.httpStatus;
  if (status >= 400) {
    causes->push_back(Fill(kCauses[status >= 500 ? kServerFault : kServerRefused][lang],
                           HttpText(status)));
  } else if (code == kCurlWriteError) {
    causes->push_back(kCauses[kNotSaved][lang]);
  } else if (record.serverAnswered || status > 0) {
    if (code != 0) causes->push_back(kCauses[kBrokeOff][lang]);
  } else if (code != 0) {
    Cause cause = kUnreachable;
    for (const auto& known : kUnansweredCodes) {
      if (known.code == code) cause = known.cause;
    }
    causes->push_back(kCauses[cause][lang]);
  }
}

// The key's id is the same in every language; the upgrader's own words for
// the problem are English and technical, so they go to the detail line.
void SignatureCauses(const LastUpgrade& record, int lang, Causes* causes) {
  causes->push_back(record.keyId.empty() ? kCauses[kSignature][lang]
                                         : Fill(kCauses[kSignatureKey][lang], Shown(record.keyId)));
}

// Per result: the sentence's start in each language (%1: the installer's
// name, when known), what leads to its causes, and which causes it gives.
constexpr struct {
  Result result;
  const char* head[kLanguages];
  const char* lead[kLanguages];
  void (*causes)(const LastUpgrade&, int, Causes*);
} kWordings[] = {
    {Result::kInstalled, {"The update%1 was installed", "更新%1已安装"}, {", but ", "，但"},
     InstalledCauses},
    {Result::kInstallerFailed, {"The update%1 was not installed", "更新%1未能安装"}, {": ", "："},
     FailedCauses},
    {Result::kInstallerTimeout, {"The update%1 may not be complete", "更新%1可能未完成"},
     {": ", "："}, TimeoutCauses},
    {Result::kInstallerNotStarted, {"The update%1 was not installed", "更新%1未能安装"},
     {": ", "："}, NotStartedCauses},
    {Result::kDownloadFailed, {"The update%1 could not be downloaded", "更新%1下载失败"},
     {": ", "："}, DownloadCauses},
    {Result::kSignatureRefused, {"The update%1 was refused", "更新%1被拒绝"}, {": ", "："},
     SignatureCauses},
};

// When to try again, from a busy server's wait, in the largest unit that
// fits, rounded up so that the user does not come back too early.
constexpr struct {
  std::uint64_t seconds;
  const char* unit[kLanguages];  // %1: the count; singular first in English
  const char* units[kLanguages];
} kWaitUnits[] = {
    {86400, {"1 day", "1 天"}, {"%1 days", "%1 天"}},
    {3600, {"1 hour", "1 小时"}, {"%1 hours", "%1 小时"}},
    {60, {"1 minute", "1 分钟"}, {"%1 minutes", "%1 分钟"}},
    {1, {"1 second", "1 秒"}, {"%1 seconds", "%1 秒"}},
};
constexpr const char* kTryAgain[kLanguages] = {" The server is busy; try again in %1.",
                                               "服务器繁忙，请在 %1后重试。"};
constexpr const char* kTryAgainSoon[kLanguages] = {" The server is busy; try again in a moment.",
                                                   "服务器繁忙，请稍后重试。"};

std::string TryAgain(std::uint64_t seconds, int lang) {
  if (seconds == 0) return kTryAgainSoon[lang];
  // Two minutes read better as minutes than as 120 seconds; below two of a
  // unit, the next smaller one.
  for (const auto& unit : kWaitUnits) {
    if (seconds < 2 * unit.seconds && unit.seconds > 1) continue;
    const std::uint64_t count = seconds / unit.seconds + (seconds % unit.seconds != 0 ? 1 : 0);
    const std::string span =
        count == 1 ? unit.unit[lang] : Fill(unit.units[lang], std::to_string(count));
    return Fill(kTryAgain[lang], span);
  }
  return kTryAgainSoon[lang];
}

// Any value but Chinese is English, as the C functions' unknown numbers are.
int LanguageIndex(Language language) { return language == Language::kSimplifiedChinese ? 1 : 0; }

Language LanguageOf(int language) {
  return language == BRISVANE_LANGUAGE_SIMPLIFIED_CHINESE ? Language::kSimplifiedChinese
                                                          : Language::kEnglish;
}

// "; name value" when `value` is not empty.
void AddPart(std::string* line, const char* name, const std::string& value) {
  if (!value.empty()) *line += std::string("; ") + name + " " + Shown(value);
}

std::string Field(const char* text, std::size_t size) {
  return std::string(text, std::find(text, text + size, '\0'));
}

// The C struct as the C++ record. Text fields are read up to their size:
// a caller may have filled one to the end without a NUL.
LastUpgrade FromC(const brisvane_last_upgrade& in) {
  LastUpgrade out;
  out.result = static_cast<Result>(in.result);
  out.resultText = Field(in.result_text, sizeof in.result_text);
  out.installer = Field(in.installer, sizeof in.installer);
  out.url = Field(in.url, sizeof in.url);
  out.bytesReceived = in.bytes_received;
  out.httpStatus = in.http_status;
  if (in.has_download_error) out.downloadError = in.download_error;
  if (in.has_installer_exit_code) out.installerExitCode = in.installer_exit_code;
  if (in.has_script_exit_code) out.scriptExitCode = in.script_exit_code;
  out.signatureVerified = in.signature_verified != 0;
  out.keyId = Field(in.key_id, sizeof in.key_id);
  out.started = Field(in.started, sizeof in.started);
  out.ended = Field(in.ended, sizeof in.ended);
  out.upgraderVersion = Field(in.upgrader_version, sizeof in.upgrader_version);
  if (in.has_request_id) out.requestId = in.request_id;
  out.signatureProblem = Field(in.signature_problem, sizeof in.signature_problem);
  out.serverAnswered = in.server_answered != 0;
  out.downloadErrorText = Field(in.download_error_text, sizeof in.download_error_text);
  if (in.has_retry_after) out.retryAfter = in.retry_after;
  return out;
}

// What the C functions hand back: the line, or "" and 0 when there is none
// or no memory for it, so that 0 always means there is nothing to show.
template <typename Make>
size_t ToCaller(Make make, char* text, size_t text_size) {
  using c_buffers::CopyText;
  try {
    const std::string line = make();
    CopyText(line, text, text_size);
    return line.size();
  } catch (...) {
  }
  CopyText("", text, text_size);
  return 0;
}

}  // namespace

std::string DescribeLastUpgrade(const LastUpgrade& record, Language language) {
  const int lang = LanguageIndex(language);
  const auto& grammar = kGrammar[lang];
  for (const auto& wording : kWordings) {
    if (wording.result != record.result) continue;
    const std::string name =
        record.installer.empty() ? std::string() : Fill(grammar.name, Shown(record.installer));
    std::string line = Fill(wording.head[lang], name);
    Causes causes;
    wording.causes(record, lang, &causes);
    for (std::size_t i = 0; i < causes.size(); ++i) {
      line += (i == 0 ? wording.lead[lang] : grammar.joiner) + causes[i];
    }
    line += grammar.end;
    if (record.result == Result::kDownloadFailed && record.retryAfter) line += TryAgain(*record.retryAfter, lang);
    return line;
  }
  return Fill(grammar.unknown, std::to_string(static_cast<int>(record.result))) + grammar.end;
}

// The upgrader writes its record before it starts the client again, on every
// road; a request no record answers never came to that point, and nothing
// tells whether its installer had run by then.
std::string DescribeUnansweredUpgrade(Language language) {
  return kGrammar[LanguageIndex(language)].unanswered;
}

// Only what the record holds: absent values are left out, not shown as 0.
std::string DescribeLastUpgradeDetail(const LastUpgrade& record) {
  const std::string result = record.resultText.empty()
                                 ? "result " + std::to_string(static_cast<int>(record.result))
                                 : Shown(record.resultText);
  std::string line = "last upgrade: " + result;
  AddPart(&line, "installer", record.installer);
  AddPart(&line, "request", record.requestId ? std::to_string(*record.requestId) : "none");
  if (record.httpStatus != 0) AddPart(&line, "HTTP status", std::to_string(record.httpStatus));
  if (record.downloadError) {
    AddPart(&line, "server answered", record.serverAnswered ? "yes" : "no");
    AddPart(&line, "libcurl code", std::to_string(*record.downloadError));
    if (!record.downloadErrorText.empty()) line += ": " + Shown(record.downloadErrorText);
    AddPart(&line, "bytes received", std::to_string(record.bytesReceived));
    if (record.retryAfter) AddPart(&line, "retry after", std::to_string(*record.retryAfter) + " s");
  }
  if (record.installerExitCode) {
    AddPart(&line, "installer exit code", ExitCode(*record.installerExitCode));
  }
  if (record.scriptExitCode) AddPart(&line, "script exit code", ExitCode(*record.scriptExitCode));
  AddPart(&line, "key", record.keyId);
  AddPart(&line, "signature problem:", record.signatureProblem);
  AddPart(&line, "upgrader", record.upgraderVersion);
  return line;
}

}  // namespace brisvane

extern "C" size_t brisvane_describe_last_upgrade(const struct brisvane_last_upgrade* record,
                                                 int language, char* text, size_t text_size) {
  return brisvane::ToCaller(
      [&] {
        return record == nullptr ? std::string()
                                 : brisvane::DescribeLastUpgrade(brisvane::FromC(*record),
                                                                 brisvane::LanguageOf(language));
      },
      text, text_size);
}

extern "C" size_t brisvane_describe_unanswered_upgrade(int language, char* text,
                                                       size_t text_size) {
  return brisvane::ToCaller(
      [&] { return brisvane::DescribeUnansweredUpgrade(brisvane::LanguageOf(language)); }, text,
      text_size);
}

extern "C" size_t brisvane_describe_last_upgrade_detail(const struct brisvane_last_upgrade* record,
                                                        char* text, size_t text_size) {
  return brisvane::ToCaller(
      [&] {
        return record == nullptr ? std::string()
                                 : brisvane::DescribeLastUpgradeDetail(brisvane::FromC(*record));
      },
      text, text_size);
}
