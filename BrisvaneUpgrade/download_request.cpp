#include "download_request.h"

#include <QDir>
#include <QStandardPaths>

#include "installer_path.h"
#include "log.h"
#include "log_text.h"
#include "request_protocol.h"
#include "startup.h"

namespace {

// The folder as the log and the installer's path name it, "/" separated and
// ending in "/": the one opened, so that the name is judged against the
// folder the file is written to. When none could be opened nothing is
// fetched, and the log still says where it was looked for.
QString FolderText(const platform::Folder& folder) {
  const QString path = folder.valid()
                           ? QDir::fromNativeSeparators(QString::fromStdString(folder.path()))
                           : QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
  return path + "/";
}

// The installer's name for `url` in `folder`, or the refusal, logged.
std::int32_t JudgeName(const QString& url, const QString& folder, DownloadRequest* request) {
  QString path;
  const InstallerPathResult derived = DeriveInstallerPath(folder, url, &path);
  if (derived == InstallerPathResult::kUnsafe) {
    LOG_ERROR("BrisvaneUpgrade::StartDownload installer name leaves the download folder:%s",
              LoggableUrl(url).c_str());
    return platform::kReplyUnsafeName;
  }
  // Fetched under no name, it could only fail once the transfer began.
  if (derived == InstallerPathResult::kNoName) {
    LOG_ERROR("BrisvaneUpgrade::StartDownload the url names no installer file, request refused:%s",
              LoggableUrl(url).c_str());
    return platform::kReplyNoInstallerName;
  }
  request->path = path;
  request->name = path.mid(folder.size()).toUtf8().toStdString();
  return platform::kReplyTaken;
}

}  // namespace

std::int32_t JudgeRequest(const QByteArray& payload, bool busy, DownloadRequest* request) {
  // Senders often count the C string's terminator; it is never part of a URL.
  QByteArray bytes = payload;
  while (bytes.endsWith('\0')) bytes.chop(1);
  // Downloaded up to the NUL but named after the whole text, it would not be
  // what the sender asked for.
  if (bytes.contains('\0')) {
    LOG_ERROR(
        "BrisvaneUpgrade::ReceiveRequest the url holds a NUL before its end, request refused");
    return platform::kReplyNulInUrl;
  }
  const QString url = QString::fromUtf8(bytes);
  if (url.isEmpty()) {
    LOG_ERROR("BrisvaneUpgrade::StartDownloaddownload url is empty");
    return platform::kReplyEmptyUrl;
  }
  if (busy) {
    LOG_ERROR("BrisvaneUpgrade::StartDownload an upgrade is already in progress, request ignored");
    return platform::kReplyBusy;
  }
  // Created and reached one component at a time, never through a link; a
  // folder that cannot be opened fails the upgrade once it is taken.
  std::string refused;
  std::shared_ptr<const platform::Folder> folder = OpenDataFolder(true, &refused);
  const QString folderText = FolderText(*folder);
  LOG_INFO("BrisvaneUpgrade::StartDownload download path:%s", folderText.toUtf8().constData());
  const std::int32_t reply = JudgeName(url, folderText, request);
  if (reply != platform::kReplyTaken) return reply;
  request->url = url;
  request->folder = std::move(folder);
  request->folderRefusal = std::move(refused);
  return platform::kReplyTaken;
}
