#include "response_headers.h"

#include <cctype>

#include "http_date.h"
#include "proxy_status.h"
#include "retry_rules.h"

namespace bvhttptools {
namespace {

// True when `line` is the header "Name: value", the name matched
// case-insensitively; `*value` then holds the value without surrounding
// blanks and line end.
bool HeaderValue(const std::string& line, const char* name, std::string* value) {
  size_t length = std::char_traits<char>::length(name);
  if (line.size() <= length || line[length] != ':') return false;
  for (size_t i = 0; i < length; ++i) {
    if (std::tolower(static_cast<unsigned char>(line[i])) !=
        std::tolower(static_cast<unsigned char>(name[i]))) {
      return false;
    }
  }
  size_t begin = line.find_first_not_of(" \t", length + 1);
  size_t end = line.find_last_not_of(" \t\r\n");
  *value = begin == std::string::npos || end < begin ? std::string()
                                                     : line.substr(begin, end - begin + 1);
  return true;
}

// A non-negative decimal number filling all of `text`, or -1.
curl_off_t ParseSize(const std::string& text) {
  if (text.empty() || text.size() > 18) return -1;
  curl_off_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

// Whether a Transfer-Encoding value ends in "chunked" (the last coding
// applied frames the body), case-insensitively.
bool Chunked(const std::string& value) {
  static const std::string kChunked = "chunked";
  if (value.size() < kChunked.size()) return false;
  const std::string::size_type start = value.size() - kChunked.size();
  for (std::string::size_type i = 0; i < kChunked.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(value[start + i])) != kChunked[i]) return false;
  }
  return start == 0 || value[start - 1] == ',' || value[start - 1] == ' ' || value[start - 1] == '\t';
}

// A header value that can be sent back verbatim in a request header.
bool Printable(const std::string& value) {
  if (value.empty()) return false;
  for (char c : value) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return false;
  }
  return true;
}

// "bytes first-last/total" (total may be "*"), or "bytes */total". A range that ends before it
// begins, or at or past its total, describes no body: left unknown.
void ParseContentRange(const std::string& value, ResponseInfo* response) {
  const std::string unit = "bytes ";
  if (value.compare(0, unit.size(), unit) != 0) return;
  // "bytes */total" (a 416's): no range, only the resource's size.
  if (value.compare(unit.size(), 2, "*/") == 0) {
    const curl_off_t total = ParseSize(value.substr(unit.size() + 2));
    if (total < 0) return;
    response->rangeStart = -1;
    response->rangeEnd = -1;
    response->rangeTotal = total;
    return;
  }
  size_t dash = value.find('-', unit.size());
  size_t slash = value.find('/', unit.size());
  if (dash == std::string::npos || slash == std::string::npos || slash < dash) return;
  const curl_off_t start = ParseSize(value.substr(unit.size(), dash - unit.size()));
  const curl_off_t end = ParseSize(value.substr(dash + 1, slash - dash - 1));
  const curl_off_t total = ParseSize(value.substr(slash + 1));
  if (start < 0 || end < start || (total >= 0 && end >= total)) return;
  if (total < 0 && value.compare(slash + 1, std::string::npos, "*") != 0) return;
  response->rangeStart = start;
  response->rangeEnd = end;
  response->rangeTotal = total;
}

// The three digits after "HTTP/x ", or 0 when they are not there.
long StatusOf(const std::string& line) {
  size_t space = line.find(' ');
  if (space == std::string::npos || line.size() < space + 4) return 0;
  long status = 0;
  for (size_t i = space + 1; i < space + 4; ++i) {
    if (line[i] < '0' || line[i] > '9') return 0;
    status = status * 10 + (line[i] - '0');
  }
  return status;
}

// What follows "HTTP/x NNN " up to the line's end, when printable.
std::string ReasonOf(const std::string& line) {
  const size_t space = line.find(' ');
  if (space == std::string::npos || line.size() <= space + 5 || line[space + 4] != ' ') return std::string();
  const size_t end = line.find_last_not_of(" \t\r\n");
  if (end == std::string::npos || end < space + 5) return std::string();
  const std::string reason = line.substr(space + 5, end - space - 4);
  return Printable(reason) ? reason : std::string();
}

void FoldField(const std::string& line, std::chrono::system_clock::time_point now,
               ResponseInfo* response) {
  std::string value;
  if (HeaderValue(line, "ETag", &value)) {
    response->etag = value.compare(0, 2, "W/") == 0 || !Printable(value) ? std::string() : value;
  } else if (HeaderValue(line, "Last-Modified", &value)) {
    response->lastModified = Printable(value) ? value : std::string();
  } else if (HeaderValue(line, "Content-Length", &value)) {
    response->contentLength = ParseSize(value);
  } else if (HeaderValue(line, "X-Squid-Error", &value)) {
    response->fromProxy = true;
  } else if (HeaderValue(line, "Proxy-Status", &value)) {
    // Only an entry with an error says a proxy made the response; the others
    // merely report how it was relayed.
    response->fromProxy = response->fromProxy || ProxyStatusHasError(value);
  } else if (HeaderValue(line, "Proxy-Authenticate", &value)) {
    // On an error page it asks for the proxy's credentials; on a success it
    // may only close a mutual authentication the proxy did with us.
    response->fromProxy = response->fromProxy || response->status >= 400;
  } else if (HeaderValue(line, "Transfer-Encoding", &value)) {
    response->framed = response->framed || Chunked(value);
  } else if (HeaderValue(line, "Content-Range", &value)) {
    ParseContentRange(value, response);
  } else if (HeaderValue(line, "Retry-After", &value)) {
    response->retryAfter = RetryAfter(value, now);
  } else if (HeaderValue(line, "Date", &value)) {
    response->date = HttpDateSeconds(value);
  } else if (response->status / 100 == 3 && HeaderValue(line, "Location", &value)) {
    // Followed as a URL; control characters make none.
    response->location = Printable(value) ? value : std::string();
  }
}

}  // namespace

bool FoldHeaderLine(const std::string& line, std::chrono::system_clock::time_point now,
                    ResponseInfo* response) {
  if (line.compare(0, 5, "HTTP/") == 0) {
    // Each status line begins a new response (after a redirect, an interim
    // answer or a proxy's); only the last one describes the body.
    *response = ResponseInfo();
    response->status = StatusOf(line);
    response->framed = line.compare(0, 7, "HTTP/2 ") == 0 || line.compare(0, 7, "HTTP/3 ") == 0;
    response->reason = ReasonOf(line);
    response->fromProxy = response->status == 407;
    return false;
  }
  if (response->complete) return false;  // trailers after a chunked body
  if (line == "\r\n" || line == "\n") {
    response->complete = true;
    return true;
  }
  FoldField(line, now, response);
  return false;
}

}  // namespace bvhttptools
