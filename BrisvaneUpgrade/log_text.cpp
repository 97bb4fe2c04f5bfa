#include "log_text.h"

#include <QByteArray>
#include <cstdio>

namespace {

void AppendEscaped(unsigned char byte, std::string* out) {
  char code[5];
  std::snprintf(code, sizeof code, "\\x%02X", byte);
  out->append(code);
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
  const int scheme = url.indexOf("://");
  if (scheme <= 0) return EscapeForLog(url);
  const int hostStart = scheme + 3;
  int hostEnd = url.size();
  for (const QChar end : {QChar('/'), QChar('?'), QChar('#'), QChar('\\')}) {
    const int at = url.indexOf(end, hostStart);
    if (at >= 0 && at < hostEnd) hostEnd = at;
  }
  // The last "@" of the authority ends the user-info; a password may hold more.
  const int userInfoEnd = hostEnd > hostStart ? url.lastIndexOf('@', hostEnd - 1) : -1;
  if (userInfoEnd < hostStart) return EscapeForLog(url);
  QString stripped = url;
  stripped.remove(hostStart, userInfoEnd - hostStart + 1);
  return EscapeForLog(stripped);
}
