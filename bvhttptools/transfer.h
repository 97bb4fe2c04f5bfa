// One download, run on a thread of its own that owns everything it needs:
// the tries, their retries and resumes, the .part file and the callbacks.
// LogicSession is its face; this is its engine.
#pragma once

#include <chrono>
#include <list>
#include <memory>
#include <string>

#include "LogicSession.h"

namespace bvhttptools {

// What one transfer is asked to do.
struct TransferRequest {
  LogicSession::HeldCompletionCallback completion;
  LogicSession::ProgressCallback progress;
  std::string url;
  std::list<std::string> headers;
  std::shared_ptr<const platform::Folder> folder;  // where the file lands
  std::string name;                                // under this name
  bool privateFile = false;
  curl_off_t maxBytes = 0;  // 0: no limit
  bool acceptUnstatedLength = false;
};

// Starts `request` on a thread of its own and returns at once; its
// completion is called exactly once, also when no thread could be started.
void StartTransfer(TransferRequest request);

// The options transfers started from now on take.
void SetOptions(const TransferOptions& options);
TransferOptions Options();

// Asks every running transfer to stop and waits at most `wait` for their
// threads; true when none is left running.
bool AbandonTransfers(std::chrono::milliseconds wait);
int RunningTransfers();

// The folder holding `path`, itself refused when it is a link (it may belong
// to a less-privileged user than the caller); invalid when it cannot be
// opened. And the name `path` ends in.
std::shared_ptr<const platform::Folder> FolderHolding(const std::string& path);
std::string NameIn(const std::string& path);

}  // namespace bvhttptools
