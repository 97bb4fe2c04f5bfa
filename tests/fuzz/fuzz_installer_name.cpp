// Installer names taken from a requested URL: a derived path is a file
// directly or below the download folder, named by the URL's last segment,
// never the folder itself, never ".", never "..".
#include <QDir>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "installer_path.h"

namespace {

const QString kFolder = "/data/Tamberk/Brisvane/";

// Inside kFolder read with either separator, as Linux or Windows reads it.
bool StaysInside(const QString& name) {
  const QString base = QDir::cleanPath(kFolder);
  for (const QString& form : {name, QString(name).replace('\\', '/')}) {
    if (!QDir::cleanPath(kFolder + form).startsWith(base + '/')) return false;
  }
  return true;
}

void CheckDerived(const QString& address, const QString& path) {
  // Named by the path alone: the query and fragment end at the first "?" or "#".
  const int query = address.indexOf(QRegularExpression("[?#]"));
  const QString url = query < 0 ? address : address.left(query);
  FUZZ_CHECK(!path.contains('?') && !path.contains('#'));
  FUZZ_CHECK(path.startsWith(kFolder));
  const QString name = path.mid(kFolder.size());
  const int backslash = url.lastIndexOf('\\');
  FUZZ_CHECK(name == url.mid((backslash >= 0 ? backslash : url.lastIndexOf('/')) + 1));
  static const QRegularExpression separators("[/\\\\]"), drive("^[A-Za-z]:");
  const QStringList parts = name.split(separators);
  FUZZ_CHECK(!parts.last().isEmpty() && parts.last() != ".");
  FUZZ_CHECK(!parts.contains(".."));
  FUZZ_CHECK(!name.startsWith('/') && !name.startsWith('\\'));
  FUZZ_CHECK(!drive.match(name).hasMatch());
  FUZZ_CHECK(StaysInside(name));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  QString url = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<int>(size));
  QString path = "unchanged";
  switch (DeriveInstallerPath(kFolder, url, &path)) {
    case InstallerPathResult::kDerived:
      CheckDerived(url, path);
      break;
    case InstallerPathResult::kNoName: {
      const int query = url.indexOf(QRegularExpression("[?#]"));
      if (query >= 0) url.truncate(query);
      const int backslash = url.lastIndexOf('\\');
      const int separator = backslash >= 0 ? backslash : url.lastIndexOf('/');
      FUZZ_CHECK(separator < 0 || separator == url.size() - 1);
      FUZZ_CHECK(path == "unchanged");
      break;
    }
      break;
    case InstallerPathResult::kUnsafe:
      FUZZ_CHECK(path == "unchanged");
      break;
  }
  return 0;
}
