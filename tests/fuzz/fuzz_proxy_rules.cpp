// Windows proxy settings applied to a URL: the bypass list is decided for
// the host libcurl will connect to, as a plain reading of the Windows rules
// decides it. Input: the URL, a line break, the proxy list, a line break,
// the bypass list.
#include <curl/curl.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "proxy_rules.h"

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// libcurl's host for `url`, lower case, without brackets; empty if none.
std::string LibcurlHost(const std::string& url) {
  CURLU* parsed = curl_url();
  std::string host;
  char* text = nullptr;
  if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_HOST, &text, 0) == CURLUE_OK) {
    host = Lower(text);
  }
  curl_free(text);
  curl_url_cleanup(parsed);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  return host;
}

// '*' any run, '?' one character: the textbook table, row by row.
bool WildcardMatches(const std::string& pattern, const std::string& text) {
  std::vector<bool> row(text.size() + 1, false);  // pattern prefix matches text prefix
  row[0] = true;
  for (const char p : pattern) {
    std::vector<bool> next(text.size() + 1, false);
    next[0] = p == '*' && row[0];
    for (std::size_t t = 1; t <= text.size(); ++t) {
      next[t] = p == '*' ? (row[t] || next[t - 1]) : (row[t - 1] && (p == '?' || p == text[t - 1]));
    }
    row.swap(next);
  }
  return row[text.size()];
}

bool Bypassed(const std::string& host, const std::string& bypassList) {
  std::string entry;
  for (std::size_t i = 0; i <= bypassList.size(); ++i) {
    const char c = i < bypassList.size() ? bypassList[i] : ';';
    if (std::string(";, \t\r\n").find(c) == std::string::npos) {
      entry.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
      continue;
    }
    if (entry == "<local>") {
      // A dotless name; an IPv6 address is none.
      if (host.find_first_of(".:") == std::string::npos) return true;
    } else if (!entry.empty()) {
      if (entry.size() > 2 && entry.front() == '[' && entry.back() == ']') entry = entry.substr(1, entry.size() - 2);
      if (WildcardMatches(entry, host)) return true;
    }
    entry.clear();
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t first = input.find('\n');
  const std::size_t second = first == std::string::npos ? first : input.find('\n', first + 1);
  if (second == std::string::npos) return 0;
  const std::string url = input.substr(0, first);
  const std::string proxyList = input.substr(first + 1, second - first - 1);
  const std::string bypassList = input.substr(second + 1);

  const std::string host = LibcurlHost(url);
  FUZZ_CHECK(bvhttptools::UrlHost(url) == host);
  const std::string proxy = bvhttptools::ProxyFromWindowsLists(url, proxyList, "");
  const std::string decided = bvhttptools::ProxyFromWindowsLists(url, proxyList, bypassList);
  FUZZ_CHECK(decided == (Bypassed(host, bypassList) ? std::string() : proxy));
  return 0;
}
