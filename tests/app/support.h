// Helpers shared by the upgrader's tests: log parsing, the local HTTP test
// server, and the upgrader run as a real process beside its stand-ins.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>

#include "test_support.h"

namespace testing_support {

struct LogLine {
  QString level;
  QString file;
  int line = 0;
  QString message;
};

// Parses "upgrade.log"; a line not in the log's shape fails the test.
QList<LogLine> ReadLog(const QString& path);
QStringList Messages(const QList<LogLine>& lines);

// Polls `done` until it holds or `timeoutMs` passes, keeping Qt events alive.
bool WaitFor(const std::function<bool()>& done, int timeoutMs);

QByteArray ReadFile(const QString& path);
void WriteFile(const QString& path, const QByteArray& bytes, bool executable = false);

// The Python test server, serving `root` on 127.0.0.1 until destroyed.
class HttpServer {
 public:
  explicit HttpServer(const QString& root) : server_(root.toStdString()) {}
  bool ok() const { return server_.ok(); }
  QString Url(const QString& path) const {
    return QString::fromStdString(server_.Url(path.toStdString()));
  }

 private:
  test_support::HttpServer server_;
};

// A private world for one upgrader run: a copy of the executable beside
// recording stand-ins, and private XDG data and runtime folders.
class UpgraderWorld {
 public:
  UpgraderWorld();

  QString root() const { return root_.path(); }
  QString appDir() const { return root_.path() + "/app"; }
  QString dataHome() const { return dataHome_.isEmpty() ? root_.path() + "/data" : dataHome_; }
  // Points XDG_DATA_HOME elsewhere (the world's own by default).
  void SetDataHome(const QString& path) { dataHome_ = path; }
  // Sets a variable for the upgrader and its requests (a proxy, say).
  void SetVariable(const QString& name, const QString& value) { variables_.insert(name, value); }
  QString runtimeDir() const { return root_.path() + "/run"; }
  QString recordDir() const { return root_.path() + "/record"; }
  QString downloadDir() const { return dataHome() + "/Tamberk/Brisvane"; }
  QString logPath() const { return downloadDir() + "/logs/upgrade.log"; }
  QProcessEnvironment environment() const;
  // Gives this process the world's environment until `env` goes, for what
  // it starts itself: no proxy or folder of the machine's leaks in.
  void Enter(test_support::EnvOverride* env) const;

  // Copies the upgrader into `dir` (default appDir()).
  void InstallUpgrader(const QString& dir = QString());
  // The stand-in client: records its start and whether it could take the guard.
  void InstallClient(const QString& dir = QString());
  // The stand-in script: records that it ran, then sleeps `sleepSeconds`.
  void InstallScript(const QString& dir = QString(), int sleepSeconds = 0);
  // Creates the application-local data folder as the client would.
  void CreateDataFolder();

  // Starts the upgrader from `dir` with `arguments`; offscreen unless
  // `display` is given.
  void Start(const QString& dir = QString(), const QString& display = QString(),
             const QStringList& arguments = QStringList());
  // Starts the upgrader from appDir() through /bin/sh, which first runs
  // `prelude` (to hand it an ignored signal, a login uid, ...).
  void StartAfter(const QString& prelude);
  // Waits until the request channel is up (the socket exists).
  bool WaitUntilServing(int timeoutMs = 10000);
  // Sends a request with the real upgrade-request tool; returns its exit
  // code. `asUser` runs the tool as that uid and gid instead (needs root).
  int SendRequest(const QString& url, int asUser = -1);
  bool WaitForExit(int timeoutMs);
  QProcess& process() { return process_; }

  QString Recorded(const QString& name) const;  // a record file's text

 private:
  QTemporaryDir root_;
  QString dataHome_;
  QProcessEnvironment variables_;
  QProcess process_;
};

// Builds an installer stand-in: a shell script that records its arguments and
// exits after `sleepSeconds`.
QByteArray InstallerScript(const QString& recordDir, int sleepSeconds = 0);

}  // namespace testing_support
