#include "LogicSession.h"

#include "transfer.h"

#include <utility>

void LogicSession::DownloadFile(CompletionCallback completion, ProgressCallback progress,
                                const std::string& url, const std::list<std::string>& headers,
                                const std::string& path) {
  // The file is let go at once: callers of this form only want it stored.
  HeldCompletionCallback dropFile = [completion = std::move(completion)](const Result& result,
                                                                        platform::HeldFile) {
    if (completion) completion(result.text, result.code, result.httpStatus);
  };
  DownloadInto(std::move(dropFile), std::move(progress), url, headers, bvhttptools::FolderHolding(path),
               bvhttptools::NameIn(path));
}

void LogicSession::DownloadInto(HeldCompletionCallback completion, ProgressCallback progress,
                                const std::string& url, const std::list<std::string>& headers,
                                std::shared_ptr<const platform::Folder> folder,
                                const std::string& name, bool privateFile) {
  bvhttptools::StartTransfer({std::move(completion), std::move(progress), url, headers, std::move(folder), name,
                              privateFile, maxBytes_, acceptUnstatedLength_});
}

void LogicSession::SetTransferOptions(const TransferOptions& options) { bvhttptools::SetOptions(options); }

TransferOptions LogicSession::GetTransferOptions() { return bvhttptools::Options(); }

bool LogicSession::AbandonAll(std::chrono::milliseconds wait) { return bvhttptools::AbandonTransfers(wait); }

int LogicSession::RunningTransfers() { return bvhttptools::RunningTransfers(); }
