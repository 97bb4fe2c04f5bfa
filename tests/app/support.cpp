#include "support.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace testing_support {

QList<LogLine> ReadLog(const QString& path) {
  static const QRegularExpression shape(
      R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (TRACE|DEBUG|INFO |WARN |ERROR|FATAL) ([^:]+):(\d+): (.*)$)");
  QList<LogLine> lines;
  const QString text = QString::fromUtf8(ReadFile(path));
  for (const QString& raw : text.split('\n', Qt::SkipEmptyParts)) {
    const QRegularExpressionMatch m = shape.match(raw);
    EXPECT_TRUE(m.hasMatch()) << "log line out of shape: " << raw.toStdString();
    if (!m.hasMatch()) continue;
    lines.append({m.captured(1).trimmed(), m.captured(2), m.captured(3).toInt(), m.captured(4)});
  }
  return lines;
}

QStringList Messages(const QList<LogLine>& lines) {
  QStringList out;
  for (const LogLine& l : lines) out << l.level + " " + l.message;
  return out;
}

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
  return test_support::WaitUntil(
      [&] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        return done();
      },
      std::chrono::milliseconds(timeoutMs), std::chrono::milliseconds(20));
}

QByteArray ReadFile(const QString& path) {
  return QByteArray::fromStdString(test_support::ReadFile(path.toStdString()));
}

void WriteFile(const QString& path, const QByteArray& bytes, bool executable) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  ASSERT_TRUE(test_support::WriteFile(path.toStdString(), bytes.toStdString(),
                                      executable ? 0755 : 0644))
      << path.toStdString();
}

UpgraderWorld::UpgraderWorld() {
  QDir().mkpath(appDir());
  QDir().mkpath(dataHome());
  QDir().mkpath(runtimeDir());
  QDir().mkpath(recordDir());
  QFile::setPermissions(runtimeDir(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QProcessEnvironment UpgraderWorld::environment() const {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("XDG_DATA_HOME", dataHome());
  env.insert("XDG_RUNTIME_DIR", runtimeDir());
  env.insert("RECORD_DIR", recordDir());
  env.insert("QT_QPA_PLATFORM", "offscreen");
  for (const char* name : test_support::kProxyVariables) env.remove(name);
  env.insert(variables_);
  return env;
}

void UpgraderWorld::Enter(test_support::EnvOverride* env) const {
  const QProcessEnvironment world = environment();
  for (const QString& name : QProcessEnvironment::systemEnvironment().keys()) {
    if (!world.contains(name)) env->Unset(name.toStdString());
  }
  for (const QString& name : world.keys()) {
    env->Set(name.toStdString(), world.value(name).toStdString());
  }
}

void UpgraderWorld::InstallUpgrader(const QString& dir) {
  const QString target = (dir.isEmpty() ? appDir() : dir) + "/BrisvaneUpgrade";
  QDir().mkpath(QFileInfo(target).absolutePath());
  QFile::remove(target);
  ASSERT_TRUE(QFile::copy(BRISVANE_UPGRADER, target));
  QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void UpgraderWorld::InstallClient(const QString& dir) {
  const QByteArray script =
      "#!/bin/sh\n"
      "# Stand-in client: records its start and whether the guard is free.\n"
      "date +%s.%N > \"$RECORD_DIR/client.started\"\n"
      "if flock -n \"$XDG_RUNTIME_DIR/bvc singleton mutex\" true; then\n"
      "  echo free > \"$RECORD_DIR/client.guard\"\n"
      "else\n"
      "  echo held > \"$RECORD_DIR/client.guard\"\n"
      "fi\n";
  WriteFile((dir.isEmpty() ? appDir() : dir) + "/bvc.exe", script, true);
}

void UpgraderWorld::InstallScript(const QString& dir, int sleepSeconds) {
  const QByteArray script = QString(
                                "# Stand-in post-install script.\n"
                                "date +%s.%N > \"$RECORD_DIR/script.ran\"\n"
                                "sleep %1\n"
                                "date +%s.%N > \"$RECORD_DIR/script.ended\"\n")
                                .arg(sleepSeconds)
                                .toUtf8();
  WriteFile((dir.isEmpty() ? appDir() : dir) + "/command.bat", script, false);
}

void UpgraderWorld::CreateDataFolder() { QDir().mkpath(downloadDir()); }

void UpgraderWorld::Start(const QString& dir, const QString& display, const QStringList& arguments) {
  QProcessEnvironment env = environment();
  if (!display.isEmpty()) {
    env.insert("DISPLAY", display);
    env.insert("QT_QPA_PLATFORM", "xcb");
    // Under X, Qt talks D-Bus through libdbus, which keeps a buffer until
    // exit, has no frame pointers and is unloaded at exit: the fast unwinder
    // stops in it, and the leak checker cannot match that buffer to the Qt
    // libraries its suppressions name. The full unwinder reaches them.
    if (env.contains("ASAN_OPTIONS")) {
      env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":fast_unwind_on_malloc=0");
    }
  }
  process_.setProcessEnvironment(env);
  process_.setProcessChannelMode(QProcess::ForwardedChannels);
  process_.start((dir.isEmpty() ? appDir() : dir) + "/BrisvaneUpgrade", arguments);
  ASSERT_TRUE(process_.waitForStarted(5000));
}

void UpgraderWorld::StartAfter(const QString& prelude) {
  process_.setProcessEnvironment(environment());
  process_.setProcessChannelMode(QProcess::ForwardedChannels);
  process_.start("/bin/sh", {"-c", prelude + "\nexec \"$0\"", appDir() + "/BrisvaneUpgrade"});
  ASSERT_TRUE(process_.waitForStarted(5000));
}

bool UpgraderWorld::WaitUntilServing(int timeoutMs) {
  // The socket file appears at bind(), a moment before listen(): only a
  // connection that is taken shows the channel is up. One that sends
  // nothing is not logged by the upgrader.
  const sockaddr_un addr =
      test_support::UnixAddress((runtimeDir() + "/BrisvaneUpgrade").toStdString());
  return WaitFor(
      [&] {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        const bool up = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        return up;
      },
      timeoutMs);
}

int UpgraderWorld::SendRequest(const QString& url, int asUser) {
  QProcess sender;
  sender.setProcessEnvironment(environment());
  sender.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  if (asUser < 0) {
    sender.start(BRISVANE_UPGRADE_REQUEST, {url});
  } else {
    const QString id = QString::number(asUser);
    sender.start("setpriv", {"--reuid", id, "--regid", id, "--clear-groups",
                             BRISVANE_UPGRADE_REQUEST, url});
  }
  if (!sender.waitForFinished(30000)) return -1;
  return sender.exitCode();
}

bool UpgraderWorld::WaitForExit(int timeoutMs) {
  return WaitFor([&] { return process_.state() == QProcess::NotRunning; }, timeoutMs);
}

QString UpgraderWorld::Recorded(const QString& name) const {
  return QString::fromUtf8(ReadFile(recordDir() + "/" + name)).trimmed();
}

QByteArray InstallerScript(const QString& recordDir, int sleepSeconds) {
  return QString(
             "#!/bin/sh\n"
             "# Stand-in installer: records its arguments and timing.\n"
             "date +%s.%N > \"%1/installer.started\"\n"
             "printf '%s\\n' \"$#\" \"$@\" > \"%1/installer.args\"\n"
             "sleep %2\n"
             "date +%s.%N > \"%1/installer.ended\"\n")
      .arg(recordDir)
      .arg(sleepSeconds)
      .toUtf8();
}

}  // namespace testing_support
