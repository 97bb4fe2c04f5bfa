#include <curl/curl.h>

#include <QApplication>
#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <chrono>
#include <memory>

#include "BrisvaneUpgrade.h"
#include "LogicSession.h"
#include "last_error.h"
#include "log.h"
#include "request_channel.h"
#include "signals.h"
#include "startup.h"

namespace {

// How long shutdown waits for abandoned downloads to wind down.
constexpr std::chrono::milliseconds kAbandonWait{5000};

// Closes the window when SIGTERM or SIGINT arrives on `fd` (from
// WatchTerminationSignals), as Escape does.
std::unique_ptr<QSocketNotifier> WatchTermination(int fd, BrisvaneUpgrade* window) {
  if (fd < 0) return nullptr;
  auto notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  QObject::connect(notifier.get(), &QSocketNotifier::activated, window, [window] {
    platform::DrainTerminationSignals();
    window->reject();
  });
  return notifier;
}

// Exit code of a run whose request channel could not be opened.
constexpr int kNoChannelExitCode = 1;

// Delivers requests from the local channel to the window on the GUI thread;
// null when the channel could not be opened (the reason is logged).
std::unique_ptr<platform::RequestServer> ServeRequests(BrisvaneUpgrade* window) {
  auto server = std::make_unique<platform::RequestServer>(
      [window](platform::Request request, platform::Responder respond) {
        // Answered on the GUI thread, where the window decides; dropped
        // unrun when the window goes first, it answers kReplyClosing.
        QMetaObject::invokeMethod(
            window,
            [window, request = std::move(request), respond = std::move(respond)]() mutable {
              // Taken out of the queued call, which Qt may destroy on the
              // channel's thread: what is read here is also released here.
              const platform::Request taken = std::move(request);
              const platform::Responder answer = std::move(respond);
              answer(window->ReceiveRequest(QByteArray::fromStdString(taken.payload),
                                            taken.requestId));
            },
            Qt::QueuedConnection);
      },
      [](const std::string& message) { LOG_ERROR("%s", message.c_str()); });
  if (server->Start()) return server;
  LOG_ERROR("BrisvaneUpgrade request channel could not be opened");
  return nullptr;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (IsAlreadyRunning()) return 0;

  // The window is laid out in logical pixels; let Qt scale it by the screen's
  // exact factor (150 % stays 150 %, not rounded to 200 %) so it looks the
  // same at every DPI. Both must be set before the application object exists.
  QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
  QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
  QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
      Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);

  QCoreApplication::setOrganizationName("Tamberk");
  QCoreApplication::setApplicationName("Brisvane");

  // Everything below may start threads: set the process up first.
  const int terminationFd = platform::WatchTerminationSignals();
  platform::RestoreChildSignal();
  platform::IgnoreBrokenPipe();
  curl_global_init(CURL_GLOBAL_DEFAULT);
  InstallLogLock();
  FILE* logStream = InitLog();

  int exitCode = 0;
  {
    QApplication app(argc, argv);
    BrisvaneUpgrade* window = BrisvaneUpgrade::GetInstance();
    window->show();
    if (!platform::AcceptRequestsFromUnelevated(reinterpret_cast<void*>(window->winId()))) {
      LOG_ERROR("BrisvaneUpgrade requests from a client without raised rights cannot be let in:%d",
                static_cast<int>(platform::LastErrorCode()));
    }
    auto termination = WatchTermination(terminationFd, window);
    auto requests = ServeRequests(window);

    // No request can reach a window without its channel: the run ends now
    // rather than wait for ever, and starts nothing.
    exitCode = requests ? app.exec() : kNoChannelExitCode;

    // Tear down in the order that keeps every callback away from dead
    // objects: no new requests, no running transfer, then the window, all
    // while the application object still exists.
    requests.reset();
    const bool transfersEnded = LogicSession::AbandonAll(kAbandonWait);
    termination.reset();
    BrisvaneUpgrade::DestroyInstance();
    LOG_INFO("upgrade end");
    if (logStream != nullptr) fclose(logStream);
    if (transfersEnded) curl_global_cleanup();
  }
  return exitCode;
}
