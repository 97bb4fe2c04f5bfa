// A small client of BrisvaneUpgrade (C++17): starts an upgrade, and once the
// upgrader has started it again, tells the user what became of it.
//
//   brisvane-example [--upgrader PATH] [INSTALLER-URL]
//
// It keeps its state in a folder of its own, BrisvaneExample under
// $XDG_DATA_HOME (~/.local/share when unset) or %LOCALAPPDATA%:
// pending-request holds the id of the request it handed over, answers.txt
// every line it showed, since the upgrader starts it without a console.
#include <brisvane/upgrade_client.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
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
  const bool readable = read.status == brisvane::LastUpgradeRead::Status::kRead;
  if (readable && brisvane::AnswersRequest(read.record, id)) {
    Show(folder, brisvane::DescribeLastUpgrade(read.record, UserLanguage()));
  } else {
    Show(folder, "No answer came for request " + std::to_string(id) +
                     (readable ? "." : ": " + read.reason));
  }
  std::error_code ignored;
  fs::remove(pending, ignored);
}

// Hands `url` to the upgrader beside this program (or `upgrader`).
int StartTheUpgrade(const fs::path& folder, const std::string& url, const std::string& upgrader) {
  // A real client releases its single-instance guard ("bvc singleton mutex")
  // right here: while it is held, StartUpgrade returns kGuardHeld at once.
  // It takes the guard again only when the request was not taken.
  brisvane::StartOptions options;
  options.upgraderPath = upgrader;
  const brisvane::StartResult result = brisvane::StartUpgrade(url, options);
  if (result.status != brisvane::StartResult::Status::kTaken) {
    static const char* const kNames[] = {"taken",       "guard held",   "elevation declined",
                                         "not started", "exited early", "busy",
                                         "refused",     "failed"};
    Show(folder, std::string("The upgrade did not start (") +
                     kNames[static_cast<int>(result.status)] + "): " + result.reason);
    return 1;
  }
  if (!(std::ofstream(folder / "pending-request") << result.requestId << '\n')) {
    std::cerr << "cannot keep the request id in " << folder.string() << '\n';
  }
  Show(folder, "The upgrade has started (request " + std::to_string(result.requestId) +
                   "); this program quits now.");
  // Quit right away: the upgrader replaces this program, then starts it
  // again without arguments.
  return 0;
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
  ReportPendingRequest(folder);
  if (argc == 1) return 0;
  return StartTheUpgrade(folder, argv[argc - 1], withUpgrader ? argv[2] : "");
}
