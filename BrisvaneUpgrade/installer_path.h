// Where a requested installer is downloaded to.
#pragma once

#include <QString>

enum class InstallerPathResult {
  kDerived,      // `path` holds the folder plus the URL's last segment
  kNoName,       // no "\" nor "/", or nothing after the last one: `path` left as it was
  kUnsafe,       // the segment would place the file outside the folder
};

// `url` up to its query or fragment (the first "?" or "#"), if any.
QString WithoutQueryOrFragment(const QString& url);

// Takes the text after the last backslash (or, when there is none, the last
// "/") of the URL without its query and fragment, without any decoding, and
// appends it to `folder` (which ends in "/"). A URL without a separator, or
// with an empty last segment, names no file. A segment that is absolute, names a drive, holds a ".." component,
// ends in an empty or "." component or otherwise leaves `folder` is refused.
InstallerPathResult DeriveInstallerPath(const QString& folder, const QString& url, QString* path);
