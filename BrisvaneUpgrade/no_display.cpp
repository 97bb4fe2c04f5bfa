#include "no_display.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <cstdlib>

#include "log.h"
#include "log_text.h"
#include "request_protocol.h"

namespace {

// Set only while a NoDisplayExit lives, on the main thread.
QtMessageHandler g_previous = nullptr;
std::FILE* g_log = nullptr;
// What Qt warned of before it gave up: it names the display it could not
// reach, which its fatal message does not.
QStringList g_warnings;

void OnQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type != QtFatalMsg) {
    if (type == QtWarningMsg || type == QtCriticalMsg) g_warnings << message;
    if (g_previous != nullptr) g_previous(type, context, message);
    return;
  }
  // Qt's fatal text runs over several lines; its first one says enough.
  g_warnings << message.section('\n', 0, 0);
  LOG_ERROR("main no display to show the window on: %s", EscapeForLog(g_warnings.join("; ")).c_str());
  LOG_INFO("upgrade end");
  if (g_log != nullptr) std::fflush(g_log);
  // Nothing else is running yet, and Qt is half set up: nothing must be torn
  // down on the way out, as Qt's own abort() would not either.
  std::_Exit(platform::kNoDisplayExitCode);
}

}  // namespace

NoDisplayExit::NoDisplayExit(std::FILE* log) {
  g_log = log;
  g_warnings.clear();
  g_previous = qInstallMessageHandler(OnQtMessage);
}

NoDisplayExit::~NoDisplayExit() {
  qInstallMessageHandler(g_previous);
  g_previous = nullptr;
  g_log = nullptr;
  g_warnings.clear();
}
