#include "proxy_rules.h"

#include <curl/curl.h>

#include <cctype>
#include <memory>
#include <string>
#include <vector>

namespace bvhttptools {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Pieces of `text` between any of `separators`, empty ones dropped.
std::vector<std::string> Split(const std::string& text, const char* separators) {
  std::vector<std::string> pieces;
  std::string::size_type start = 0;
  while (start < text.size()) {
    std::string::size_type end = text.find_first_of(separators, start);
    if (end == std::string::npos) end = text.size();
    if (end > start) pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

// One part of `url` as libcurl reads a request's URL (scheme guessed when
// missing, any scheme accepted), in lower case; empty when there is none.
std::string LibcurlUrlPart(const std::string& url, CURLUPart part) {
  const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), &curl_url_cleanup);
  const unsigned int flags = CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME;
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), flags) != CURLUE_OK) {
    return std::string();
  }
  char* text = nullptr;
  std::string value;
  if (curl_url_get(parsed.get(), part, &text, 0) == CURLUE_OK) value = Lower(text);
  curl_free(text);
  return value;
}

// '*' for any run of characters, '?' for one; both sides in lower case.
// On a mismatch only the last '*' seen takes one more character: whatever an
// earlier star could still cover, the last one covers too. At most
// pattern x text steps, however many stars there are.
bool GlobMatch(const std::string& pattern, const std::string& text) {
  std::string::size_type p = 0, t = 0;
  std::string::size_type star = std::string::npos, starText = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      starText = t;
    } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
      ++p;
      ++t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++starText;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// The proxy entry for `scheme`: "scheme=value" first, else the first bare value.
std::string PickProxy(const std::string& proxyList, const std::string& scheme) {
  std::string bare;
  bool haveBare = false;
  for (const std::string& entry : Split(proxyList, "; \t\r\n")) {
    std::string::size_type equals = entry.find('=');
    if (equals == std::string::npos) {
      if (!haveBare) bare = entry;
      haveBare = true;
    } else if (Lower(entry.substr(0, equals)) == scheme) {
      return entry.substr(equals + 1);
    }
  }
  return bare;
}

}  // namespace

std::string UrlHost(const std::string& url) {
  // The host libcurl connects to, wherever it finds it ("http:/host" too).
  std::string host = LibcurlUrlPart(url, CURLUPART_HOST);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  return host;
}

std::string ProxyFromWindowsLists(const std::string& url, const std::string& proxyList,
                                  const std::string& bypassList) {
  const std::string proxy = PickProxy(proxyList, LibcurlUrlPart(url, CURLUPART_SCHEME));
  if (proxy.empty()) return proxy;
  const std::string host = UrlHost(url);
  // A dotless name is what Windows calls local; an IPv6 address is not one.
  const bool local = host.find_first_of(".:") == std::string::npos;
  for (std::string entry : Split(bypassList, ";, \t\r\n")) {
    entry = Lower(entry);
    if (entry == "<local>") {
      if (local) return std::string();
      continue;
    }
    // An IPv6 address is written in brackets, as in a URL; UrlHost drops them.
    if (entry.size() > 2 && entry.front() == '[' && entry.back() == ']') {
      entry = entry.substr(1, entry.size() - 2);
    }
    if (GlobMatch(entry, host)) return std::string();
  }
  return proxy;
}

}  // namespace bvhttptools
