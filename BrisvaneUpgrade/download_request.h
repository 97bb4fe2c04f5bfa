// Whether an upgrade request may start a download, and what it downloads:
// the judging half of taking a request, before the window starts anything.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>
#include <string>

#include "folder.h"

// A request judged fit to start.
struct DownloadRequest {
  QString url;
  // The data folder the installer goes to. Invalid when it cannot be used,
  // `folderRefusal` then saying why: the upgrade fails without a download.
  std::shared_ptr<const platform::Folder> folder;
  std::string folderRefusal;
  // The installer's name in `folder`, and its full path ("/" separated).
  std::string name;
  QString path;
};

// Judges `payload` (the installer URL as UTF-8 bytes, exactly as the sender
// delivered them; NULs at its end are dropped) while `busy` says whether an
// upgrade is under way. Opens the data folder, creating it when missing, and
// logs where it is. Returns platform::kReplyTaken with `*request` filled, or
// the refusal, logged: a NUL before the end, an empty URL, busy, a name that
// would leave the folder, no name at all.
std::int32_t JudgeRequest(const QByteArray& payload, bool busy, DownloadRequest* request);
