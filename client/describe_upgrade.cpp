// One line telling the user what became of the last upgrade and, for a
// failure, why, in English or Simplified Chinese. The libcurl and HTTP names
// are tables of their own: the client library links no libcurl.
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

// libcurl 7.88's CURLcode names by value; the OBSOLETE ones are the names
// curl.h keeps for numbers no longer used.
constexpr const char* kCurlNames[] = {
    "CURLE_OK", "CURLE_UNSUPPORTED_PROTOCOL", "CURLE_FAILED_INIT", "CURLE_URL_MALFORMAT",
    "CURLE_NOT_BUILT_IN", "CURLE_COULDNT_RESOLVE_PROXY", "CURLE_COULDNT_RESOLVE_HOST",
    "CURLE_COULDNT_CONNECT", "CURLE_WEIRD_SERVER_REPLY", "CURLE_REMOTE_ACCESS_DENIED",
    "CURLE_FTP_ACCEPT_FAILED", "CURLE_FTP_WEIRD_PASS_REPLY", "CURLE_FTP_ACCEPT_TIMEOUT",
    "CURLE_FTP_WEIRD_PASV_REPLY", "CURLE_FTP_WEIRD_227_FORMAT", "CURLE_FTP_CANT_GET_HOST",
    "CURLE_HTTP2", "CURLE_FTP_COULDNT_SET_TYPE", "CURLE_PARTIAL_FILE",
    "CURLE_FTP_COULDNT_RETR_FILE", "CURLE_OBSOLETE20", "CURLE_QUOTE_ERROR",
    "CURLE_HTTP_RETURNED_ERROR", "CURLE_WRITE_ERROR", "CURLE_OBSOLETE24", "CURLE_UPLOAD_FAILED",
    "CURLE_READ_ERROR", "CURLE_OUT_OF_MEMORY", "CURLE_OPERATION_TIMEDOUT", "CURLE_OBSOLETE29",
    "CURLE_FTP_PORT_FAILED", "CURLE_FTP_COULDNT_USE_REST", "CURLE_OBSOLETE32",
    "CURLE_RANGE_ERROR", "CURLE_HTTP_POST_ERROR", "CURLE_SSL_CONNECT_ERROR",
    "CURLE_BAD_DOWNLOAD_RESUME", "CURLE_FILE_COULDNT_READ_FILE", "CURLE_LDAP_CANNOT_BIND",
    "CURLE_LDAP_SEARCH_FAILED", "CURLE_OBSOLETE40", "CURLE_FUNCTION_NOT_FOUND",
    "CURLE_ABORTED_BY_CALLBACK", "CURLE_BAD_FUNCTION_ARGUMENT", "CURLE_OBSOLETE44",
    "CURLE_INTERFACE_FAILED", "CURLE_OBSOLETE46", "CURLE_TOO_MANY_REDIRECTS",
    "CURLE_UNKNOWN_OPTION", "CURLE_SETOPT_OPTION_SYNTAX", "CURLE_OBSOLETE50", "CURLE_OBSOLETE51",
    "CURLE_GOT_NOTHING", "CURLE_SSL_ENGINE_NOTFOUND", "CURLE_SSL_ENGINE_SETFAILED",
    "CURLE_SEND_ERROR", "CURLE_RECV_ERROR", "CURLE_OBSOLETE57", "CURLE_SSL_CERTPROBLEM",
    "CURLE_SSL_CIPHER", "CURLE_PEER_FAILED_VERIFICATION", "CURLE_BAD_CONTENT_ENCODING",
    "CURLE_OBSOLETE62", "CURLE_FILESIZE_EXCEEDED", "CURLE_USE_SSL_FAILED",
    "CURLE_SEND_FAIL_REWIND", "CURLE_SSL_ENGINE_INITFAILED", "CURLE_LOGIN_DENIED",
    "CURLE_TFTP_NOTFOUND", "CURLE_TFTP_PERM", "CURLE_REMOTE_DISK_FULL", "CURLE_TFTP_ILLEGAL",
    "CURLE_TFTP_UNKNOWNID", "CURLE_REMOTE_FILE_EXISTS", "CURLE_TFTP_NOSUCHUSER",
    "CURLE_OBSOLETE75", "CURLE_OBSOLETE76", "CURLE_SSL_CACERT_BADFILE",
    "CURLE_REMOTE_FILE_NOT_FOUND", "CURLE_SSH", "CURLE_SSL_SHUTDOWN_FAILED", "CURLE_AGAIN",
    "CURLE_SSL_CRL_BADFILE", "CURLE_SSL_ISSUER_ERROR", "CURLE_FTP_PRET_FAILED",
    "CURLE_RTSP_CSEQ_ERROR", "CURLE_RTSP_SESSION_ERROR", "CURLE_FTP_BAD_FILE_LIST",
    "CURLE_CHUNK_FAILED", "CURLE_NO_CONNECTION_AVAILABLE", "CURLE_SSL_PINNEDPUBKEYNOTMATCH",
    "CURLE_SSL_INVALIDCERTSTATUS", "CURLE_HTTP2_STREAM", "CURLE_RECURSIVE_API_CALL",
    "CURLE_AUTH_ERROR", "CURLE_HTTP3", "CURLE_QUIC_CONNECT_ERROR", "CURLE_PROXY",
    "CURLE_SSL_CLIENTCERT", "CURLE_UNRECOVERABLE_POLL",
};
static_assert(sizeof kCurlNames / sizeof *kCurlNames == 100, "0 to CURLE_UNRECOVERABLE_POLL");

// Codes that fail before any server answers: with no HTTP status, the user
// reads plainly that none did.
constexpr int kNoAnswerCodes[] = {5, 6, 7, 28, 52};

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
  kScriptExit, kInstallerExit, kInstallerNoCode, kTimeout, kNotStarted,
  kServerSaid, kCurlError, kNoServer, kSignature, kSignatureKey, kCauseCount,
};
constexpr const char* kCauses[kCauseCount][kLanguages] = {
    {"the post-install script exited with code %1", "安装后脚本的退出码为 %1"},
    {"the installer exited with code %1", "安装程序的退出码为 %1"},
    {"the installer ended without an exit code", "安装程序未正常退出，没有退出码"},
    {"the installer was still running after 2 minutes", "安装程序运行 2 分钟后仍未结束"},
    {"the installer could not be started", "无法启动安装程序"},
    {"the server answered %1", "服务器返回 %1"},
    {"libcurl error %1", "libcurl 错误 %1"},
    {"no server answered", "服务器没有响应"},
    {"its signature was not accepted", "其签名未通过验证"},
    {"its signature was not accepted for key %1", "其签名未通过密钥 %1 的验证"},
};

// How a line is put together in each language.
constexpr struct {
  const char* name;     // the installer's name, to follow "update"
  const char* joiner;   // between two causes
  const char* end;      // of the line
  const char* unknown;  // a result this library does not know
} kGrammar[kLanguages] = {
    {" %1", "; ", ".", "What became of the last update is unknown (result %1)"},
    {" %1 ", "，", "。", "上次更新的结果未知（结果 %1）"},
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

std::string CurlText(int code) {
  std::string text = std::to_string(code);
  const int names = static_cast<int>(sizeof kCurlNames / sizeof *kCurlNames);
  if (code >= 0 && code < names) text = text + " (" + kCurlNames[code] + ")";
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

// The HTTP status first when it tells (400 and up); then the libcurl code,
// the one cause a failure without a status has.
void DownloadCauses(const LastUpgrade& record, int lang, Causes* causes) {
  const int code = record.downloadError.value_or(0);
  const bool noAnswer = std::find(std::begin(kNoAnswerCodes), std::end(kNoAnswerCodes), code) !=
                        std::end(kNoAnswerCodes);
  if (record.httpStatus >= 400) {
    causes->push_back(Fill(kCauses[kServerSaid][lang], HttpText(record.httpStatus)));
  } else if (record.httpStatus == 0 && (code == 0 || noAnswer)) {
    causes->push_back(kCauses[kNoServer][lang]);
  }
  if (code != 0) causes->push_back(Fill(kCauses[kCurlError][lang], CurlText(code)));
}

void SignatureCauses(const LastUpgrade& record, int lang, Causes* causes) {
  causes->push_back(record.keyId.empty() ? kCauses[kSignature][lang]
                                         : Fill(kCauses[kSignatureKey][lang], Shown(record.keyId)));
  if (!record.signatureProblem.empty()) causes->push_back(Shown(record.signatureProblem));
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
  return out;
}

}  // namespace

std::string DescribeLastUpgrade(const LastUpgrade& record, Language language) {
  // Any value but Chinese is English, as the C function's unknown numbers are.
  const int lang = language == Language::kSimplifiedChinese ? 1 : 0;
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
    return line + grammar.end;
  }
  return Fill(grammar.unknown, std::to_string(static_cast<int>(record.result))) + grammar.end;
}

}  // namespace brisvane

// No record, or no memory for the line: "" and 0, so 0 always means there
// is nothing to show.
extern "C" size_t brisvane_describe_last_upgrade(const struct brisvane_last_upgrade* record,
                                                 int language, char* text, size_t text_size) {
  using brisvane::c_buffers::CopyText;
  try {
    if (record != nullptr) {
      const brisvane::Language lang = language == BRISVANE_LANGUAGE_SIMPLIFIED_CHINESE
                                          ? brisvane::Language::kSimplifiedChinese
                                          : brisvane::Language::kEnglish;
      const std::string line = brisvane::DescribeLastUpgrade(brisvane::FromC(*record), lang);
      CopyText(line, text, text_size);
      return line.size();
    }
  } catch (...) {
  }
  CopyText("", text, text_size);
  return 0;
}
