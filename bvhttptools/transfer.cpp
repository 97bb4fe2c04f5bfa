#include "transfer.h"

#include "leftover.h"
#include "log.h"
#include "part_writer.h"
#include "proxy_env.h"
#include "proxy_rules.h"
#include "resume.h"
#include "retry_rules.h"
#include "retry_policy.h"
#include "response_headers.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace {

// Process-wide bookkeeping of running transfers. Never destroyed: detached
// transfer threads may still touch it while static objects are torn down.
struct Registry {
  std::mutex mutex;
  std::condition_variable changed;
  int running = 0;
  TransferOptions options;
  // Bumped by AbandonAll; a transfer stops once it differs from the value it
  // saw at its start, so transfers started afterwards are not affected.
  std::atomic<std::uint64_t> abandonGeneration{0};
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

void InitCurlOnce() {
  // Reference counted by libcurl, so harmless when main already did it.
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

using bvhttptools::Decision;
using bvhttptools::KnownResource;
using bvhttptools::ResponseInfo;
using bvhttptools::Step;
using bvhttptools::TryResult;

// True when `url` begins with `scheme` ("https://"; case-insensitive).
bool HasScheme(const std::string& url, const char* scheme) {
  const size_t length = std::char_traits<char>::length(scheme);
  if (url.size() < length) return false;
  for (size_t i = 0; i < length; ++i) {
    if (std::tolower(static_cast<unsigned char>(url[i])) != scheme[i]) return false;
  }
  return true;
}

// `location` taken relative to `base`, into `*url` as an absolute URL, as
// libcurl reads a Location header; CURLE_OK, else why it cannot be followed.
CURLcode ResolveLocation(const std::string& base, const std::string& location, std::string* url) {
  CURLU* handle = curl_url();
  if (handle == nullptr) return CURLE_OUT_OF_MEMORY;
  char* text = nullptr;
  CURLUcode result = curl_url_set(handle, CURLUPART_URL, base.c_str(), 0);
  if (result == CURLUE_OK) {
    result = curl_url_set(handle, CURLUPART_URL, location.c_str(),
                          CURLU_URLENCODE | CURLU_ALLOW_SPACE);
  }
  if (result == CURLUE_OK) result = curl_url_get(handle, CURLUPART_URL, &text, 0);
  if (result == CURLUE_OK) *url = text;
  curl_free(text);
  curl_url_cleanup(handle);
  if (result == CURLUE_UNSUPPORTED_SCHEME) return CURLE_UNSUPPORTED_PROTOCOL;
  return result == CURLUE_OK ? CURLE_OK : CURLE_URL_MALFORMAT;
}

// A name a file can be created under right in its folder.
bool PlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\") == std::string::npos;
}

// `name` for a log line: it comes from the request, and a control
// character in it must not start a line of its own.
std::string Loggable(const std::string& name) {
  std::string out;
  for (unsigned char c : name) {
    if (c >= 0x20 && c != 0x7f) {
      out += static_cast<char>(c);
      continue;
    }
    char code[5];
    std::snprintf(code, sizeof code, "\\x%02X", c);
    out += code;
  }
  return out;
}

// Where the file of a download lands, and how it is made there.
struct Target {
  std::shared_ptr<const platform::Folder> folder;
  std::string name;
  bool privateFile = false;
};

class Transfer {
 public:
  Transfer(LogicSession::HeldCompletionCallback completion, LogicSession::ProgressCallback progress,
           std::string url, std::list<std::string> headers, Target target,
           TransferOptions options, std::uint64_t generation, curl_off_t maxBytes,
           bool acceptUnstatedLength)
      : completion_(std::move(completion)),
        progress_(std::move(progress)),
        url_(std::move(url)),
        headers_(std::move(headers)),
        target_(std::move(target)),
        partName_(target_.name + ".part"),
        options_(options),
        generation_(generation),
        maxBytes_(maxBytes),
        acceptUnstatedLength_(acceptUnstatedLength) {
    errorText_[0] = '\0';
  }

  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // Runs the whole transfer and calls the completion callback exactly once.
  void Run() {
    long status = 0;
    CURLcode code = Download(&status);
    std::string text = code == CURLE_OK ? effectiveUrl_ : FailureText(code);
    if (completion_) {
      LogicSession::Result result{std::move(text), code, static_cast<int>(status), received_};
      result.gaveUp = gaveUp_;
      result.reasonPhrase = response_.reason;
      result.fromProxy = response_.fromProxy || tunnelRefused_;
      result.bytesKept = code == CURLE_OK ? 0 : bytesKept_;
      if (code != CURLE_OK) result.retryAfter = response_.retryAfter;
      if (code == CURLE_OK) result.storeTime = storeTime_;
      completion_(result, std::move(file_));
    }
  }

  // The thread could not be started: fail without touching anything.
  void FailToStart() {
    if (completion_) {
      completion_(LogicSession::Result{"could not start the transfer thread", CURLE_FAILED_INIT, 0, 0},
                  platform::HeldFile());
    }
  }

 private:
  bool Abandoned() const {
    return TheRegistry().abandonGeneration.load(std::memory_order_acquire) != generation_;
  }

  // What a failed try or download says went wrong: libcurl's words, or the
  // reason Decide gave.
  std::string FailureText(CURLcode code) const {
    return errorText_[0] != '\0' ? std::string(errorText_) : curl_easy_strerror(code);
  }

  // A failed try's error status in the words the download's failure line
  // uses ("HTTP 503 Service Unavailable from the server"); other failures
  // in libcurl's.
  std::string InterruptionText(CURLcode code, long status) const {
    if (code != CURLE_HTTP_RETURNED_ERROR || status <= 0) return FailureText(code);
    std::string text = "HTTP " + std::to_string(status);
    if (!response_.reason.empty()) text += " " + response_.reason;
    return text + (response_.fromProxy || tunnelRefused_ ? " from the proxy" : " from the server");
  }

  CURLcode Download(long* status) {
    // An empty target, one in another folder or a folder cannot receive the
    // file; fail before creating anything next to it.
    const platform::Folder& folder = *target_.folder;
    if (!PlainName(target_.name) || folder.HasFolder(target_.name)) return CURLE_BAD_FUNCTION_ARGUMENT;
    if (Abandoned()) return CURLE_ABORTED_BY_CALLBACK;

    CURL* curl = curl_easy_init();
    if (curl == nullptr) return CURLE_FAILED_INIT;
    curl_slist* headerList = nullptr;
    if (!ListCallerHeaders(&headerList)) {
      curl_easy_cleanup(curl);
      return CURLE_OUT_OF_MEMORY;
    }

    CURLcode code = Configure(curl);
    if (code == CURLE_OK) {
      file_ = OpenPartFile();
      if (file_.valid()) {
        writer_ = std::make_unique<bvhttptools::PartWriter>(
            file_, options_.writeBuffers, options_.writeBufferBytes, options_.directWrites);
      }
      code = file_.valid() ? Attempts(curl, headerList, status) : CURLE_WRITE_ERROR;
      // Idle since the last try ended; nothing writes the file any more.
      writer_.reset();
    }
    if (code == CURLE_OK) code = StorePartFile();
    if (code == CURLE_OK) {
      const char* effective = nullptr;
      if (curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
        effectiveUrl_ = effective;
      // Every byte is in place, whatever the server told about the size.
      ReportPercent(100);
    } else {
      DiscardPartFile(code, *status);
    }
    // The handle may still point at the list until it is cleaned up.
    curl_easy_cleanup(curl);
    curl_slist_free_all(attemptHeaders_);
    attemptHeaders_ = nullptr;
    curl_slist_free_all(headerList);
    return code;
  }

  // The caller's headers as a libcurl list into `list`; false (and nothing
  // left to free) when memory runs out.
  bool ListCallerHeaders(curl_slist** list) {
    for (const std::string& header : headers_) {
      curl_slist* extended = curl_slist_append(*list, header.c_str());
      if (extended == nullptr) {
        curl_slist_free_all(*list);
        *list = nullptr;
        return false;
      }
      *list = extended;
    }
    return true;
  }

  // Puts the complete .part file on storage, moves it to the target name
  // and keeps holding it, read-only, for the caller.
  CURLcode StorePartFile() {
    const platform::Folder& folder = *target_.folder;
    folder.RemoveName(bvhttptools::RecordNameOf(partName_));
    if (file_.Sync() && folder.Rename(file_, partName_, target_.name)) {
      storeTime_ = std::chrono::duration_cast<std::chrono::microseconds>(
          std::chrono::steady_clock::now() - lastByteAt_);
      if (file_.Seal()) return CURLE_OK;
      // Nothing can vouch for the bytes under the name any more.
      folder.RemoveName(target_.name);
    } else {
      folder.Remove(partName_, file_);
    }
    file_.Close();
    std::snprintf(errorText_, sizeof errorText_, "could not store the download at %s/%s",
                  folder.path().c_str(), target_.name.c_str());
    return CURLE_WRITE_ERROR;
  }

  // The .part file: the one an earlier download of this URL left, when it
  // is provably the upgrader's own, else a new one.
  platform::HeldFile OpenPartFile() {
    const platform::Folder& folder = *target_.folder;
    std::string why;
    platform::HeldFile left =
        bvhttptools::TakeLeftover(folder, partName_, url_, target_.privateFile, &known_, &why);
    if (!why.empty()) {
      LOG_INFO("LogicSession::Download the leftover %s was not continued: %s", Loggable(partName_).c_str(),
               why.c_str());
    }
    if (!left.valid()) return folder.CreateNew(partName_, target_.privateFile);
    LOG_INFO("LogicSession::Download going on from the %lld bytes an earlier download left",
             static_cast<long long>(known_.onDisk));
    return left;
  }

  // A transfer that was abandoned or gave up on a failure that passes keeps
  // its .part, with the record that ties it to the resource, so that a later
  // download of the same URL asks only for the rest. Anything else (a file
  // that cannot be continued, a write error, a refusal) leaves nothing.
  void DiscardPartFile(CURLcode code, long status) {
    const platform::Folder& folder = *target_.folder;
    const bool passing = code == CURLE_ABORTED_BY_CALLBACK || bvhttptools::IsTransient(code, status);
    if (passing && file_.valid() && !writeFailed_ && known_.onDisk > 0 && !known_.validator.empty() &&
        file_.Sync() && bvhttptools::KeepResumeRecord(folder, file_, partName_, url_, known_, target_.privateFile)) {
      bytesKept_ = known_.onDisk;
      file_.Close();
      return;
    }
    if (file_.valid()) folder.Remove(partName_, file_);
    file_.Close();
    folder.RemoveName(bvhttptools::RecordNameOf(partName_));
  }

  CURLcode Configure(CURL* curl) {
    CURLcode code = CURLE_OK;
    auto set = [&code](CURLcode result) {
      if (code == CURLE_OK) code = result;
    };
    set(curl_easy_setopt(curl, CURLOPT_URL, url_.c_str()));
    set(curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText_));
    set(curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L));
    set(curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https"));
    // Redirects are followed by Try, hop by hop: each hop needs its own
    // proxy decision, which libcurl cannot make for a redirect it follows.
    set(curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L));
    set(curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L));
    set(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L));
    set(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L));
    if (!options_.caBundle.empty()) set(curl_easy_setopt(curl, CURLOPT_CAINFO, options_.caBundle.c_str()));
    set(curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, options_.connectTimeoutSeconds));
    set(curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, options_.lowSpeedLimitBytes));
    set(curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, options_.lowSpeedTimeSeconds));
    set(curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, options_.receiveBufferBytes));
    set(curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Transfer::OnWrite));
    set(curl_easy_setopt(curl, CURLOPT_WRITEDATA, this));
    set(curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader));
    set(curl_easy_setopt(curl, CURLOPT_HEADERDATA, this));
    set(curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L));
    set(curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &Transfer::OnProgress));
    set(curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this));
    // Read once; ConfigureProxy applies them to every hop.
    systemProxy_ = options_.systemProxy ? *options_.systemProxy : platform::ReadSystemProxySettings();
    if (!systemProxy_.note.empty() && !bvhttptools::ProxyFromEnvironment(url_)) {
      LOG_INFO("%s", systemProxy_.note.c_str());
    }
    return code;
  }

  // libcurl reads the proxy environment variables by itself but not the
  // Windows system settings, which people behind a company proxy rely on;
  // those apply when the environment names no proxy for `url`. Decided for
  // each hop, entirely here: libcurl's no-proxy rules match other hosts than
  // Windows' bypass list does.
  CURLcode ConfigureProxy(CURL* curl, const std::string& url) {
    std::string proxy;
    if (!bvhttptools::ProxyFromEnvironment(url)) {
      proxy = bvhttptools::ProxyFromWindowsLists(url, systemProxy_.proxyList, systemProxy_.bypassList);
    }
    // Unset, libcurl goes by the environment (and its no_proxy) alone.
    const char* chosen = proxy.empty() ? nullptr : proxy.c_str();
    CURLcode code = curl_easy_setopt(curl, CURLOPT_PROXY, chosen);
    // Hosts the user listed in no_proxy still go direct.
    const std::string noProxy = bvhttptools::WithEnvironmentNoProxy("");
    if (code == CURLE_OK) {
      code = curl_easy_setopt(curl, CURLOPT_NOPROXY, chosen ? noProxy.c_str() : nullptr);
    }
    return code;
  }

  // Tries until the file is complete, a failure is final, the retry policy
  // gives up or the transfer is abandoned.
  CURLcode Attempts(CURL* curl, curl_slist* callerHeaders, long* status) {
    bvhttptools::RetryPolicy retry(options_, options_.retrySeed != 0 ? options_.retrySeed : std::random_device{}(),
                                   std::chrono::steady_clock::now());
    curl_off_t inFile = known_.onDisk;  // bytes in the .part file
    for (;;) {
      // The last decision dropped the bytes on disk.
      if (inFile != known_.onDisk && !StartOver()) return CURLE_WRITE_ERROR;
      TryResult result;
      CURLcode setup = Try(curl, callerHeaders, status, &result);
      if (setup != CURLE_OK) return setup;
      if (writeFailed_) return CURLE_WRITE_ERROR;
      Decision decision = bvhttptools::Decide(known_, result, acceptUnstatedLength_);
      // libcurl has its own words for the failures it reports.
      if (result.code == CURLE_OK && !decision.reason.empty()) SetErrorText(decision.reason);
      if (decision.reason == bvhttptools::kUnstatedLength) {
        LOG_ERROR("LogicSession::Download %s: %lld bytes received, refused", bvhttptools::kUnstatedLength,
                  static_cast<long long>(known_.onDisk + written_));
      }
      if (decision.step == Step::Complete) return CURLE_OK;
      inFile = known_.onDisk + written_;
      const curl_off_t gained = std::max<curl_off_t>(0, decision.next.onDisk - known_.onDisk);
      known_ = decision.next;
      if (Abandoned()) return CURLE_ABORTED_BY_CALLBACK;
      if (decision.step == Step::StartOver) continue;  // part of this try
      const std::optional<std::chrono::milliseconds> pause = retry.AfterFailure(
          decision.code, *status, result.response.retryAfter, gained, std::chrono::steady_clock::now(), &gaveUp_);
      if (!pause) return decision.code;
      LOG_INFO("LogicSession::Download interrupted: %s; keeping %lld bytes, trying again in %.1f s",
               Loggable(InterruptionText(decision.code, *status)).c_str(), static_cast<long long>(known_.onDisk),
               static_cast<double>(pause->count()) / 1000.0);
      if (!PauseBeforeRetry(*pause)) return CURLE_ABORTED_BY_CALLBACK;
    }
  }

  // One request, resumed from the bytes on disk when there are any, and the
  // redirects it meets. Returns what went wrong before the request could be
  // sent, else fills `result`.
  CURLcode Try(CURL* curl, curl_slist* callerHeaders, long* status, TryResult* result) {
    written_ = 0;
    overran_ = false;
    CURLcode code = SetRequestHeaders(curl, callerHeaders);
    if (code != CURLE_OK) return code;
    writer_->Begin(static_cast<std::uint64_t>(known_.onDisk));
    curl_easy_setopt(curl, CURLOPT_RESUME_FROM_LARGE, known_.onDisk);
    std::string url = url_;
    for (long redirects = 0;; ++redirects) {
      *status = 0;
      errorText_[0] = '\0';
      response_ = ResponseInfo();
      code = curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
      if (code == CURLE_OK) code = ConfigureProxy(curl, url);
      if (code != CURLE_OK) return code;
      result->code = curl_easy_perform(curl);
      curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, status);
      // A proxy that would not open the tunnel answered for the origin.
      long tunnel = 0;
      curl_easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &tunnel);
      tunnelRefused_ = tunnel >= 300;
      if (tunnelRefused_ && *status == 0) *status = tunnel;
      result->code = ProxyRefusal(result->code);
      // A proxy's redirect leads to its notice, never to the file.
      if (response_.fromProxy || !IsRedirect(response_)) break;
      result->code = Abandoned() ? CURLE_ABORTED_BY_CALLBACK : NextHop(redirects, &url);
      if (result->code != CURLE_OK) break;
    }
    // Every byte of the try is in the file before anything is decided on it.
    if (!writer_->Finish()) writeFailed_ = true;
    result->ended = true;
    curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &result->length);
    result->response = response_;
    result->status = *status;
    result->written = written_;
    result->overran = overran_;
    return CURLE_OK;
  }

  // A response a proxy made itself (a block page, a redirect to one) is
  // not the origin's answer, whatever its status: the try fails as an error
  // status fails it. `code` is what libcurl returned for the try.
  CURLcode ProxyRefusal(CURLcode code) {
    if (!response_.complete || !response_.fromProxy || code == CURLE_HTTP_RETURNED_ERROR) return code;
    SetErrorText("the proxy answered in the server's place (HTTP " + std::to_string(response_.status) + ")");
    return CURLE_HTTP_RETURNED_ERROR;
  }

  // A redirect to follow: its header is complete and names where to go.
  static bool IsRedirect(const ResponseInfo& response) {
    return response.complete && !response.location.empty();
  }

  // Where the redirect just received leads (`*url`, which is where it came
  // from until then), under the rules libcurl followed redirects by:
  // CURLE_OK, else why the download stops.
  CURLcode NextHop(long redirects, std::string* url) {
    if (options_.maxRedirects >= 0 && redirects >= options_.maxRedirects) {
      std::snprintf(errorText_, sizeof errorText_, "Maximum (%ld) redirects followed",
                    options_.maxRedirects);
      return CURLE_TOO_MANY_REDIRECTS;
    }
    std::string next;
    CURLcode code = ResolveLocation(*url, response_.location, &next);
    if (code != CURLE_OK) return code;
    // What arrived over TLS must not be swapped for a plain-text copy by
    // whoever can answer one redirect: https stays https.
    const bool https = HasScheme(next, "https://");
    if (!(https || HasScheme(next, "http://")) || (HasScheme(url_, "https://") && !https)) {
      SetErrorText("a redirect to another protocol was refused");
      return CURLE_UNSUPPORTED_PROTOCOL;
    }
    *url = next;
    return CURLE_OK;
  }

  // The caller's header lines, plus If-Range on a resumed try, so that a
  // server whose resource changed sends the whole new version instead of the
  // rest of it.
  CURLcode SetRequestHeaders(CURL* curl, curl_slist* callerHeaders) {
    curl_slist* list = nullptr;
    if (known_.onDisk > 0) {
      std::list<std::string> lines = headers_;
      lines.push_back("If-Range: " + known_.validator);
      for (const std::string& line : lines) {
        curl_slist* extended = curl_slist_append(list, line.c_str());
        if (extended == nullptr) {
          curl_slist_free_all(list);
          return CURLE_OUT_OF_MEMORY;
        }
        list = extended;
      }
    }
    CURLcode code =
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list != nullptr ? list : callerHeaders);
    if (code != CURLE_OK) {
      curl_slist_free_all(list);
      return code;
    }
    // The handle no longer refers to the previous try's list.
    curl_slist_free_all(attemptHeaders_);
    attemptHeaders_ = list;
    return CURLE_OK;
  }

  // Called at the end of every response header, so that a body of another
  // version stops the try before a byte of it is written.
  bool AcceptResponse() {
    // Not a byte of a proxy's own page goes into the file. Its error
    // statuses are left to libcurl, which answers a 407 with credentials.
    if (response_.fromProxy && response_.status < 400) return false;
    // A redirect's body is no part of the download: the redirect stops here,
    // before a byte of it is read, written or held against the size limit,
    // and Try follows it.
    if (IsRedirect(response_)) return false;
    TryResult sofar;
    sofar.response = response_;
    Decision decision = bvhttptools::Decide(known_, sofar);
    if (decision.step != Step::Continue) {
      SetErrorText(decision.reason);
      return false;
    }
    // A new file's version is on record before its first byte, so that even
    // an upgrader killed in the middle leaves what the next one continues.
    // Without the record the next one only starts over, so a failure to
    // write it stops nothing here.
    if (known_.onDisk == 0 && response_.status == 200) {
      bvhttptools::KeepResumeRecord(*target_.folder, file_, partName_, url_, bvhttptools::FirstAnswer(response_),
                                    target_.privateFile);
    }
    // A declared size beyond the limit is refused before its body arrives.
    if (response_.contentLength > 0 && TooLarge(known_.onDisk + response_.contentLength)) return false;
    return true;
  }

  // True (and the download failed for good) when `bytes` exceed the limit.
  bool TooLarge(curl_off_t bytes) {
    if (maxBytes_ <= 0 || bytes <= maxBytes_) return false;
    std::snprintf(errorText_, sizeof errorText_, "larger than the limit of %lld bytes",
                  static_cast<long long>(maxBytes_));
    writeFailed_ = true;
    return true;
  }

  void SetErrorText(const std::string& text) {
    std::snprintf(errorText_, sizeof errorText_, "%s", text.c_str());
  }

  // Empties the .part file; the decision already forgot what it was tied to.
  bool StartOver() { return file_.Truncate(); }

  // Waits before the next try; false when abandoned meanwhile.
  bool PauseBeforeRetry(std::chrono::milliseconds pause) {
    Registry& registry = TheRegistry();
    std::unique_lock<std::mutex> lock(registry.mutex);
    return !registry.changed.wait_for(lock, pause, [this] { return Abandoned(); });
  }

  void ReportPercent(int percent) {
    // Only forward, so a restart from zero never moves the bar back.
    if (percent <= lastPercent_) return;
    lastPercent_ = percent;
    if (progress_) progress_(percent);
  }

  static size_t OnWrite(char* data, size_t size, size_t count, void* user) {
    Transfer* self = static_cast<Transfer*>(user);
    size_t bytes = size * count;
    const curl_off_t before = self->known_.onDisk + self->written_;
    if (self->TooLarge(before + static_cast<curl_off_t>(bytes))) return 0;
    // Bytes past the end of the range or of the resource are no part of the
    // file: the try stops there, and Decide hears that it overran.
    const curl_off_t bound = bvhttptools::WriteBound(self->known_, self->response_);
    size_t done = bytes;
    if (bound >= 0 && before + static_cast<curl_off_t>(bytes) > bound) {
      done = bound > before ? static_cast<size_t>(bound - before) : 0;
      self->overran_ = true;
    }
    if (done == 0) return 0;
    self->lastByteAt_ = std::chrono::steady_clock::now();
    // The writer thread puts the bytes on disk while the next ones arrive.
    if (!self->writer_->Append(data, done)) {
      self->writeFailed_ = true;
      return 0;
    }
    self->written_ += static_cast<curl_off_t>(done);
    self->received_ += static_cast<curl_off_t>(done);
    return done;
  }

  // Collects what the current try needs to know about each response header.
  static size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    Transfer* self = static_cast<Transfer*>(user);
    size_t bytes = size * count;
    const bool ended = bvhttptools::FoldHeaderLine(std::string(data, bytes),
                                                   std::chrono::system_clock::now(), &self->response_);
    return !ended || self->AcceptResponse() ? bytes : 0;
  }

  static int OnProgress(void* user, curl_off_t downloadTotal, curl_off_t, curl_off_t, curl_off_t) {
    Transfer* self = static_cast<Transfer*>(user);
    if (self->Abandoned()) return 1;
    // A total of 0 means the size is not known (yet).
    if (downloadTotal <= 0 || !self->file_.valid()) return 0;
    curl_off_t total = self->known_.onDisk + downloadTotal;
    curl_off_t done = self->known_.onDisk + self->written_;
    if (done > total) done = total;
    self->ReportPercent(static_cast<int>(done * 100 / total));
    return 0;
  }

  LogicSession::HeldCompletionCallback completion_;
  LogicSession::ProgressCallback progress_;
  const std::string url_;
  const std::list<std::string> headers_;
  const Target target_;
  const std::string partName_;
  const TransferOptions options_;
  const std::uint64_t generation_;
  const curl_off_t maxBytes_;  // 0: no limit
  const bool acceptUnstatedLength_;
  std::string gaveUp_;  // why no further try was made, once the last one failed
  bool tunnelRefused_ = false;  // the last try's proxy answered CONNECT with a failure
  curl_off_t bytesKept_ = 0;    // what a failed download left on disk to resume from

  platform::HeldFile file_;
  std::unique_ptr<bvhttptools::PartWriter> writer_;  // while the tries run
  std::chrono::steady_clock::time_point lastByteAt_;
  std::chrono::microseconds storeTime_{0};
  curl_slist* attemptHeaders_ = nullptr;  // the current try's own header list, if any
  ResponseInfo response_;                 // the current try's latest response
  platform::SystemProxySettings systemProxy_;  // the system's lists, for every hop
  KnownResource known_;                   // what the current try continues
  curl_off_t written_ = 0;  // bytes the current try appended
  curl_off_t received_ = 0;  // body bytes kept over all tries
  bool writeFailed_ = false;
  bool overran_ = false;  // the current try's body went past its bound
  int lastPercent_ = -1;
  std::string effectiveUrl_;
  char errorText_[CURL_ERROR_SIZE];
};

}  // namespace

namespace bvhttptools {

// The folder holding `path`, itself refused when it is a link: it may belong
// to a less-privileged user than the caller. Invalid when it cannot be opened.
std::shared_ptr<const platform::Folder> FolderHolding(const std::string& path) {
  auto folder = std::make_shared<platform::Folder>();
  const std::string::size_type slash = path.find_last_of("/\\");
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  const std::string::size_type up = dir.find_last_of("/\\");
  const std::string last = up == std::string::npos ? dir : dir.substr(up + 1);
  if (!PlainName(last) || up == std::string::npos) {
    folder->Open(dir.empty() ? std::string("/") : dir, {}, false);
  } else {
    // The separator stays with the base: "C:" alone is a drive's current folder.
    folder->Open(dir.substr(0, up + 1), {last}, false);
  }
  return folder;
}

std::string NameIn(const std::string& path) {
  const std::string::size_type slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void StartTransfer(TransferRequest request) {
  InitCurlOnce();
  Registry& registry = TheRegistry();
  if (!request.folder) request.folder = std::make_shared<platform::Folder>();
  Transfer* transfer = new Transfer(
      std::move(request.completion), std::move(request.progress), std::move(request.url),
      std::move(request.headers), Target{std::move(request.folder), request.name, request.privateFile},
      Options(), registry.abandonGeneration.load(std::memory_order_acquire), request.maxBytes,
      request.acceptUnstatedLength);
  {
    // Counted before the thread exists, so an AbandonAll right after this
    // call already waits for it.
    std::lock_guard<std::mutex> lock(registry.mutex);
    ++registry.running;
  }

  auto finished = [] {
    Registry& shared = TheRegistry();
    std::lock_guard<std::mutex> lock(shared.mutex);
    --shared.running;
    shared.changed.notify_all();
  };
  try {
    std::thread([transfer, finished] {
      {
        // Everything the transfer holds, callbacks included, is gone before
        // the count drops, so AbandonAll's caller may free what they refer to.
        std::unique_ptr<Transfer> owned(transfer);
        owned->Run();
      }
      finished();
    }).detach();
  } catch (const std::system_error&) {
    std::unique_ptr<Transfer> owned(transfer);
    owned->FailToStart();
    owned.reset();
    finished();
  }
}

void SetOptions(const TransferOptions& options) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.options = options;
}

TransferOptions Options() {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  return registry.options;
}

bool AbandonTransfers(std::chrono::milliseconds wait) {
  Registry& registry = TheRegistry();
  std::unique_lock<std::mutex> lock(registry.mutex);
  registry.abandonGeneration.fetch_add(1, std::memory_order_acq_rel);
  registry.changed.notify_all();
  return registry.changed.wait_for(lock, wait, [&registry] { return registry.running == 0; });
}

int RunningTransfers() {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  return registry.running;
}

}  // namespace bvhttptools
