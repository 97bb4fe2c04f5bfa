// Shows the real upgrade window offscreen, hands it one download request and
// measures how late its event loop runs while the download goes on. Prints
// one line:
//   ok=<0|1> code=<exit> ticks=<n> max_late_ms=<f> p99_late_ms=<f> late_gt50=<n>
//   updates=<SigUpdate count> bar=<final value> wall_s=<f> idle_rss_kib=<n>
//   peak_rss_kib=<n> above_idle_kib=<n> hwm_reset=<0|1> bytes=<n> file=<path>
// Usage: window_bench URL [WORK_DIR] [--keep]
//   WORK_DIR  where the private data folder is created (default
//             $BENCH_WORK_DIR, else $TMPDIR, else /tmp)
//   --keep    leave the data folder (and the downloaded file) in place
// BENCH_TIMEOUT_S bounds the whole download (default 900).
//
// The downloaded bytes are not an installer: the window's own completion slot
// is disconnected so that nothing is run.

#include <curl/curl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <QApplication>
#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QProgressBar>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BrisvaneUpgrade.h"
#include "LogicSession.h"
#include "startup.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kProbeMs = 10;
constexpr double kLateLimitMs = 50.0;
// Lets the window lay itself out and paint before the idle figure is taken.
constexpr int kSettleMs = 300;
constexpr std::chrono::milliseconds kAbandonWait{5000};

long StatusKib(const char* key) {
  std::FILE* status = std::fopen("/proc/self/status", "re");
  if (status == nullptr) return -1;
  const size_t keyLength = std::strlen(key);
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, key, keyLength) == 0) {
      kib = std::strtol(line + keyLength, nullptr, 10);
      break;
    }
  }
  std::fclose(status);
  return kib;
}

// Resets VmHWM to the current RSS, so that start-up transients do not count
// as the download's peak. Needs Linux 4.0 or later.
bool ResetPeakRss() {
  std::FILE* refs = std::fopen("/proc/self/clear_refs", "we");
  if (refs == nullptr) return false;
  const bool written = std::fputs("5", refs) >= 0;
  return std::fclose(refs) == 0 && written;
}

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  // Nearest rank: the smallest value with at least `fraction` of all at or below it.
  size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(values.size())));
  rank = std::clamp<size_t>(rank, 1, values.size());
  return values[rank - 1];
}

struct Args {
  QByteArray url;
  QString workDir;
  bool keep = false;
};

bool ParseArgs(int argc, char** argv, Args* args) {
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--keep") == 0) {
      args->keep = true;
    } else {
      positional.emplace_back(argv[i]);
    }
  }
  if (positional.empty() || positional.size() > 2) return false;
  args->url = QByteArray::fromStdString(positional[0]);
  if (positional.size() == 2) {
    args->workDir = QString::fromStdString(positional[1]);
  } else if (const char* dir = std::getenv("BENCH_WORK_DIR"); dir != nullptr && *dir != '\0') {
    args->workDir = QString::fromLocal8Bit(dir);
  } else if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && *tmp != '\0') {
    args->workDir = QString::fromLocal8Bit(tmp);
  } else {
    args->workDir = "/tmp";
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  if (!ParseArgs(argc, argv, &args)) {
    std::fprintf(stderr, "usage: %s URL [WORK_DIR] [--keep]\n", argv[0]);
    return 2;
  }
  long timeoutSeconds = 900;
  if (const char* timeout = std::getenv("BENCH_TIMEOUT_S")) timeoutSeconds = std::strtol(timeout, nullptr, 10);

  // A private data folder: the window derives its download folder from it.
  std::string dataTemplate = (args.workDir + "/window_bench.XXXXXX").toStdString();
  if (mkdtemp(dataTemplate.data()) == nullptr) {
    std::perror("window_bench: mkdtemp");
    return 2;
  }
  const QString dataDir = QString::fromStdString(dataTemplate);
  // The window creates only the last level of its download folder.
  if (!QDir().mkpath(dataDir + "/Tamberk")) {
    std::fprintf(stderr, "window_bench: cannot create %s/Tamberk\n", dataTemplate.c_str());
    return 2;
  }
  setenv("XDG_DATA_HOME", dataTemplate.c_str(), 1);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");

  QCoreApplication::setOrganizationName("Tamberk");
  QCoreApplication::setApplicationName("Brisvane");

  // As the program does: logger and libcurl set up before any thread starts,
  // INFO and up to a file, the console muted.
  curl_global_init(CURL_GLOBAL_DEFAULT);
  InstallLogLock();
  FILE* logStream = InitLog();

  bool ok = false;
  bool timedOut = false;
  int updates = 0;
  int bar = -1;
  std::vector<double> lateness;
  double wallSeconds = 0.0;
  long idleRss = -1;
  long peakRss = -1;
  bool hwmReset = false;
  QString installerPath;
  long long bytes = -1;
  int exitCode = 0;
  {
    QApplication app(argc, argv);
    BrisvaneUpgrade* window = BrisvaneUpgrade::GetInstance();
    window->show();

    QObject::disconnect(window, &BrisvaneUpgrade::SigDownloadCompleted, window,
                        &BrisvaneUpgrade::SlotDownloadCompleted);

    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(kProbeMs);
    Clock::time_point lastTick;
    QObject::connect(&probe, &QTimer::timeout, [&] {
      const Clock::time_point now = Clock::now();
      const double gapMs = std::chrono::duration<double, std::milli>(now - lastTick).count();
      lateness.push_back(gapMs - kProbeMs);
      lastTick = now;
    });

    Clock::time_point requestStart;
    // Queued from the transfer thread onto the window's thread, in order
    // with the progress updates.
    QObject::connect(window, &BrisvaneUpgrade::SigUpdate, window, [&](int) { ++updates; });
    QObject::connect(window, &BrisvaneUpgrade::SigDownloadCompleted, window, [&](bool success) {
      wallSeconds = std::chrono::duration<double>(Clock::now() - requestStart).count();
      probe.stop();
      peakRss = StatusKib("VmHWM:");
      ok = success;
      // As the download reported it: a window that closes discards what it
      // received, so the file is gone by the time the numbers are printed.
      bytes = window->BytesReceived();
      if (auto* progress = window->findChild<QProgressBar*>()) bar = progress->value();
      app.quit();
    });

    QTimer::singleShot(kSettleMs, window, [&] {
      hwmReset = ResetPeakRss();
      idleRss = StatusKib("VmRSS:");
      requestStart = Clock::now();
      lastTick = requestStart;
      probe.start();
      window->ReceiveRequest(args.url);
      installerPath = window->InstallerPath();
      if (installerPath.isEmpty()) {
        // Refused before any transfer: no completion will come.
        std::fprintf(stderr, "window_bench: the window refused the request\n");
        probe.stop();
        app.quit();
      }
    });
    QTimer::singleShot(std::chrono::seconds(timeoutSeconds), &app, [&] {
      timedOut = true;
      std::fprintf(stderr, "window_bench: no completion within %ld s\n", timeoutSeconds);
      app.quit();
    });

    exitCode = app.exec();

    // The same order as the program: no running transfer, then the window,
    // while the application object still exists.
    const bool transfersEnded = LogicSession::AbandonAll(kAbandonWait);
    BrisvaneUpgrade::DestroyInstance();
    if (logStream != nullptr) std::fclose(logStream);
    if (transfersEnded) curl_global_cleanup();
  }

  const std::string file = installerPath.toStdString();

  const double maxLate =
      lateness.empty() ? 0.0 : *std::max_element(lateness.begin(), lateness.end());
  const long lateTicks = std::count_if(lateness.begin(), lateness.end(),
                                       [](double late) { return late > kLateLimitMs; });
  std::printf(
      "ok=%d code=%d ticks=%zu max_late_ms=%.2f p99_late_ms=%.2f late_gt50=%ld updates=%d bar=%d "
      "wall_s=%.3f idle_rss_kib=%ld peak_rss_kib=%ld above_idle_kib=%ld hwm_reset=%d bytes=%lld "
      "file=%s\n",
      ok ? 1 : 0, exitCode, lateness.size(), maxLate, Percentile(lateness, 0.99), lateTicks,
      updates, bar, wallSeconds, idleRss, peakRss,
      (idleRss >= 0 && peakRss >= 0) ? peakRss - idleRss : -1, hwmReset ? 1 : 0, bytes,
      file.c_str());
  std::fflush(stdout);

  if (!args.keep && !QDir(dataDir).removeRecursively()) {
    std::fprintf(stderr, "window_bench: could not remove %s\n", dataTemplate.c_str());
  }
  return ok && !timedOut && exitCode == 0 ? 0 : 1;
}
