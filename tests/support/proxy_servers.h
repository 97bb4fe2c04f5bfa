// A real forward proxy for tests: squid, our own child in the foreground
// with a private configuration in a temporary folder, on a free port of
// 127.0.0.1, until the object is destroyed. It comes from
// scripts/install-deps; a missing one fails to start (ok() is false).
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "test_support.h"

namespace test_support {

// What every proxy here shares: its folder, process, port and log.
class ProxyServer {
 public:
  virtual ~ProxyServer();
  ProxyServer(const ProxyServer&) = delete;
  ProxyServer& operator=(const ProxyServer&) = delete;

  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  // "http://[userInfo@]127.0.0.1:<port>", as a proxy variable takes it.
  std::string Url(const std::string& userInfo = "") const;
  // Waits up to 10 s for `text` to stand in at least `times` lines of the
  // proxy's log: squid logs a request only once it has ended, so just after
  // a download the line may still be on its way.
  bool Logged(const std::string& text, int times = 1) const;
  // The proxy's own output and log, to tell why it did not start.
  std::string Diagnostics() const;

 protected:
  // `logName`: the log in the folder that names every request.
  ProxyServer(const std::string& prefix, const std::string& logName);
  bool folderOk() const { return dir_.ok(); }
  const std::string& dir() const { return dir_.path(); }
  // Writes `configFor(port)` to `configPath` and runs `args` in a process
  // group of its own until it accepts connections on that port.
  void Start(const std::string& configPath, const std::function<std::string(int)>& configFor,
             const std::vector<std::string>& args);
  // Kills the process with all it started (helpers), then AfterStop();
  // idempotent. A subclass that overrides AfterStop calls Stop first thing
  // in its own destructor (the base's runs too late for the override).
  void Stop();
  // What the killed process leaves outside its folder.
  virtual void AfterStop() {}

 private:
  bool WaitListening(int port);

  TempDir dir_;
  std::string logPath_;
  std::string note_;  // why it was not started at all
  pid_t pid_ = -1;
  int port_ = 0;
};

struct SquidOptions {
  // Set: every request needs these (basic authentication, 407 without).
  std::string user, password;
  // Ports CONNECT may reach besides 443 (squid refuses the others with 403).
  std::vector<int> connectPorts;
  // A regular expression: URL paths that match are refused with a 302 to
  // `blockPage`, as a company's filter sends a download to its HTML notice
  // (without a block page, with squid's own 403 page).
  std::string blockedPaths, blockPage;
};

// squid 5 without a cache; its access log names every request.
class Squid : public ProxyServer {
 public:
  explicit Squid(const SquidOptions& options = {});
  ~Squid() override;

 private:
  void AfterStop() override;
  std::string Config(const SquidOptions& options, int port) const;
  std::string service_;  // unique: it names squid's shared memory segments
};

}  // namespace test_support
