// A fleet upgrading at once: a few hundred downloads of one process against
// a server that serves a few at a time and answers 503 to the rest
// (bench/fleet_server.py). Runs the fleet with jittered pauses, then with
// every client pausing alike, and prints how the server saw each.
//
// Usage: fleet_bench [--strict]   (exit 1 with --strict when a goal is missed)
//   FLEET_TRANSFERS   downloads (default 600)
//   FLEET_SLOTS       downloads the server serves at once (default 40)
//   FLEET_SERVE_MS    how long each served download holds its slot (default 200)
//   FLEET_LAUNCH_MS   the fleet starts spread over this long (default 2000)
//   FLEET_BARE_EVERY  every K-th 503 has no Retry-After (default 10)
#include "LogicSession.h"

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
};

// Requests per 100 ms window from the server's request times.
void CountWindows(const std::string& times, Figures* figures) {
  std::vector<int> windows;
  double last = 0;
  const char* text = times.c_str();
  char* end = nullptr;
  for (double t = std::strtod(text, &end); end != text; t = std::strtod(text, &end)) {
    text = end;
    size_t window = static_cast<size_t>(t * 10);
    if (windows.size() <= window) windows.resize(window + 1, 0);
    ++windows[window];
    ++figures->requests;
    last = std::max(last, t);
  }
  figures->peak = windows.empty() ? 0 : *std::max_element(windows.begin(), windows.end());
  figures->mean = figures->requests / std::max(0.1, last * 10);
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
  std::printf("%-10s %6d %8.1f %9.2f %11d %11.1f %10.2f\n", mode, f.done, f.seconds,
              f.done > 0 ? static_cast<double>(f.requests) / f.done : 0.0, f.peak, f.mean,
              f.mean > 0 ? f.peak / f.mean : 0.0);
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
  curl_global_init(CURL_GLOBAL_DEFAULT);
  std::string command = std::string(BRISVANE_PYTHON3) + " " + BRISVANE_FLEET_SERVER + " --slots " +
                        std::to_string(slots) + " --serve-ms " + std::to_string(serveMs) +
                        " --bare-every " + std::to_string(bareEvery);
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
  std::printf("%-10s %6s %8s %9s %11s %11s %10s\n", "pauses", "done", "time_s", "req/done",
              "peak/100ms", "mean/100ms", "peak/mean");
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
  Get(base + "/_quit");
  pclose(server);
  const Figures& f = results[1];
  bool met = Goal("every transfer completes (jitter)", f.done == transfers);
  met &= Goal("<= 3 requests per completed download (jitter)",
              f.done > 0 && f.requests <= 3.0 * f.done);
  met &= Goal("no 100 ms window above 2x the mean rate (jitter)", f.peak <= 2 * f.mean);
  return strict && !met ? 1 : 0;
}
