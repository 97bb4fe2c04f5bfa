#include "proxy_env.h"

#include <cctype>
#include <cstdlib>
#include <string>

namespace bvhttptools {
namespace {

// The variable's value, or null when libcurl would take it as unset.
const char* Variable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
#ifdef _WIN32
  // libcurl reads variables with GetEnvironmentVariableA there, which gives
  // nothing for an empty one.
  if (value != nullptr && *value == '\0') return nullptr;
#endif
  return value;
}

std::string Cased(std::string text, int (*convert)(int)) {
  for (char& c : text) c = static_cast<char>(convert(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

bool ProxyFromEnvironment(const std::string& url) {
  std::string::size_type colon = url.find("://");
  const std::string scheme = colon == std::string::npos ? std::string() : url.substr(0, colon);
  const std::string name = Cased(scheme, std::tolower) + "_proxy";
  if (Variable(name) != nullptr) return true;
  if (name != "http_proxy" && Variable(Cased(name, std::toupper)) != nullptr) return true;
  return Variable("all_proxy") != nullptr || Variable("ALL_PROXY") != nullptr;
}

std::string WithEnvironmentNoProxy(const std::string& systemNoProxy) {
  const char* listed = Variable("no_proxy");
  if (listed == nullptr) listed = Variable("NO_PROXY");
  if (listed == nullptr || *listed == '\0') return systemNoProxy;
  if (systemNoProxy.empty()) return listed;
  return systemNoProxy + "," + listed;
}

}  // namespace bvhttptools
