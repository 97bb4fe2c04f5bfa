// Request text as the log receives it: always one line, and a URL never
// carries into the log the password libcurl would send with it.
#include <curl/curl.h>

#include <QByteArray>
#include <QString>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "log_text.h"

namespace {

bool HasControl(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(text[i]);
    const unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (byte < 0x20 || byte == 0x7F || (byte == 0xC2 && next >= 0x80 && next <= 0x9F)) return true;
  }
  return false;
}

// The password libcurl finds in `url` reading it for a request; empty if none.
std::string LibcurlPassword(const std::string& url) {
  CURLU* parsed = curl_url();
  std::string password;
  char* text = nullptr;
  if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_PASSWORD, &text, 0) == CURLUE_OK) {
    password = text;
  }
  curl_free(text);
  curl_url_cleanup(parsed);
  return password;
}

// How often `part` occurs in `text`, ignoring case (libcurl lowers a scheme).
std::size_t CountCaseless(std::string text, std::string part) {
  for (std::string* s : {&text, &part}) {
    for (char& c : *s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// The password libcurl would send for `url` is not in `logged`, its line;
// when `readable`, that line read as a URL holds none at all.
void CheckNoPassword(const QString& url, const std::string& logged, bool readable) {
  const std::string password = LibcurlPassword(url.toUtf8().toStdString());
  if (password.empty()) return;
  // The line as libcurl would read it holds no password at all.
  if (readable) FUZZ_CHECK(LibcurlPassword(logged).empty());
  // Nor the password's text, where that text is telling: long enough to
  // not come from a rewritten scheme, and nowhere else in the URL.
  const std::string needle = EscapeForLog(QString::fromStdString(password));
  if (needle.size() >= 6 && CountCaseless(EscapeForLog(url), needle) == 1) {
    FUZZ_CHECK(logged.find(needle) == std::string::npos);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<int>(size));
  const std::string utf8 = text.toUtf8().toStdString();
  const std::string escaped = EscapeForLog(text);
  FUZZ_CHECK(!HasControl(escaped));
  if (!HasControl(utf8)) FUZZ_CHECK(escaped == utf8);

  const std::string logged = LoggableUrl(text);
  FUZZ_CHECK(!HasControl(logged));
  // Without an "@" there is no user-info to drop: the URL is logged as sent.
  if (utf8.find('@') == std::string::npos) FUZZ_CHECK(logged == escaped);
  // libcurl reads a URL up to its first NUL: what follows is never sent, but
  // logged, escaped; read as a URL it may hold any user-info of its own.
  const int nul = text.indexOf(QChar(0));
  if (nul < 0) {
    CheckNoPassword(text, logged, true);
  } else {
    CheckNoPassword(text.left(nul), LoggableUrl(text.left(nul)), true);
    CheckNoPassword(text, logged, false);
  }
  return 0;
}
