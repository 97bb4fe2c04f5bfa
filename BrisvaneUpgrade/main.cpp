#include <curl/curl.h>

#include <QApplication>
#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "BrisvaneUpgrade.h"
#include "LogicSession.h"
#include "command_line.h"
#include "command_line_request.h"
#include "log.h"
#include "no_display.h"
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

// Held by the channel's thread while it queues a request and taken by the
// GUI thread before it reads one: Qt's queue already orders the two, but
// with a lock the thread sanitizer cannot see; this one it sees.
std::mutex g_queuedRequests;

// The answer of the request the GUI thread is handling, null between
// requests. GUI thread only.
const platform::Responder* g_answering = nullptr;

// Hands one request from the channel to the window and answers it.
void Answer(BrisvaneUpgrade* window, const platform::Request& request,
            const platform::Responder& answer) {
  g_answering = &answer;
  const std::int32_t reply =
      request.withdraws ? window->ReceiveWithdrawal()
                        : window->ReceiveRequest(QByteArray::fromStdString(request.payload),
                                                 request.requestId);
  g_answering = nullptr;
  answer(reply);
}

// The window's last act before it starts the client again. A request being
// handled right then is the one that ended the run (its upgrade could not
// even begin): it was taken, and hears so before the server stops, which
// would tell it "closing".
void StopServing(platform::RequestServer* server) {
  if (g_answering != nullptr) (*g_answering)(platform::kReplyTaken);
  server->Stop();
}

// Delivers requests from the local channel to the window on the GUI thread;
// null when the channel could not be opened (the reason is logged).
std::unique_ptr<platform::RequestServer> ServeRequests(BrisvaneUpgrade* window) {
  auto server = std::make_unique<platform::RequestServer>(
      [window](platform::Request request, platform::Responder respond) {
        // Answered on the GUI thread, where the window decides; dropped
        // unrun when the window goes first, it answers kReplyClosing.
        const std::lock_guard<std::mutex> queuing(g_queuedRequests);
        QMetaObject::invokeMethod(
            window,
            [window, request = std::move(request), respond = std::move(respond)]() mutable {
              { const std::lock_guard<std::mutex> queued(g_queuedRequests); }
              // Taken out of the queued call, which Qt may destroy on the
              // channel's thread: what is read here is also released here.
              const platform::Request taken = std::move(request);
              const platform::Responder answer = std::move(respond);
              Answer(window, taken, answer);
            },
            Qt::QueuedConnection);
      },
      [](const std::string& message) { LOG_ERROR("%s", message.c_str()); });
  if (server->Start()) {
    window->SetStopTakingRequests([raw = server.get()] { StopServing(raw); });
    return server;
  }
  LOG_ERROR("BrisvaneUpgrade request channel could not be opened");
  return nullptr;
}

// The request this run was started with, read from its own arguments as
// UTF-8; malformed also when they cannot be read.
CommandLineRequest ReadStartRequest(int argc, char* argv[]) {
  std::vector<std::string> arguments;
  if (platform::CommandLineArguments(argc, argv, &arguments)) {
    return ReadCommandLineRequest(arguments);
  }
  CommandLineRequest unreadable;
  unreadable.kind = CommandLineRequest::Kind::kMalformed;
  unreadable.problem = "the command line cannot be read as UTF-8";
  return unreadable;
}

// Hands the window the request this run was started with, as if it had come
// first by the channel, before the window is shown: a client that sees the
// window knows its request was taken. Returns the window's reply.
std::int32_t TakeStartRequest(BrisvaneUpgrade* window, const CommandLineRequest& request) {
  LOG_INFO("main the request came on the command line");
  return window->ReceiveRequest(QByteArray::fromStdString(request.url), request.requestId);
}

// Runs the window until it closes and returns the run's exit code;
// `*transfersEnded` tells whether every download wound down in time.
int RunWindow(BrisvaneUpgrade* window, const CommandLineRequest& startRequest, int terminationFd,
              bool* transfersEnded) {
  std::unique_ptr<QSocketNotifier> termination;
  std::unique_ptr<platform::RequestServer> requests;
  const bool hasRequest = startRequest.kind == CommandLineRequest::Kind::kRequest;
  const bool guardHeld = g_singletonMutex.valid();
  const std::int32_t reply =
      hasRequest ? TakeStartRequest(window, startRequest) : platform::kReplyTaken;
  int exitCode = 0;
  if (reply != platform::kReplyTaken) {
    // The window has logged why; nothing was started, nothing is shown.
    exitCode = platform::kRequestRefusedExitBase + reply;
  } else if (hasRequest && guardHeld && !g_singletonMutex.valid()) {
    // Its upgrade already ended (the guard goes to the client restarted at
    // every end): a window shown now would never close.
    exitCode = 0;
  } else {
    window->show();
    termination = WatchTermination(terminationFd, window);
    requests = ServeRequests(window);
    // No request can reach a window without its channel: the run ends now
    // rather than wait for ever, and starts nothing. One that took its
    // request from the command line has its upgrade under way.
    exitCode = requests || hasRequest ? QApplication::exec() : kNoChannelExitCode;
  }
  // Tear down in the order that keeps every callback away from dead
  // objects: no new requests, no running transfer, then the window, all
  // while the application object still exists.
  window->SetStopTakingRequests(nullptr);
  requests.reset();
  *transfersEnded = LogicSession::AbandonAll(kAbandonWait);
  termination.reset();
  return exitCode;
}

}  // namespace

int main(int argc, char* argv[]) {
  // Before anything else reads the arguments: a request in them is ours.
  const CommandLineRequest startRequest = ReadStartRequest(argc, argv);
  const bool hasRequest = startRequest.kind == CommandLineRequest::Kind::kRequest;
  // A request that cannot be taken is not ended in silence: its starter
  // learns that another upgrader (or client) holds the guard.
  if (IsAlreadyRunning()) return hasRequest ? platform::kGuardHeldExitCode : 0;

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
  RemoveEarlierInstallerFolders();

  if (startRequest.kind == CommandLineRequest::Kind::kMalformed) {
    LOG_ERROR("main the command line is refused, nothing is started: %s",
              startRequest.problem.c_str());
    LOG_INFO("upgrade end");
    if (logStream != nullptr) fclose(logStream);
    curl_global_cleanup();
    return platform::kBadCommandLineExitCode;
  }

  int exitCode = 0;
  {
    // Qt sees the program's name alone when a request came: a URL such as
    // "-platformpluginpath=..." must never be taken for one of its options.
    char* nameOnly[] = {argv[0], nullptr};
    int qtArgc = hasRequest ? 1 : argc;
    std::optional<NoDisplayExit> noDisplay(std::in_place, logStream);
    QApplication app(qtArgc, hasRequest ? nameOnly : argv);
    noDisplay.reset();
    bool transfersEnded = true;
    exitCode = RunWindow(BrisvaneUpgrade::GetInstance(), startRequest, terminationFd, &transfersEnded);
    BrisvaneUpgrade::DestroyInstance();
    LOG_INFO("upgrade end");
    if (logStream != nullptr) fclose(logStream);
    if (transfersEnded) curl_global_cleanup();
  }
  return exitCode;
}
