// Start-up pieces of the upgrader that main composes: the single-instance
// guard shared with the client, and the log file.
#pragma once

#include <QString>
#include <cstdio>
#include <memory>
#include <string>

#include "folder.h"
#include "guard.h"
#include "request_protocol.h"

// The guard "bvc singleton mutex"; empty once given up (Release()), which
// StartBrisvane does before the client starts.
extern platform::Guard g_singletonMutex;

// Name of the guard, shared with the client.
constexpr const char* kSingletonMutexName = platform::kSingletonGuardName;

// Creates the guard into g_singletonMutex; true when another process has it.
bool IsAlreadyRunning();

// The application-local data folder: the organization's and the
// application's folders below the user's data location, reached one at a
// time without following links (both may belong to a less-privileged user
// than the upgrader; with raised rights the location itself is reached so
// that its user cannot point it elsewhere), created when missing and
// `create`. Invalid, with a one-line `*why` when given, when that fails.
std::shared_ptr<platform::Folder> OpenDataFolder(bool create, std::string* why = nullptr);

// Opens "logs" in the data folder (creating the chain if missing) and
// "upgrade.log" in it and, when that worked, routes INFO and above to it and
// mutes the console. Returns the open stream (owned by the caller) or null.
FILE* InitLog();

// Serialises whole log lines across threads; install before any thread starts.
void InstallLogLock();

// Removes the installer folders earlier runs left where this one would make
// its own (Folder::InstallerParent): a run killed while its installer ran
// leaves one nobody but the upgrader's user can remove. Only those provably
// ours that no run still holds (Folder::RemoveLeftoverPrivate); each one
// removed is logged.
void RemoveEarlierInstallerFolders();
