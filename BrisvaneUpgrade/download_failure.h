// Why a download failed, told in the log in one line.
#pragma once

#include <string>

#include "LogicSession.h"

// The last HTTP status and its reason phrase (or libcurl's name for the
// failure when no server answered), whether a proxy gave that answer, the
// bytes kept for a later resume and why no further try was made.
std::string DescribeDownloadFailure(const LogicSession::Result& result);

// Whether the origin server sent a response (any status) to the last try: a
// proxy's own answer (its error page, a refused tunnel) does not count.
bool ServerAnswered(const LogicSession::Result& result);
