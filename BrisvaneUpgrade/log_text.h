// Text that comes from a request or a server, made fit for the log: always
// one line, never a secret.
#pragma once

#include <QString>
#include <string>

// `text` as UTF-8 with every control character (C0, DEL and C1) written as
// "\xNN" per byte: a line break in it cannot start a forged line, and an
// escape sequence cannot reach a terminal showing the log.
std::string EscapeForLog(const QString& text);

// `url` without its user-info (the "user:password@" before the host),
// escaped as EscapeForLog does. The user-info is the one libcurl reads from
// the URL, also where it is lenient (no scheme, one or three slashes); the
// rest of the URL is logged as written. A URL libcurl refuses loses what
// would be its user-info all the same.
std::string LoggableUrl(const QString& url);
