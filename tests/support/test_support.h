// Plain helpers every test suite shares: files, lines, waiting, a private
// temporary folder, environment changes undone at the end, child processes
// and the local HTTP test server (http_server.py) and proxy (forward_proxy.py).
#pragma once

#include <sys/types.h>
#include <sys/un.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

// The variables through which a proxy set on the machine reaches libcurl.
inline constexpr const char* kProxyVariables[] = {"http_proxy", "HTTP_PROXY", "https_proxy",
                                                  "HTTPS_PROXY", "all_proxy",  "ALL_PROXY"};

// The address of the Unix socket at `path` (cut to fit sun_path).
sockaddr_un UnixAddress(const std::string& path);

// The whole file, or "" when it cannot be read.
std::string ReadFile(const std::string& path);
// Replaces the file's content and sets its mode; false when either failed.
bool WriteFile(const std::string& path, const std::string& bytes, mode_t mode = 0644);
// The lines of `text` without their '\n'; an unterminated tail is a line too.
std::vector<std::string> Lines(const std::string& text);

// How many descriptors this process has open now.
std::size_t OpenDescriptorCount();

// The outcome record of a whole upgrade with every field, the one
// platform/outcome_record.h shows.
std::string SampleOutcomeRecord();

// Polls `done` every `step` until it holds (true) or `limit` passes (false);
// `done` is asked at least once.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit,
               std::chrono::milliseconds step = std::chrono::milliseconds(10));

// A new folder /tmp/<prefix>-XXXXXX, removed with all it holds at the end.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Environment variables set or removed until this is destroyed; each then
// gets back the value it had before its first change here.
class EnvOverride {
 public:
  EnvOverride() = default;
  ~EnvOverride();
  EnvOverride(const EnvOverride&) = delete;
  EnvOverride& operator=(const EnvOverride&) = delete;
  void Set(const std::string& name, const std::string& value) { Put(name, value); }
  void Unset(const std::string& name) { Put(name, std::nullopt); }
  // Loopback test traffic must not go to a proxy set on the machine.
  void UnsetProxies();

 private:
  void Put(const std::string& name, const std::optional<std::string>& value);
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;  // the values before
};

struct SpawnOptions {
  std::string stdinPath;   // empty: inherited
  std::string stdoutPath;  // empty: inherited (created, truncated, 0600)
  std::string stderrPath;  // likewise
  int stdoutFd = -1;       // when >= 0, becomes the child's stdout
  bool ownProcessGroup = false;  // a signal to our group cannot reach it
};

// Starts `args` (args[0] a path) with our environment; its pid, or -1.
pid_t Spawn(const std::vector<std::string>& args, const SpawnOptions& options = {});
// Reaps `pid`: its exit code, or -1 when it was killed by a signal or is no
// child of ours.
int WaitExit(pid_t pid);
// Spawn and WaitExit in one.
int RunToEnd(const std::vector<std::string>& args, const SpawnOptions& options = {});

// http_server.py serving `root` on 127.0.0.1 until destroyed; `extra`
// are further arguments (such as --tls PEM).
class HttpServer {
 public:
  explicit HttpServer(const std::string& root, const std::vector<std::string>& extra = {});
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;
  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  std::string Url(const std::string& path, const std::string& scheme = "http") const;

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

// "<path> <Range or ->[ If-Range: <value>]" for every request `origin`
// (http_server.py, plain HTTP) has served, its own /_requests left out;
// asked directly, never through a proxy the environment names.
std::vector<std::string> RequestsAt(const HttpServer& origin);

// forward_proxy.py on 127.0.0.1 until destroyed: an HTTP proxy that records
// each request line it takes in `recordPath` and forwards the request.
class ForwardProxy {
 public:
  explicit ForwardProxy(const std::string& recordPath);
  ~ForwardProxy();
  ForwardProxy(const ForwardProxy&) = delete;
  ForwardProxy& operator=(const ForwardProxy&) = delete;
  bool ok() const { return port_ > 0; }
  // "http://127.0.0.1:<port>", as a proxy variable takes it.
  std::string Url() const;
  // The request lines taken so far, in order ("GET http://... HTTP/1.1").
  std::vector<std::string> Requests() const;

 private:
  std::string recordPath_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace test_support
