#include "proxy_rules.h"

#include <cctype>
#include <string>
#include <vector>

namespace brisvane::platform {
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

std::string UrlScheme(const std::string& url) {
  std::string::size_type colon = url.find("://");
  return colon == std::string::npos ? std::string() : Lower(url.substr(0, colon));
}

// '*' for any run of characters, '?' for one; both sides in lower case.
bool GlobMatch(const char* pattern, const char* text) {
  if (*pattern == '\0') return *text == '\0';
  if (*pattern == '*') {
    for (const char* rest = text;; ++rest) {
      if (GlobMatch(pattern + 1, rest)) return true;
      if (*rest == '\0') return false;
    }
  }
  if (*text == '\0') return false;
  return (*pattern == '?' || *pattern == *text) && GlobMatch(pattern + 1, text + 1);
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
  std::string::size_type start = url.find("://");
  if (start == std::string::npos) return std::string();
  start += 3;
  std::string::size_type end = url.find_first_of("/?#", start);
  std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  std::string::size_type at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  if (!authority.empty() && authority[0] == '[') {
    std::string::size_type close = authority.find(']');
    return close == std::string::npos ? std::string() : Lower(authority.substr(1, close - 1));
  }
  return Lower(authority.substr(0, authority.find(':')));
}

std::string ProxyFromWindowsLists(const std::string& url, const std::string& proxyList,
                                  const std::string& bypassList) {
  const std::string proxy = PickProxy(proxyList, UrlScheme(url));
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
    if (GlobMatch(entry.c_str(), host.c_str())) return std::string();
  }
  return proxy;
}

}  // namespace brisvane::platform
