#include "proxy_servers.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <glob.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

namespace test_support {

namespace {

using namespace std::chrono_literals;

constexpr const char* kSquid = "/usr/sbin/squid";
constexpr const char* kOpenssl = "/usr/bin/openssl";
constexpr const char* kBasicAuthHelper = "/usr/lib/squid/basic_ncsa_auth";
// squid drops root for this user (Debian's default cache_effective_user).
constexpr const char* kSquidUser = "proxy";

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A port of 127.0.0.1 that nothing listens on right now (0: none found).
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address = Loopback(0);
  socklen_t size = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address = Loopback(port);
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}


// "user:<SHA-256 crypt of password>", the htpasswd line basic_ncsa_auth reads.
std::string PasswordLine(const std::string& dir, const std::string& user, const std::string& password) {
  SpawnOptions options;
  options.stdoutPath = dir + "/hash.txt";
  options.stderrPath = "/dev/null";
  if (RunToEnd({kOpenssl, "passwd", "-5", password}, options) != 0) return "";
  const std::vector<std::string> lines = Lines(ReadFile(options.stdoutPath));
  return lines.empty() ? "" : user + ":" + lines.front() + "\n";
}

}  // namespace

ProxyServer::ProxyServer(const std::string& prefix, const std::string& logName)
    : dir_(prefix), logPath_(dir_.path() + "/" + logName) {}

ProxyServer::~ProxyServer() { Stop(); }

std::string ProxyServer::Url(const std::string& userInfo) const {
  return "http://" + (userInfo.empty() ? "" : userInfo + "@") + "127.0.0.1:" + std::to_string(port_);
}

bool ProxyServer::Logged(const std::string& text, int times) const {
  return WaitUntil([&] {
    const std::vector<std::string> lines = Lines(ReadFile(logPath_));
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
             return line.find(text) != std::string::npos;
           }) >= times;
  }, 10s, 50ms);
}

std::string ProxyServer::Diagnostics() const {
  std::string text = note_;
  if (!dir_.ok()) return text + "no temporary folder\n";
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    const std::string name = entry.path().filename();
    const std::string ext = entry.path().extension();
    if (ext == ".log" || ext == ".txt") text += "--- " + name + "\n" + ReadFile(entry.path()) + "\n";
  }
  return text;
}

void ProxyServer::Start(const std::string& configPath,
                        const std::function<std::string(int)>& configFor,
                        const std::vector<std::string>& args) {
  if (access(args[0].c_str(), X_OK) != 0) {
    note_ = args[0] + " is missing: bash scripts/install-deps installs it\n";
    return;
  }
  // Another test may take the free port before the proxy binds it: then
  // the proxy ends at once and another port is tried.
  for (int attempt = 0; attempt < 3 && port_ == 0; ++attempt) {
    const int port = FreePort();
    if (port <= 0 || !WriteFile(configPath, configFor(port))) continue;
    SpawnOptions options;
    options.stdinPath = "/dev/null";
    options.stdoutPath = dir() + "/stdout.txt";
    options.stderrPath = dir() + "/stderr.txt";
    options.ownProcessGroup = true;  // its helpers go with it
    pid_ = Spawn(args, options);
    if (pid_ > 0 && WaitListening(port)) {
      port_ = port;
    } else {
      Stop();
    }
  }
}

bool ProxyServer::WaitListening(int port) {
  return WaitUntil([&] {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;  // ended: nothing left to stop
      return true;
    }
    return Accepts(port);
  }, 20s, 20ms) && pid_ > 0;
}

void ProxyServer::Stop() {
  if (pid_ > 0) {
    // At once: a graceful squid takes seconds to end.
    if (kill(-pid_, SIGKILL) != 0) kill(pid_, SIGKILL);
    WaitExit(pid_);
    pid_ = -1;
  }
  AfterStop();
}

Squid::Squid(const SquidOptions& options) : ProxyServer("bvsquid", "access.log") {
  static std::atomic<int> count{0};
  service_ = "bvtest" + std::to_string(getpid()) + "n" + std::to_string(count++);
  if (!folderOk()) return;
  if (geteuid() == 0) {
    // squid and its helpers run as kSquidUser and write their files here.
    const passwd* user = getpwnam(kSquidUser);
    if (user == nullptr || chown(dir().c_str(), user->pw_uid, user->pw_gid) != 0) return;
  }
  if (!options.user.empty() &&
      !WriteFile(dir() + "/passwd", PasswordLine(dir(), options.user, options.password))) {
    return;
  }
  const std::string config = dir() + "/squid.conf";
  Start(config, [&](int port) { return Config(options, port); },
        {kSquid, "-N", "-n", service_, "-f", config});
}

Squid::~Squid() { Stop(); }

void Squid::AfterStop() {
  // Killed, squid leaves its shared memory segments, named after the service.
  glob_t found{};
  if (glob(("/dev/shm/" + service_ + "-*").c_str(), 0, nullptr, &found) == 0) {
    for (size_t i = 0; i < found.gl_pathc; ++i) unlink(found.gl_pathv[i]);
  }
  globfree(&found);
}

std::string Squid::Config(const SquidOptions& options, int port) const {
  const std::string& d = dir();
  std::string c = "http_port 127.0.0.1:" + std::to_string(port) + "\nvisible_hostname brisvane-test\n";
  // Every file in the private folder; nothing kept, no neighbour asked.
  c += "pid_filename " + d + "/squid.pid\ncache_log " + d + "/cache.log\n";
  c += "access_log stdio:" + d + "/access.log\ncache_store_log none\ncoredump_dir " + d + "\n";
  c += "netdb_filename none\npinger_enable off\ncache deny all\ndns_nameservers 127.0.0.1\n";
  if (geteuid() == 0) c += "cache_effective_user " + std::string(kSquidUser) + "\n";
  std::string ports = "443";
  for (int allowed : options.connectPorts) ports += " " + std::to_string(allowed);
  c += "acl SSL_ports port " + ports + "\nacl CONNECT method CONNECT\n";
  c += "http_access deny CONNECT !SSL_ports\n";
  if (!options.blockedPaths.empty()) {
    c += "acl blocked urlpath_regex " + options.blockedPaths + "\nhttp_access deny blocked\n";
    if (!options.blockPage.empty()) c += "deny_info 302:" + options.blockPage + " blocked\n";
  }
  if (!options.user.empty()) {
    c += "auth_param basic program " + std::string(kBasicAuthHelper) + " " + d + "/passwd\n";
    c += "auth_param basic realm brisvane-test\nacl auth proxy_auth REQUIRED\nhttp_access allow auth\n";
  } else {
    c += "http_access allow all\n";
  }
  return c + "http_access deny all\n";
}


}  // namespace test_support
