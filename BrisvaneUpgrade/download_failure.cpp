#include "download_failure.h"

#include <QString>

#include "log_text.h"

std::string DescribeDownloadFailure(const LogicSession::Result& result) {
  std::string text;
  if (result.httpStatus > 0) {
    text = "HTTP " + std::to_string(result.httpStatus);
    if (!result.reasonPhrase.empty()) text += " " + EscapeForLog(QString::fromStdString(result.reasonPhrase));
    text += result.fromProxy ? " from the proxy" : " from the server";
  } else {
    text = std::string("no HTTP answer (") + curl_easy_strerror(result.code) + ")";
  }
  text += ", " + std::to_string(static_cast<long long>(result.bytesKept)) + " bytes kept";
  if (!result.gaveUp.empty()) text += ", gave up: " + result.gaveUp;
  return text;
}

bool ServerAnswered(const LogicSession::Result& result) {
  return result.httpStatus > 0 && !result.fromProxy;
}
