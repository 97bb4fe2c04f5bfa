// A small client of BrisvaneUpgrade (C++17): starts an upgrade, and once the
// upgrader has started it again, tells the user what became of it.
//
//   brisvane-example [--upgrader PATH] [INSTALLER-URL]
//
// It keeps its state in a folder of its own, BrisvaneExample under
// $XDG_DATA_HOME (~/.local/share when unset) or %LOCALAPPDATA%:
// pending-request holds the id of the request it handed over, answers.txt
// every line it showed, since the upgrader starts it without a console, and
// log.txt the details for its developer.
#include <brisvane/upgrade_client.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;

#ifdef _WIN32
#include <windows.h>
fs::path DataFolder() {
  const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
  return local && *local ? fs::path(local) / L"BrisvaneExample" : fs::path();
}
// The library's sentences are UTF-8.
void UseUtf8Console() { SetConsoleOutputCP(CP_UTF8); }
#else
fs::path DataFolder() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data && data[0] == '/') return fs::path(data) / "BrisvaneExample";
  const char* home = std::getenv("HOME");
  return home && *home ? fs::path(home) / ".local/share/BrisvaneExample" : fs::path();
}
void UseUtf8Console() {}
#endif

// Shows `line` and keeps it in answers.txt.
void Show(const fs::path& folder, const std::string& line) {
  std::cout << line << std::endl;
  std::ofstream(folder / "answers.txt", std::ios::app) << line << '\n';
}

// Keeps `line` in the program's own log, log.txt.
void Log(const fs::path& folder, const std::string& line) {
  std::ofstream(folder / "log.txt", std::ios::app) << line << '\n';
}

// The first of LANGUAGE, LC_ALL and LANG that is set decides.
brisvane::Language UserLanguage() {
  for (const char* name : {"LANGUAGE", "LC_ALL", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) {
      return std::string(value).rfind("zh", 0) == 0 ? brisvane::Language::kSimplifiedChinese
                                                    : brisvane::Language::kEnglish;
    }
  }
  return brisvane::Language::kEnglish;
}

// On every start: the answer to the request handed over before, if any.
void ReportPendingRequest(const fs::path& folder) {
  const fs::path pending = folder / "pending-request";
  std::uint64_t id = 0;
  {
    std::ifstream in(pending);
    if (!in) return;
    in >> id;
  }
  const brisvane::LastUpgradeRead read = brisvane::ReadLastUpgrade();
  if (read.status == brisvane::LastUpgradeRead::Status::kRead &&
      brisvane::AnswersRequest(read.record, id)) {
    Show(folder, brisvane::DescribeLastUpgrade(read.record, UserLanguage()));
    Log(folder, brisvane::DescribeLastUpgradeDetail(read.record));
  } else {
    Show(folder, brisvane::DescribeUnansweredUpgrade(UserLanguage()));
    Log(folder, "no record answers request " + std::to_string(id) +
                    (read.reason.empty() ? "" : ": " + read.reason));
  }
  std::error_code ignored;
  fs::remove(pending, ignored);
}

// What a start came to: on kTaken the request id is kept and the program
// quits (returns 0); else it says why and returns 1.
int Answer(const fs::path& folder, const brisvane::StartResult& result) {
  if (result.status != brisvane::StartResult::Status::kTaken) {
    static const char* const kNames[] = {"taken",   "guard held", "elevation declined",
                                         "not started", "exited early", "busy",
                                         "refused", "failed",     "no display"};
    const auto index = static_cast<std::size_t>(result.status);
    Show(folder, std::string("The upgrade did not start (") +
                     (index < std::size(kNames) ? kNames[index] : "?") + "): " + result.reason);
    return 1;
  }
  if (!(std::ofstream(folder / "pending-request") << result.requestId << '\n')) {
    Log(folder, "cannot keep the request id in " + folder.string());
  }
  Show(folder, "The upgrade has started (request " + std::to_string(result.requestId) +
                   "); this program quits now.");
  // Quit right away: the upgrader replaces this program, then starts it
  // again without arguments.
  return 0;
}

// Hands `url` to the upgrader beside this program (or `upgrader`), giving
// it the guard this program holds, without holding up the caller's thread.
int StartTheUpgrade(const fs::path& folder, const std::string& url, const std::string& upgrader,
                    brisvane::ClientGuard& guard) {
  brisvane::StartOptions options;
  options.upgraderPath = upgrader;
  options.guard = &guard;  // released for the upgrader, taken back when not taken
  int exitCode = 1;
  // Called on the library's thread the moment the start ends, so that the id
  // is kept before a quick upgrade starts this program again (a GUI client
  // posts the result to its UI thread from here).
  brisvane::PendingStart pending = brisvane::StartUpgradeAsync(
      url, options, [&](const brisvane::StartResult& result) { exitCode = Answer(folder, result); });
  // A GUI client's event loop runs meanwhile; this loop stands in for it.
  while (!pending.Wait(std::chrono::milliseconds(50))) {
  }
  return exitCode;
}

int main(int argc, char** argv) {
  UseUtf8Console();
  const bool withUpgrader = argc > 1 && std::string(argv[1]) == "--upgrader";
  if (argc > (withUpgrader ? 4 : 2) || (withUpgrader && argc < 4)) {
    std::cerr << "usage: brisvane-example [--upgrader PATH] [INSTALLER-URL]\n";
    return 2;
  }
  const fs::path folder = DataFolder();
  std::error_code error;
  if (folder.empty()) {
    std::cerr << "no data folder: neither XDG_DATA_HOME, HOME nor LOCALAPPDATA is set\n";
    return 1;
  }
  if (fs::create_directories(folder, error), error) {
    std::cerr << "cannot make " << folder.string() << ": " << error.message() << '\n';
    return 1;
  }
  // One instance at a time, and none while an upgrade replaces it.
  brisvane::ClientGuard guard;
  std::string why;
  const brisvane::ClientGuard::Status guarded = guard.Take(&why);
  if (guarded == brisvane::ClientGuard::Status::kHeldElsewhere) {
    Show(folder, "This program is running already, or being upgraded: " + why);
    return 1;
  }
  if (guarded == brisvane::ClientGuard::Status::kFailed) Log(folder, "no guard: " + why);
  ReportPendingRequest(folder);
  if (argc == 1) return 0;
  return StartTheUpgrade(folder, argv[argc - 1], withUpgrader ? argv[2] : "", guard);
}
