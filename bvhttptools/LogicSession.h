// bvhttptools: the download library. One LogicSession per request.
//
// DownloadFile does not block: the transfer runs on a thread that owns copies
// of everything it needs, so the session may be destroyed as soon as the call
// returns. The target is written as "<target>.part" and renamed onto the
// target only after a complete, checked transfer.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>

#include "folder.h"
#include "held_file.h"
#include "proxy.h"

// Tunables of the transfer; the defaults are what the program uses.
struct TransferOptions {
  long lowSpeedLimitBytes = 1;      // below this many bytes/s ...
  long lowSpeedTimeSeconds = 30;    // ... for this long, the transfer stalled
  long connectTimeoutSeconds = 30;
  // A failure the network causes (a refused or reset connection, a
  // time-out, a cut body, a 502, 503 or 504) is tried again until no byte
  // has been gained for this long; a try that made the file longer starts
  // it afresh. No pause ends beyond it: when the next would (a Retry-After
  // included), the download fails at once.
  std::chrono::seconds noProgressBudget{60};
  // Other passing failures (a 500, say): the first try plus retries, where a
  // try that made the file longer uses up none.
  int maxAttempts = 4;
  // Retries pause a random time between zero and this limit, which doubles
  // each retry without progress up to retryPauseCap, so that clients
  // failing together do not return together.
  std::chrono::milliseconds firstRetryPause{500};
  std::chrono::seconds retryPauseCap{15};
  bool retryJitter = true;  // false: the whole limit, as every client alike (benchmark only)
  unsigned retrySeed = 0;   // seeds the pauses' random source; 0: std::random_device
  // A 429 or 503 saying when to come back (Retry-After, honoured up to the
  // cap) uses up no attempt: it is asked again until overloadLimit has
  // passed since the first such answer, or the wait would pass
  // noProgressBudget.
  std::chrono::seconds retryAfterCap{120};
  std::chrono::seconds overloadLimit{600};
  long maxRedirects = 5;
  long receiveBufferBytes = 1024 * 1024;  // libcurl's 16 KiB default costs throughput
  // The ring between the transfer and the writer thread: the memory a
  // download takes beyond libcurl's own, whatever its size.
  std::size_t writeBuffers = 4;
  std::size_t writeBufferBytes = 2 * 1024 * 1024;
  bool directWrites = true;  // false: always through the cache (benchmark only)
  std::string caBundle;  // PEM file of trusted certificates; empty: the system's store
  // Taken instead of the system's proxy settings when set, so that Windows'
  // rules can be exercised on any system (tests only).
  std::optional<platform::SystemProxySettings> systemProxy;
};

class LogicSession {
 public:
  // (the final URL on success or the error text, result code, HTTP status of
  // the last response)
  using CompletionCallback = std::function<void(std::string, CURLcode, int)>;
  // Whole percentage 0..100, called only when it changes.
  using ProgressCallback = std::function<void(int)>;

  LogicSession() = default;
  ~LogicSession() = default;

  // Downloads `url` to `path`. `completion` is called exactly once, with
  // CURLE_OK only when the whole resource is at `path` (never an empty one; an
  // https download never follows a redirect to http). `headers` are extra
  // request header lines. Callbacks run on the transfer thread.
  void DownloadFile(CompletionCallback completion, ProgressCallback progress,
                    const std::string& url, const std::list<std::string>& headers,
                    const std::string& path);

  // How a DownloadInto ended.
  struct Result {
    std::string text;  // the final URL on success, else the error text
    CURLcode code = CURLE_OK;
    int httpStatus = 0;           // of the last response
    curl_off_t bytesReceived = 0;  // body bytes received over all tries
    // The last response's reason phrase ("Not Found"), "" when it had none.
    std::string reasonPhrase{};
    // The last response came from a proxy rather than the origin: a 407, a
    // proxy's own error page (squid's X-Squid-Error), or its answer to a
    // CONNECT that did not open the tunnel.
    bool fromProxy = false;
    // On failure: bytes of the resource kept on disk for a later download
    // of the same URL to resume from (0: nothing kept).
    curl_off_t bytesKept = 0;
    // On failure: why no further try was made ("the failure does not pass
    // by itself").
    std::string gaveUp{};
    // On failure: when the last response asked to come back (its
    // Retry-After), as the server said it; nothing when it did not.
    std::optional<std::chrono::seconds> retryAfter{};
    // On success, from the last body byte received to the file standing
    // under its name: what storing it cost beyond the transfer itself.
    std::chrono::microseconds storeTime{0};
  };
  // The completion of DownloadInto: its result, plus on success the
  // downloaded file itself, still held (sealed: read-only), so that the
  // caller checks and runs the very bytes that were received.
  using HeldCompletionCallback = std::function<void(const Result&, platform::HeldFile)>;

  // As DownloadFile, into `folder` under `name`: "<name>.part" is created
  // there new by the upgrader (Folder::CreateNew, private to administrators
  // when `privateFile`), written, synced, renamed to `name` through the held
  // folder and handed over without ever being reopened by a name. A name
  // that is empty, "." or "..", holds a separator or is a folder fails with
  // CURLE_BAD_FUNCTION_ARGUMENT before anything is created.
  void DownloadInto(HeldCompletionCallback completion, ProgressCallback progress,
                    const std::string& url, const std::list<std::string>& headers,
                    std::shared_ptr<const platform::Folder> folder, const std::string& name,
                    bool privateFile = false);

  // Limits the next DownloadFile or DownloadInto of this session to `bytes` of body (0: no
  // limit): a larger resource fails with CURLE_WRITE_ERROR and is not kept.
  void SetMaxBytes(curl_off_t bytes) { maxBytes_ = bytes; }

  // Whether the next download of this session takes a body whose length
  // the server never stated (no Content-Length, not chunked, no range) as
  // whole. Off by default: such a body cut by a closed connection looks
  // whole, so it fails the download with an ERROR line. Only a caller that
  // checks the bytes by other means (a signature) turns it on.
  void AcceptUnstatedLength(bool accept) { acceptUnstatedLength_ = accept; }

  // Options for transfers started after the call (tests shorten the limits).
  static void SetTransferOptions(const TransferOptions& options);
  static TransferOptions GetTransferOptions();

  // Asks every running transfer to stop (each still completes with a non-zero
  // code and removes its .part file) and waits at most `wait` for their
  // threads to finish. Returns true when none is left running.
  static bool AbandonAll(std::chrono::milliseconds wait);

  // Number of transfers whose threads have not finished yet.
  static int RunningTransfers();

 private:
  curl_off_t maxBytes_ = 0;
  bool acceptUnstatedLength_ = false;
};
