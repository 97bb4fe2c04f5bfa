#include "startup.h"

#include <QDir>
#include <QFileInfo>
#include <mutex>

#include "guard.h"
#include "log.h"
#include "log_file.h"

platform::Guard g_singletonMutex;

bool IsAlreadyRunning() {
  bool alreadyExists = false;
  g_singletonMutex = platform::CreateSingletonGuard(kSingletonMutexName, &alreadyExists);
  return g_singletonMutex && alreadyExists;
}

FILE* InitLog(const QString& logDir) {
  QDir dir(logDir);
  // A data folder that is a link leads elsewhere: nothing is created there
  // (and the log is not opened through it either).
  if (!dir.exists() && !QFileInfo(QFileInfo(logDir).path()).isSymLink()) dir.mkdir(logDir);

  const QString logPath = logDir + "/upgrade.log";
  FILE* stream = platform::OpenSharedLogFile(logPath.toUtf8().toStdString());
  if (stream == nullptr) return nullptr;

  LogSetThreshold(INFO);
  LogSetQuiet(true);
  LogAddFileSink(stream, INFO);
  return stream;
}

namespace {
std::mutex g_logMutex;

void LockLog(bool acquire, void*) {
  if (acquire) {
    g_logMutex.lock();
  } else {
    g_logMutex.unlock();
  }
}
}  // namespace

void InstallLogLock() { LogSetLockHook(LockLog, nullptr); }
