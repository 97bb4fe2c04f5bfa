#include "startup.h"

#include <QCoreApplication>
#include <QStandardPaths>
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

std::shared_ptr<platform::Folder> OpenDataFolder(bool create) {
  auto folder = std::make_shared<platform::Folder>();
  const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
  folder->Open(base.toUtf8().toStdString(),
               {QCoreApplication::organizationName().toUtf8().toStdString(),
                QCoreApplication::applicationName().toUtf8().toStdString()},
               create);
  return folder;
}

FILE* InitLog() {
  // Without the data folder there is no log; nothing is created above it.
  const platform::Folder logs = OpenDataFolder(false)->Child("logs", true);
  FILE* stream = platform::OpenSharedLogFile(logs, "upgrade.log");
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
