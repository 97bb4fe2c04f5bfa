#include "log_text.h"

#include <curl/curl.h>

#include <QByteArray>
#include <QRegularExpression>
#include <cstdio>
#include <memory>

namespace {

void AppendEscaped(unsigned char byte, std::string* out) {
  char code[5];
  std::snprintf(code, sizeof code, "\\x%02X", byte);
  out->append(code);
}

// A URL as libcurl reads a request's: the scheme guessed when missing, any
// scheme accepted. Null when libcurl would refuse the URL.
using CurlUrl = std::unique_ptr<CURLU, decltype(&curl_url_cleanup)>;

CurlUrl ReadAsLibcurl(const QString& url) {
  CurlUrl parsed(curl_url(), &curl_url_cleanup);
  const unsigned int flags = CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME;
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.toUtf8().constData(), flags) != CURLUE_OK) {
    parsed.reset();
  }
  return parsed;
}

bool HasPart(CURLU* url, CURLUPart part) {
  char* text = nullptr;
  const bool has = curl_url_get(url, part, &text, 0) == CURLUE_OK;
  curl_free(text);
  return has;
}

bool HasUserInfo(CURLU* url) {
  return HasPart(url, CURLUPART_USER) || HasPart(url, CURLUPART_PASSWORD) ||
         HasPart(url, CURLUPART_OPTIONS);
}

// The user-info removed as the host ends for a reader of "scheme://host"
// URLs; this keeps the logged form of ordinary URLs as they were written.
QString StripPlainUserInfo(const QString& url) {
  const int scheme = url.indexOf("://");
  if (scheme <= 0) return url;
  const int hostStart = scheme + 3;
  int hostEnd = url.size();
  for (const QChar end : {QChar('/'), QChar('?'), QChar('#'), QChar('\\')}) {
    const int at = url.indexOf(end, hostStart);
    if (at >= 0 && at < hostEnd) hostEnd = at;
  }
  // The last "@" of the authority ends the user-info; a password may hold more.
  const int userInfoEnd = hostEnd > hostStart ? url.lastIndexOf('@', hostEnd - 1) : -1;
  if (userInfoEnd < hostStart) return url;
  QString stripped = url;
  stripped.remove(hostStart, userInfoEnd - hostStart + 1);
  return stripped;
}

// The user-info removed where libcurl reads it also in lenient forms: the
// authority starts after "scheme:" and its run of slashes, or at the start
// when libcurl would guess the scheme; it ends at the first "/", "?" or "#".
// Textual, so that the rest of the URL is logged as written (libcurl's own
// rewrite decodes the host).
QString StripLenientUserInfo(const QString& url) {
  static const QRegularExpression scheme("^[A-Za-z][A-Za-z0-9+.-]*:/[/\\\\]*");
  const QRegularExpressionMatch match = scheme.match(url);
  const int start = match.hasMatch() ? match.capturedLength() : 0;
  static const QRegularExpression authorityEnd("[/?#]");
  int end = url.indexOf(authorityEnd, start);
  if (end < 0) end = url.size();
  const int at = end > start ? url.lastIndexOf('@', end - 1) : -1;
  if (at < start) return url;
  return url.left(start) + url.mid(at + 1);
}

// True when libcurl reads `url` and finds no user-info in it.
bool ReadWithoutUserInfo(const QString& url) {
  const CurlUrl asSent = ReadAsLibcurl(url);
  return asSent && !HasUserInfo(asSent.get());
}

}  // namespace

std::string EscapeForLog(const QString& text) {
  // toUtf8 yields valid UTF-8, so a C1 control is always the pair C2 80..9F.
  const QByteArray bytes = text.toUtf8();
  std::string out;
  out.reserve(static_cast<std::size_t>(bytes.size()));
  for (int i = 0; i < bytes.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(bytes[i]);
    const bool c1 = byte == 0xC2 && i + 1 < bytes.size() &&
                    static_cast<unsigned char>(bytes[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(bytes[i + 1]) <= 0x9F;
    if (c1) {
      AppendEscaped(byte, &out);
      AppendEscaped(static_cast<unsigned char>(bytes[++i]), &out);
    } else if (byte < 0x20 || byte == 0x7F) {
      AppendEscaped(byte, &out);
    } else {
      out.push_back(static_cast<char>(byte));
    }
  }
  return out;
}

std::string LoggableUrl(const QString& url) {
  const QString plain = StripPlainUserInfo(url);
  // What counts is the user-info libcurl would send, wherever it reads it;
  // libcurl is the judge, the removal is textual.
  if (ReadWithoutUserInfo(url)) return EscapeForLog(plain);
  const QString lenient = StripLenientUserInfo(plain);
  // A URL libcurl refuses is never sent, but a password in it is one still.
  if (!ReadAsLibcurl(url)) return EscapeForLog(lenient);
  if (ReadWithoutUserInfo(plain)) return EscapeForLog(plain);
  if (ReadWithoutUserInfo(lenient)) return EscapeForLog(lenient);
  // Every user-info ends in an "@": with none left, none can be sent.
  return EscapeForLog(plain.mid(plain.lastIndexOf('@') + 1));
}
