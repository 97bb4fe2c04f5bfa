#include "installer_path.h"

#include <QDir>
#include <QRegularExpression>

namespace {

bool EscapesFolder(const QString& folder, const QString& name) {
  // An empty or "." last component names a folder, not a file in one: the
  // folder itself or one inside it, which the download would then replace.
  static const QRegularExpression separators("[/\\\\]");
  const QString last = name.mid(name.lastIndexOf(separators) + 1);
  if (last.isEmpty() || last == ".") return true;
  if (QDir::isAbsolutePath(name) || name.startsWith('/') || name.startsWith('\\')) return true;
  // "C:..." would be read as a drive on Windows.
  static const QRegularExpression drive("^[A-Za-z]:");
  if (drive.match(name).hasMatch()) return true;
  const QStringList parts = name.split(separators);
  if (parts.contains("..")) return true;
  const QString base = QDir::cleanPath(folder);
  const QString target = QDir::cleanPath(folder + name);
  return !target.startsWith(base + '/');
}

}  // namespace

QString WithoutQueryOrFragment(const QString& url) {
  // Signed links carry a token in the query that changes with every link:
  // it names nothing, and "?" cannot be in a Windows file name.
  static const QRegularExpression start("[?#]");
  const int at = url.indexOf(start);
  return at < 0 ? url : url.left(at);
}

InstallerPathResult DeriveInstallerPath(const QString& folder, const QString& address, QString* path) {
  const QString url = WithoutQueryOrFragment(address);
  int separator = url.lastIndexOf('\\');
  if (separator < 0) separator = url.lastIndexOf('/');
  if (separator < 0) return InstallerPathResult::kNoName;

  const QString name = url.mid(separator + 1);
  if (name.isEmpty()) return InstallerPathResult::kNoName;
  if (EscapesFolder(folder, name)) return InstallerPathResult::kUnsafe;
  *path = folder + name;
  return InstallerPathResult::kDerived;
}
