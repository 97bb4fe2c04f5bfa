// Where the upgrader keeps its files (downloads, logs/, the outcome record):
// Qt's application-local data location for Tamberk/Brisvane, found here
// without Qt so that the client library finds the same folder;
// data_dir_posix.cpp / data_dir_win.cpp, chosen by CMake. Paths are UTF-8.
#pragma once

#include <string>

namespace brisvane::platform {

// The names the upgrader gives Qt (QCoreApplication's organization and
// application), which Qt puts below the system's data folder.
constexpr char kOrganizationName[] = "Tamberk";
constexpr char kApplicationName[] = "Brisvane";

// The path of the file `name` in the upgrader's data folder (neither need
// exist), or "" with a one-line `*reason` when the system names no data
// folder. Linux: $XDG_DATA_HOME/Tamberk/Brisvane, or
// $HOME/.local/share/Tamberk/Brisvane when XDG_DATA_HOME is unset or empty
// (as Qt 5 has it). Windows: Tamberk\Brisvane in the local application data
// known folder (%LOCALAPPDATA%).
std::string UpgraderDataFile(const std::string& name, std::string* reason);

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
