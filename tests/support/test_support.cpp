#include "test_support.h"

#include <curl/curl.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <tuple>

extern char** environ;

namespace test_support {

sockaddr_un UnixAddress(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  return addr;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool WriteFile(const std::string& path, const std::string& bytes, mode_t mode) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  return out.good() && chmod(path.c_str(), mode) == 0;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit,
               std::chrono::milliseconds step) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  if (mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

EnvOverride::~EnvOverride() {
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    if (it->second) setenv(it->first.c_str(), it->second->c_str(), 1);
    else unsetenv(it->first.c_str());
  }
}

void EnvOverride::UnsetProxies() {
  for (const char* name : kProxyVariables) Unset(name);
}

void EnvOverride::Put(const std::string& name, const std::optional<std::string>& value) {
  const bool seen = std::any_of(saved_.begin(), saved_.end(), [&](const auto& e) { return e.first == name; });
  const char* old = std::getenv(name.c_str());
  if (!seen) saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
  if (value) setenv(name.c_str(), value->c_str(), 1);
  else unsetenv(name.c_str());
}

pid_t Spawn(const std::vector<std::string>& args, const SpawnOptions& options) {
  std::vector<std::string> copies(args);
  std::vector<char*> argv;
  for (std::string& a : copies) argv.push_back(&a[0]);
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  const int kWrite = O_WRONLY | O_CREAT | O_TRUNC;
  for (const auto& [fd, path, flags] : {std::make_tuple(STDIN_FILENO, &options.stdinPath, O_RDONLY),
                                        std::make_tuple(STDOUT_FILENO, &options.stdoutPath, kWrite),
                                        std::make_tuple(STDERR_FILENO, &options.stderrPath, kWrite)}) {
    if (!path->empty()) posix_spawn_file_actions_addopen(&actions, fd, path->c_str(), flags, 0600);
  }
  if (options.stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, options.stdoutFd, STDOUT_FILENO);
  if (options.ownProcessGroup) {
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
  }
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ) != 0) pid = -1;
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int WaitExit(pid_t pid) {
  int status = 0;
  while (pid > 0 && waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunToEnd(const std::vector<std::string>& args, const SpawnOptions& options) {
  return WaitExit(Spawn(args, options));
}

namespace {

// Starts a local server script whose first stdout line is its port; the
// port (0 when none arrived) and the child's pid through `pid`.
int StartWithPort(const std::vector<std::string>& args, pid_t* pid) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return 0;
  SpawnOptions options;
  options.stdoutFd = fds[1];
  *pid = Spawn(args, options);
  close(fds[1]);
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (*pid > 0 && line.find('\n') == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    pollfd pfd{fds[0], POLLIN, 0};
    if (poll(&pfd, 1, 200) <= 0) continue;
    char buffer[64];
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    line.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  return std::atoi(line.c_str());
}

void Stop(pid_t pid) {
  if (pid > 0) {
    kill(pid, SIGTERM);
    WaitExit(pid);
  }
}

}  // namespace

HttpServer::HttpServer(const std::string& root, const std::vector<std::string>& extra) {
  std::vector<std::string> args = {BRISVANE_PYTHON3, BRISVANE_HTTP_SERVER, root};
  args.insert(args.end(), extra.begin(), extra.end());
  port_ = StartWithPort(args, &pid_);
}

HttpServer::~HttpServer() { Stop(pid_); }

std::string HttpServer::Url(const std::string& path, const std::string& scheme) const {
  return scheme + "://127.0.0.1:" + std::to_string(port_) + path;
}

std::size_t OpenDescriptorCount() {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

std::string SampleOutcomeRecord() {
  return R"({"format": 1, "result": "installed", "installer": "Setup_1.2.3.exe",
 "url": "https://example.com/Setup_1.2.3.exe", "bytesReceived": 1234,
 "httpStatus": 200, "installerExitCode": 0, "scriptExitCode": 0,
 "signatureVerified": true, "keyId": "DAC9B6FE8F81E607",
 "started": "2026-12-07T17:18:31Z", "ended": "2026-12-07T17:18:35Z",
 "upgraderVersion": "1.0.0"})";
}

ForwardProxy::ForwardProxy(const std::string& recordPath) : recordPath_(recordPath) {
  port_ = StartWithPort({BRISVANE_PYTHON3, BRISVANE_FORWARD_PROXY, recordPath}, &pid_);
}

ForwardProxy::~ForwardProxy() { Stop(pid_); }

std::string ForwardProxy::Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<std::string> ForwardProxy::Requests() const { return Lines(ReadFile(recordPath_)); }

namespace {

size_t Collect(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

}  // namespace

std::vector<std::string> RequestsAt(const HttpServer& origin) {
  std::string body;
  const std::string url = origin.Url("/_requests");
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return {};
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROXY, "");  // "" overrides the environment: direct
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  const CURLcode code = curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  std::vector<std::string> lines;
  for (const std::string& line : Lines(code == CURLE_OK ? body : "")) {
    if (line.rfind("/_requests", 0) != 0) lines.push_back(line);
  }
  return lines;
}

}  // namespace test_support
