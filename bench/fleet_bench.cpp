// A fleet upgrading at once: a few hundred downloads of one process against
// a server that serves a few at a time and answers 503 to the rest
// (bench/fleet_server.py). Runs the fleet with jittered pauses, then with
// every client pausing alike, and prints how the server saw each. Then a
// few clients whose downloads are all cut at the same instant by a server
// that stays down: they retry until the budget without progress is spent,
// and the largest number of their tries in any half-second shows whether
// they come back as one burst at its edge.
//
// Usage: fleet_bench [--strict]   (exit 1 with --strict when a goal is missed)
//   FLEET_TRANSFERS   downloads (default 600)
//   FLEET_SLOTS       downloads the server serves at once (default 40)
//   FLEET_SERVE_MS    how long each served download holds its slot (default 200)
//   FLEET_LAUNCH_MS   the fleet starts spread over this long (default 2000)
//   FLEET_BARE_EVERY  every K-th 503 has no Retry-After (default 10)
//   FLEET_CUT_CLIENTS clients cut at the same instant (default 8)
//   FLEET_CUT_BUDGET_S their budget without progress (default 60, the program's)
#include "LogicSession.h"
#include "log.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

int EnvInt(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && std::atoi(value) > 0 ? std::atoi(value) : fallback;
}

size_t Collect(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

std::string Get(const std::string& url) {
  std::string body;
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  return body;
}

struct Figures {
  int done = 0;           // downloads that completed
  double seconds = 0;     // from the first start until the last completion
  size_t requests = 0;    // what the server saw
  int peak = 0;           // the most requests in one 100 ms window
  double mean = 0;        // requests per 100 ms over the whole run
  int peakHalf = 0;       // the most requests in any half-second
};

// The server's request times, in seconds since its first request, sorted.
std::vector<double> Times(const std::string& text) {
  std::vector<double> times;
  const char* at = text.c_str();
  char* end = nullptr;
  for (double t = std::strtod(at, &end); end != at; t = std::strtod(at, &end)) {
    at = end;
    times.push_back(t);
  }
  std::sort(times.begin(), times.end());
  return times;
}

// The most of `times` (sorted) within any span of `span` seconds, wherever
// it starts: fixed windows would split a burst across their edge.
int PeakWithin(const std::vector<double>& times, double span) {
  int peak = 0;
  for (size_t first = 0, last = 0; last < times.size(); ++last) {
    while (times[last] - times[first] >= span) ++first;
    peak = std::max(peak, static_cast<int>(last - first + 1));
  }
  return peak;
}

// Requests per 100 ms window from the server's request times.
void CountWindows(const std::string& text, Figures* figures) {
  std::vector<int> windows;
  const std::vector<double> times = Times(text);
  for (double t : times) {
    size_t window = static_cast<size_t>(t * 10);
    if (windows.size() <= window) windows.resize(window + 1, 0);
    ++windows[window];
  }
  figures->requests = times.size();
  figures->peak = windows.empty() ? 0 : *std::max_element(windows.begin(), windows.end());
  figures->mean = figures->requests / std::max(0.1, (times.empty() ? 0 : times.back()) * 10);
  figures->peakHalf = PeakWithin(times, 0.5);
}

// Starts `count` downloads spread over `launch` and waits for them all.
Figures RunFleet(const std::string& base, int count, std::chrono::milliseconds launch,
                 const std::filesystem::path& out) {
  std::mutex mutex;
  std::condition_variable finished;
  int ended = 0, done = 0;
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<long long> when(0, launch.count());
  std::vector<long long> starts(count);
  for (long long& start : starts) start = when(random);
  std::sort(starts.begin(), starts.end());
  Clock::time_point began = Clock::now();
  for (int i = 0; i < count; ++i) {
    std::this_thread::sleep_until(began + std::chrono::milliseconds(starts[i]));
    LogicSession session;
    session.DownloadFile(
        [&](std::string, CURLcode code, int) {
          std::lock_guard<std::mutex> lock(mutex);
          ++ended;
          if (code == CURLE_OK) ++done;
          finished.notify_all();
        },
        nullptr, base + "/fleet/setup-" + std::to_string(i) + ".exe", {},
        (out / ("setup-" + std::to_string(i) + ".exe")).string());
  }
  std::unique_lock<std::mutex> lock(mutex);
  finished.wait(lock, [&] { return ended == count; });
  Figures figures;
  figures.done = done;
  figures.seconds = std::chrono::duration<double>(Clock::now() - began).count();
  lock.unlock();
  // The count drops only after the completion callback returned.
  while (LogicSession::RunningTransfers() > 0) std::this_thread::sleep_for(10ms);
  CountWindows(Get(base + "/_times"), &figures);
  return figures;
}

void PrintRow(const char* mode, const Figures& f) {
  std::printf("%-10s %6d %8.1f %9.2f %11d %11.1f %10.2f %10d\n", mode, f.done, f.seconds,
              f.done > 0 ? static_cast<double>(f.requests) / f.done : 0.0, f.peak, f.mean,
              f.mean > 0 ? f.peak / f.mean : 0.0, f.peakHalf);
}

// How the retries of a fleet cut at once fell.
struct CutFigures {
  int clients = 0;
  int retries = 0;       // requests after each client's first
  int peakHalf = 0;      // the most retries in any half-second
  int peakTen = 0;       // ... in any 10 ms
  double last = 0;       // the last retry, in seconds after the cut
  int atEdge = 0;        // retries in the budget's last second
};

// `clients` downloads started together, cut together by the server, which
// then stays down; waits until every one has given up.
CutFigures RunCut(const std::string& base, int clients, std::chrono::seconds budget) {
  TransferOptions options;
  options.noProgressBudget = budget;
  LogicSession::SetTransferOptions(options);
  Get(base + "/_reset");
  std::mutex mutex;
  std::condition_variable finished;
  int ended = 0;
  const std::filesystem::path out = std::filesystem::temp_directory_path() / "fleet_bench.cut";
  std::filesystem::create_directories(out);
  for (int i = 0; i < clients; ++i) {
    LogicSession().DownloadFile(
        [&](std::string, CURLcode, int) {
          std::lock_guard<std::mutex> lock(mutex);
          ++ended;
          finished.notify_all();
        },
        nullptr, base + "/cut/setup-" + std::to_string(i) + ".exe", {},
        (out / ("setup-" + std::to_string(i) + ".exe")).string());
  }
  {
    std::unique_lock<std::mutex> lock(mutex);
    finished.wait(lock, [&] { return ended == clients; });
  }
  while (LogicSession::RunningTransfers() > 0) std::this_thread::sleep_for(10ms);
  std::filesystem::remove_all(out);
  // The first `clients` requests are the ones that were cut; the rest retry.
  std::vector<double> times = Times(Get(base + "/_cut_times"));
  CutFigures figures;
  figures.clients = clients;
  const double cut = times.size() >= static_cast<size_t>(clients) ? times[clients - 1] : 0;
  times.erase(times.begin(), times.begin() + std::min<size_t>(times.size(), clients));
  figures.retries = static_cast<int>(times.size());
  figures.peakHalf = PeakWithin(times, 0.5);
  figures.peakTen = PeakWithin(times, 0.01);
  figures.last = times.empty() ? 0 : times.back() - cut;
  const double edge = cut + static_cast<double>(budget.count()) - 1;
  figures.atEdge = static_cast<int>(std::count_if(times.begin(), times.end(), [edge](double t) { return t >= edge; }));
  return figures;
}

bool Goal(const char* what, bool met) {
  std::printf("goal: %-46s %s\n", what, met ? "PASS" : "FAIL");
  return met;
}

}  // namespace

int main(int argc, char** argv) {
  bool strict = argc > 1 && std::string(argv[1]) == "--strict";
  int transfers = EnvInt("FLEET_TRANSFERS", 600), slots = EnvInt("FLEET_SLOTS", 40);
  int serveMs = EnvInt("FLEET_SERVE_MS", 200), launchMs = EnvInt("FLEET_LAUNCH_MS", 2000);
  int bareEvery = EnvInt("FLEET_BARE_EVERY", 10);
  const int cutClients = EnvInt("FLEET_CUT_CLIENTS", 8);
  const std::chrono::seconds cutBudget(EnvInt("FLEET_CUT_BUDGET_S", 60));
  curl_global_init(CURL_GLOBAL_DEFAULT);
  // A line per retry would drown the table.
  LogSetThreshold(WARN);
  std::string command = std::string(BRISVANE_PYTHON3) + " " + BRISVANE_FLEET_SERVER + " --slots " +
                        std::to_string(slots) + " --serve-ms " + std::to_string(serveMs) +
                        " --bare-every " + std::to_string(bareEvery) + " --cut-clients " +
                        std::to_string(cutClients);
  std::FILE* server = popen(command.c_str(), "r");
  char port[32] = {};
  if (server == nullptr || std::fgets(port, sizeof port, server) == nullptr) {
    std::fprintf(stderr, "fleet_bench: the fleet server did not start\n");
    return 2;
  }
  std::string base = "http://127.0.0.1:" + std::to_string(std::atoi(port));
  std::filesystem::path out = std::filesystem::temp_directory_path() /
                              ("fleet_bench." + std::to_string(std::atoi(port)));
  std::printf("fleet: %d downloads started over %d ms; the server serves %d at once, %d ms each\n",
              transfers, launchMs, slots, serveMs);
  std::printf("%-10s %6s %8s %9s %11s %11s %10s %10s\n", "pauses", "done", "time_s", "req/done",
              "peak/100ms", "mean/100ms", "peak/mean", "peak/0.5s");
  Figures results[2];
  for (int jitter = 1; jitter >= 0; --jitter) {
    TransferOptions options;
    options.retryJitter = jitter == 1;
    LogicSession::SetTransferOptions(options);
    std::filesystem::create_directories(out);
    Get(base + "/_reset");
    results[jitter] = RunFleet(base, transfers, std::chrono::milliseconds(launchMs), out);
    std::filesystem::remove_all(out);
    PrintRow(jitter ? "jitter" : "no-jitter", results[jitter]);
  }
  const CutFigures cut = RunCut(base, cutClients, cutBudget);
  std::printf("cut: %d clients cut at once, %lld s without progress allowed: %d retries, "
              "the last %.2f s after the cut; the most in any 0.5 s: %d, in any 10 ms: %d, "
              "in the budget's last second: %d\n",
              cut.clients, static_cast<long long>(cutBudget.count()), cut.retries, cut.last, cut.peakHalf,
              cut.peakTen, cut.atEdge);
  Get(base + "/_quit");
  pclose(server);
  const Figures& f = results[1];
  bool met = Goal("every transfer completes (jitter)", f.done == transfers);
  met &= Goal("<= 3 requests per completed download (jitter)",
              f.done > 0 && f.requests <= 3.0 * f.done);
  met &= Goal("no 100 ms window above 2x the mean rate (jitter)", f.peak <= 2 * f.mean);
  met &= Goal("no 10 ms holds half the fleet cut at once", 2 * cut.peakTen < cut.clients);
  return strict && !met ? 1 : 0;
}
