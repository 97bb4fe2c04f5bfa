#include "startup.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <mutex>

#include "guard.h"
#include "installer_run.h"
#include "log.h"
#include "log_file.h"
#include "log_text.h"

platform::Guard g_singletonMutex;

bool IsAlreadyRunning() {
  bool alreadyExists = false;
  g_singletonMutex = platform::CreateSingletonGuard(kSingletonMutexName, &alreadyExists);
  return g_singletonMutex && alreadyExists;
}

std::shared_ptr<platform::Folder> OpenDataFolder(bool create, std::string* why) {
  auto folder = std::make_shared<platform::Folder>();
  const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
  folder->Open(base.toUtf8().toStdString(),
               {QCoreApplication::organizationName().toUtf8().toStdString(),
                QCoreApplication::applicationName().toUtf8().toStdString()},
               create, why);
  return folder;
}

FILE* InitLog() {
  // The chain is made as for the download, so that a first upgrade on a
  // fresh profile keeps its whole story; a refused location gets no log.
  std::string why;
  const platform::Folder logs = OpenDataFolder(true, &why)->Child("logs", true);
  FILE* stream = platform::OpenSharedLogFile(logs, "upgrade.log");
  if (stream == nullptr) {
    // Only the console hears it, as nothing else is set up yet.
    if (!why.empty()) LOG_ERROR("InitLog the data folder cannot be used: %s", why.c_str());
    return nullptr;
  }

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

void RemoveEarlierInstallerFolders() {
  // Never created here: without a data folder an unelevated run has nothing
  // to sweep, and a raised one finds its place without it.
  const std::shared_ptr<const platform::Folder> parent =
      platform::Folder::InstallerParent(OpenDataFolder(false), nullptr);
  if (!parent) return;
  for (const std::string& path : parent->RemoveLeftoverPrivate(kOwnFolderPrefix)) {
    LOG_INFO("BrisvaneUpgrade removed the folder of an earlier installer run:%s",
             EscapeForLog(QString::fromStdString(path)).c_str());
  }
}
