// Tests of the download library against a real local HTTP server
// (tests/support/http_server.py) started as a child process per test.

#include "LogicSession.h"
#include "proxy_env.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test_support::ReadFile;
using test_support::WriteFile;

constexpr size_t kBigSize = 3 * 1024 * 1024;
constexpr auto kWait = 60s;

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937_64 generator(seed);
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; i += 8) {
    std::uint64_t value = generator();
    for (size_t j = 0; j < 8 && i + j < size; ++j) bytes[i + j] = static_cast<char>(value >> (8 * j));
  }
  return bytes;
}

std::vector<std::string> ListDir(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// The strong ETag the test server sends for the file as it is now.
std::string ServedTag(const fs::path& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return "?";
  unsigned long long mtimeNs =
      static_cast<unsigned long long>(info.st_mtim.tv_sec) * 1000000000ull +
      static_cast<unsigned long long>(info.st_mtim.tv_nsec);
  char tag[96];
  std::snprintf(tag, sizeof tag, "\"%llx-%llx-%llx\"", static_cast<unsigned long long>(info.st_ino),
                static_cast<unsigned long long>(info.st_size), mtimeNs);
  return tag;
}

// The Python test server, with what it has seen.
class TestServer : public test_support::HttpServer {
 public:
  using HttpServer::HttpServer;

  // What the server has seen, its own /_requests left out.
  std::vector<std::string> Requests() const { return test_support::RequestsAt(*this); }
};

// Collects what the library reports; callbacks arrive on the transfer thread.
class Recorder {
 public:
  LogicSession::CompletionCallback Completion() {
    return [this](std::string text, CURLcode code, int status) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++completions_;
      code_ = code;
      status_ = status;
      text_ = std::move(text);
      changed_.notify_all();
    };
  }
  LogicSession::ProgressCallback Progress() {
    return [this](int percent) {
      std::lock_guard<std::mutex> lock(mutex_);
      progress_.push_back(percent);
      changed_.notify_all();
    };
  }

  // Waits for the completion and for the transfer thread to be gone, so a
  // second completion would already have been counted.
  bool WaitDone() {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!changed_.wait_for(lock, kWait, [this] { return completions_ > 0; })) return false;
    }
    return test_support::WaitUntil([] { return LogicSession::RunningTransfers() == 0; }, kWait, 5ms);
  }

  bool WaitProgressAtLeast(int percent) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] {
      return completions_ > 0 || (!progress_.empty() && progress_.back() >= percent);
    });
  }

  int completions() { std::lock_guard<std::mutex> lock(mutex_); return completions_; }
  CURLcode code() { std::lock_guard<std::mutex> lock(mutex_); return code_; }
  int status() { std::lock_guard<std::mutex> lock(mutex_); return status_; }
  std::string text() { std::lock_guard<std::mutex> lock(mutex_); return text_; }
  std::vector<int> progress() { std::lock_guard<std::mutex> lock(mutex_); return progress_; }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int completions_ = 0;
  CURLcode code_ = CURLE_OK;
  int status_ = -1;
  std::string text_;
  std::vector<int> progress_;
};

class HttpDownload : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.UnsetProxies();
    ASSERT_TRUE(dir_.ok());
    root_ = dir_.path();
    served_ = root_ / "served";
    out_ = root_ / "out";
    fs::create_directories(served_);
    fs::create_directories(out_);
    big_ = RandomBytes(kBigSize, 7);
    WriteFile(served_ / "big.bin", big_);
    WriteFile(served_ / "empty.bin", "");
    server_ = std::make_unique<TestServer>(served_);
    ASSERT_TRUE(server_->ok()) << "test server did not start";

    TransferOptions options;
    options.maxAttempts = 3;
    options.firstRetryPause = 20ms;
    options.noProgressBudget = 1s;
    LogicSession::SetTransferOptions(options);
  }

  void TearDown() override {
    // Nothing may outlive the test: the recorder and the folders go next.
    EXPECT_TRUE(LogicSession::AbandonAll(30s));
    LogicSession::SetTransferOptions(TransferOptions{});
    server_.reset();
  }

  // Starts a download the way the program does: the session is gone as soon
  // as DownloadFile returns.
  void Start(const std::string& url, const fs::path& target, Recorder& recorder) {
    LogicSession session;
    session.DownloadFile(recorder.Completion(), recorder.Progress(), url, {}, target.string());
  }

  void Download(const std::string& url, const fs::path& target) {
    Start(url, target, rec_);
    ASSERT_TRUE(rec_.WaitDone());
  }

  // Lets a test wait out a server's Retry-After that the 1 s set up above
  // would refuse.
  static void AllowWithoutProgress(std::chrono::seconds budget) {
    TransferOptions options = LogicSession::GetTransferOptions();
    options.noProgressBudget = budget;
    LogicSession::SetTransferOptions(options);
  }

  // A self-signed certificate for 127.0.0.1 with its key, in one PEM file for
  // the test server; the certificate alone is root_/cert.pem. Empty without
  // openssl.
  fs::path MakeServerPem() {
    if (access("/usr/bin/openssl", X_OK) != 0) return {};
    fs::path key = root_ / "key.pem", cert = root_ / "cert.pem", pem = root_ / "server.pem";
    test_support::SpawnOptions quiet;
    quiet.stdoutPath = quiet.stderrPath = "/dev/null";
    if (test_support::RunToEnd({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                  "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                  "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key.string(), "-out",
                  cert.string()}, quiet) != 0) {
      return {};
    }
    WriteFile(pem, ReadFile(cert) + ReadFile(key));
    return pem;
  }

  // A failed download reports once, leaves what was at the target as it was
  // and leaves no .part behind.
  void ExpectCleanFailure(const fs::path& target, const std::string& before) {
    EXPECT_EQ(rec_.completions(), 1);
    EXPECT_NE(rec_.code(), CURLE_OK);
    EXPECT_EQ(ReadFile(target), before);
    EXPECT_FALSE(fs::exists(target.string() + ".part"));
    EXPECT_EQ(ListDir(target.parent_path()), std::vector<std::string>{target.filename()});
  }

  // Starts `url` into `target` and abandons it once some of it arrived.
  void LeaveHalfDone(const std::string& url, const fs::path& target, Recorder* recorder = nullptr) {
    Recorder& into = recorder != nullptr ? *recorder : rec_;
    Start(url, target, into);
    ASSERT_TRUE(into.WaitProgressAtLeast(10));
    ASSERT_TRUE(LogicSession::AbandonAll(10s));
    EXPECT_TRUE(fs::exists(target.string() + ".part"));
  }

  // Sets the file's modification time `age` into the past.
  static void Age(const fs::path& path, std::chrono::seconds age) {
    fs::last_write_time(path, fs::file_time_type::clock::now() - age);
  }

  static void ExpectGoodProgress(const std::vector<int>& progress) {
    ASSERT_FALSE(progress.empty());
    EXPECT_LE(progress.size(), 101u);
    for (size_t i = 1; i < progress.size(); ++i) EXPECT_LT(progress[i - 1], progress[i]) << i;
    EXPECT_GE(progress.front(), 0);
    EXPECT_EQ(progress.back(), 100);
  }

  test_support::EnvOverride env_;
  test_support::TempDir dir_{"bvhttp"};
  fs::path root_, served_, out_;
  std::string big_;
  std::unique_ptr<TestServer> server_;
  Recorder rec_;
};

// ---- delivery ------------------------------------------------------------

TEST_F(HttpDownload, DeliversByteExactWithOrderedProgress) {
  fs::path target = out_ / "setup.exe";
  std::string url = server_->Url("/files/big.bin");
  Download(url, target);
  EXPECT_EQ(rec_.code(), CURLE_OK) << rec_.text();
  EXPECT_EQ(rec_.status(), 200);
  EXPECT_EQ(rec_.completions(), 1);
  EXPECT_EQ(rec_.text(), url);
  EXPECT_TRUE(ReadFile(target) == big_);
  EXPECT_EQ(ListDir(out_), std::vector<std::string>{"setup.exe"});
  ExpectGoodProgress(rec_.progress());
}

TEST_F(HttpDownload, FollowsRedirectAndReplacesExistingTarget) {
  fs::path target = out_ / "setup.exe";
  WriteFile(target, "previous installer");
  Download(server_->Url("/redirect/files/big.bin"), target);
  EXPECT_EQ(rec_.code(), CURLE_OK) << rec_.text();
  EXPECT_TRUE(ReadFile(target) == big_);
  EXPECT_EQ(ListDir(out_), std::vector<std::string>{"setup.exe"});
}

TEST_F(HttpDownload, UnknownOrZeroSizeReportsOnlyTheEnd) {
  // Chunked: no total is ever known, so no percentage can be computed
  // before the end.
  fs::path target = out_ / "chunked.bin";
  Download(server_->Url("/chunked/big.bin"), target);
  EXPECT_EQ(rec_.code(), CURLE_OK) << rec_.text();
  EXPECT_TRUE(ReadFile(target) == big_);
  EXPECT_EQ(rec_.progress(), std::vector<int>{100});

}

// Nothing is never an installer: an empty body, announced or chunked, is a
// failure that leaves the previous file alone.
TEST_F(HttpDownload, EmptyBodyFails) {
  for (const char* mode : {"/files/", "/chunked/"}) {
    Recorder empty;
    fs::path target = out_ / "setup.exe";
    WriteFile(target, "previous installer");
    Start(server_->Url(std::string(mode) + "empty.bin"), target, empty);
    ASSERT_TRUE(empty.WaitDone());
    EXPECT_EQ(empty.code(), CURLE_WEIRD_SERVER_REPLY) << mode << " " << empty.text();
    EXPECT_EQ(ReadFile(target), "previous installer") << mode;
    EXPECT_EQ(ListDir(out_), std::vector<std::string>{"setup.exe"}) << mode;
    EXPECT_TRUE(empty.progress().empty()) << mode;
  }
}

TEST_F(HttpDownload, SendsExtraHeaderLines) {
  fs::path target = out_ / "headers.txt";
  LogicSession session;
  session.DownloadFile(rec_.Completion(), rec_.Progress(), server_->Url("/headers"),
                       {"X-Upgrade-Channel: stable", "X-Upgrade-Build: 1234"}, target.string());
  ASSERT_TRUE(rec_.WaitDone());
  EXPECT_EQ(rec_.code(), CURLE_OK) << rec_.text();
  std::string received = ReadFile(target);
  EXPECT_NE(received.find("X-Upgrade-Channel: stable\n"), std::string::npos) << received;
  EXPECT_NE(received.find("X-Upgrade-Build: 1234\n"), std::string::npos) << received;
}

TEST_F(HttpDownload, ReturnsAtOnceAndOutlivesTheSession) {
  fs::path target = out_ / "slow.bin";
  // About three seconds at this rate: long enough to be sure DownloadFile
  // returned while the transfer was still running.
  Start(server_->Url("/slow/big.bin?bps=1048576"), target, rec_);
  EXPECT_EQ(rec_.completions(), 0);
  EXPECT_EQ(LogicSession::RunningTransfers(), 1);
  ASSERT_TRUE(rec_.WaitDone());
  EXPECT_EQ(rec_.code(), CURLE_OK) << rec_.text();
  EXPECT_EQ(rec_.completions(), 1);
  EXPECT_TRUE(ReadFile(target) == big_);
  ExpectGoodProgress(rec_.progress());
  EXPECT_GT(rec_.progress().size(), 10u);  // a slow transfer reports along the way
}

// ---- failures --------------------------------------------------------------

TEST_F(HttpDownload, ClientErrorIsFinalAtOnce) {
  fs::path target = out_ / "setup.exe";
  WriteFile(target, "previous installer");
  Download(server_->Url("/status/404"), target);
  ExpectCleanFailure(target, "previous installer");
  EXPECT_EQ(rec_.code(), CURLE_HTTP_RETURNED_ERROR);
  EXPECT_EQ(rec_.status(), 404);
  EXPECT_EQ(server_->Requests().size(), 1u);
}

TEST_F(HttpDownload, ServerErrorFailsAfterEveryAttempt) {
  fs::path target = out_ / "setup.exe";
  WriteFile(target, "previous installer");
  Download(server_->Url("/status/500"), target);
  ExpectCleanFailure(target, "previous installer");
  EXPECT_EQ(rec_.status(), 500);
  EXPECT_EQ(server_->Requests().size(), 3u);
}

TEST_F(HttpDownload, SuccessStatusWithoutTheResourceFails) {
  fs::path target = out_ / "setup.exe";
  WriteFile(target, "previous installer");
  Download(server_->Url("/status/204"), target);
  ExpectCleanFailure(target, "previous installer");
  EXPECT_EQ(rec_.status(), 204);
}

TEST_F(HttpDownload, BodyShorterThanAnnouncedFails) {
  fs::path target = out_ / "setup.exe";
  WriteFile(target, "previous installer");
  Download(server_->Url("/short/big.bin"), target);
  ExpectCleanFailure(target, "previous installer");
  EXPECT_EQ(rec_.code(), CURLE_PARTIAL_FILE);
}

TEST_F(HttpDownload, ChunkedBodyCutShortFails) {
  fs::path target = out_ / "setup.exe";
  WriteFile(target, "previous installer");
  Download(server_->Url("/chunked-short/big.bin"), target);
  ExpectCleanFailure(target, "previous installer");
}

// A body whose end only the closed connection marks is whole or cut alike:
// refused unless the caller checks the bytes by other means.
TEST_F(HttpDownload, BodyOfUnstatedLengthIsTakenOnlyWhenAccepted) {
  const struct {
    const char* mode;
    bool accept;
    CURLcode code;
    size_t kept;  // bytes at the target afterwards
  } rows[] = {
      {"/unsized-short/", false, CURLE_WEIRD_SERVER_REPLY, 0},
      {"/unsized/", false, CURLE_WEIRD_SERVER_REPLY, 0},
      {"/unsized-short/", true, CURLE_OK, kBigSize / 2},
      {"/chunked/", false, CURLE_OK, kBigSize},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.mode) + (row.accept ? " accepted" : ""));
    Recorder recorder;
    const fs::path target = out_ / "setup.exe";
    fs::remove(target);
    LogicSession session;
    session.AcceptUnstatedLength(row.accept);
    session.DownloadFile(recorder.Completion(), recorder.Progress(), server_->Url(std::string(row.mode) + "big.bin"),
                         {}, target.string());
    ASSERT_TRUE(recorder.WaitDone());
    EXPECT_EQ(recorder.code(), row.code) << recorder.text();
    EXPECT_EQ(ReadFile(target).size(), row.kept);
  }
  // Asking again could only bring another such body.
  EXPECT_EQ(server_->Requests().size(), 4u);
}

// The network users have: every response cut after 1 MiB, and an origin
// that goes away for 5 s halfway. Tries that gain use up nothing, and an
// outage is waited out within the budget: both arrive byte-exact.
TEST_F(HttpDownload, CutResponsesAndAnOutageAreOutlasted) {
  TransferOptions options = LogicSession::GetTransferOptions();
  options.noProgressBudget = 30s;
  LogicSession::SetTransferOptions(options);
  const std::string five = RandomBytes(5 << 20, 11);
  WriteFile(served_ / "five.bin", five);
  Download(server_->Url("/cut-each/five.bin"), out_ / "cut.exe");
  EXPECT_EQ(rec_.code(), CURLE_OK) << rec_.text();
  EXPECT_TRUE(ReadFile(out_ / "cut.exe") == five);
  EXPECT_EQ(server_->Requests().size(), 5u);

  Recorder outage;
  const int port = server_->port();
  Start(server_->Url("/slow/five.bin?bps=4194304"), out_ / "outage.exe", outage);
  ASSERT_TRUE(outage.WaitProgressAtLeast(25));
  server_.reset();  // the origin goes away...
  std::this_thread::sleep_for(5s);
  server_ = std::make_unique<TestServer>(served_, std::vector<std::string>{"--port", std::to_string(port)});
  ASSERT_TRUE(server_->ok());  // ... and comes back
  ASSERT_TRUE(outage.WaitDone());
  EXPECT_EQ(outage.code(), CURLE_OK) << outage.text();
  EXPECT_TRUE(ReadFile(out_ / "outage.exe") == five);
  const std::vector<std::string> requests = server_->Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_NE(requests.front().find(" bytes="), std::string::npos) << requests.front();
}

TEST_F(HttpDownload, RedirectLoopStopsAfterFiveRedirects) {
  fs::path target = out_ / "setup.exe";
  WriteFile(target, "previous installer");
  Download(server_->Url("/redirect-loop"), target);
  ExpectCleanFailure(target, "previous installer");
  EXPECT_EQ(rec_.code(), CURLE_TOO_MANY_REDIRECTS);
  EXPECT_EQ(server_->Requests().size(), 6u);
}

TEST_F(HttpDownload, RedirectToLocalFileIsRefused) {
  fs::path target = out_ / "setup.exe";
  WriteFile(target, "previous installer");
  Download(server_->Url("/redirect-file"), target);
  ExpectCleanFailure(target, "previous installer");
  EXPECT_EQ(rec_.code(), CURLE_UNSUPPORTED_PROTOCOL);
}

// A stalled try is cut by the low-speed limit; what did arrive is kept, so
// every try gains and the rest is asked for until the file is whole.
TEST_F(HttpDownload, StalledTriesAreCutAndResumedUntilWhole) {
  TransferOptions options = LogicSession::GetTransferOptions();
  options.lowSpeedTimeSeconds = 1;
  LogicSession::SetTransferOptions(options);
  const std::string small = big_.substr(0, 160 * 1024);
  WriteFile(served_ / "small.bin", small);
  fs::path target = out_ / "setup.exe";
  Download(server_->Url("/stall/small.bin"), target);
  EXPECT_EQ(rec_.code(), CURLE_OK) << rec_.text();
  EXPECT_TRUE(ReadFile(target) == small);
  std::vector<std::string> requests = server_->Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1], "/stall/small.bin bytes=65536- If-Range: " + ServedTag(served_ / "small.bin"));
}

TEST_F(HttpDownload, UnverifiedTlsPeerIsRefused) {
  const fs::path pem = MakeServerPem();
  ASSERT_FALSE(pem.empty()) << "needs /usr/bin/openssl";
  TestServer tls(served_, {"--tls", pem.string()});
  ASSERT_TRUE(tls.ok());

  fs::path target = out_ / "setup.exe";
  WriteFile(target, "previous installer");
  Download(tls.Url("/files/big.bin", "https"), target);
  ExpectCleanFailure(target, "previous installer");
  EXPECT_EQ(rec_.code(), CURLE_PEER_FAILED_VERIFICATION);
}

// Whoever answers one redirect must not be able to swap what arrives over
// TLS for a plain-text copy.
TEST_F(HttpDownload, HttpsNeverFollowsARedirectToHttp) {
  const fs::path pem = MakeServerPem();
  ASSERT_FALSE(pem.empty()) << "needs /usr/bin/openssl";
  TestServer tls(served_, {"--tls", pem.string()});
  ASSERT_TRUE(tls.ok());
  TransferOptions options = LogicSession::GetTransferOptions();
  options.caBundle = (root_ / "cert.pem").string();
  LogicSession::SetTransferOptions(options);

  // Trusted, and redirects within https are followed.
  fs::path target = out_ / "setup.exe";
  Download(tls.Url("/redirect/files/big.bin", "https"), target);
  ASSERT_EQ(rec_.code(), CURLE_OK) << rec_.text();
  EXPECT_TRUE(ReadFile(target) == big_);

  Recorder downgraded;
  WriteFile(target, "previous installer");
  Start(tls.Url("/redirect-to?url=" + server_->Url("/files/big.bin"), "https"), target, downgraded);
  ASSERT_TRUE(downgraded.WaitDone());
  EXPECT_EQ(downgraded.code(), CURLE_UNSUPPORTED_PROTOCOL) << downgraded.text();
  EXPECT_EQ(ReadFile(target), "previous installer");
  EXPECT_EQ(ListDir(out_), std::vector<std::string>{"setup.exe"});
  EXPECT_TRUE(server_->Requests().empty()) << "the plain-text server was asked";
}

// The download folder may belong to a less-privileged user than the
// downloader: what that user plants there is never written through.
TEST_F(HttpDownload, PlantedLinksAreNotWrittenThrough) {
  const fs::path victim = root_ / "victim";
  WriteFile(victim, "not yours");
  ASSERT_EQ(chmod(victim.c_str(), 0600), 0);

  // A link in place of the .part file is replaced, not followed.
  fs::path target = out_ / "setup.exe";
  fs::create_symlink(victim, target.string() + ".part");
  Download(server_->Url("/files/big.bin"), target);
  EXPECT_EQ(rec_.code(), CURLE_OK) << rec_.text();
  EXPECT_TRUE(ReadFile(target) == big_);
  EXPECT_EQ(ListDir(out_), std::vector<std::string>{"setup.exe"});

  // A link in place of the download folder is refused.
  const fs::path elsewhere = root_ / "elsewhere";
  fs::create_directory(elsewhere);
  fs::create_directory_symlink(elsewhere, out_ / "linked");
  Recorder linked;
  Start(server_->Url("/files/big.bin"), out_ / "linked" / "setup.exe", linked);
  ASSERT_TRUE(linked.WaitDone());
  EXPECT_EQ(linked.code(), CURLE_WRITE_ERROR) << linked.text();
  EXPECT_TRUE(fs::is_empty(elsewhere));

  EXPECT_EQ(ReadFile(victim), "not yours");
  struct stat st {};
  ASSERT_EQ(stat(victim.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// The size limit is the resource's: a redirect's own body is not counted.
TEST_F(HttpDownload, SizeLimitAppliesToTheFinalResponseOnly) {
  WriteFile(served_ / "small.bin", "signature");
  for (const auto& [path, code] : {std::pair{"/redirect/files/small.bin?pad=5000", CURLE_OK},
                                   std::pair{"/redirect/files/big.bin", CURLE_WRITE_ERROR},
                                   std::pair{"/redirect/chunked/big.bin?pad=5000", CURLE_WRITE_ERROR}}) {
    Recorder recorder;
    LogicSession session;
    session.SetMaxBytes(4096);
    session.DownloadFile(recorder.Completion(), nullptr, server_->Url(path), {}, out_ / "s.minisig");
    ASSERT_TRUE(recorder.WaitDone());
    EXPECT_EQ(recorder.code(), code) << path << " " << recorder.text();
    EXPECT_EQ(ReadFile(out_ / "s.minisig"), code == CURLE_OK ? "signature" : "") << path;
    fs::remove(out_ / "s.minisig");
  }
}

TEST_F(HttpDownload, ConnectionRefusedFails) {
  // A port that was free a moment ago and has no listener.
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
  close(fd);
  fs::path target = out_ / "setup.exe";
  WriteFile(target, "previous installer");
  Download("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/files/big.bin",
           target);
  ExpectCleanFailure(target, "previous installer");
  EXPECT_EQ(rec_.code(), CURLE_COULDNT_CONNECT);
  EXPECT_EQ(rec_.status(), 0);
}

TEST_F(HttpDownload, UnusableTargetFailsWithoutWriting) {
  fs::path missing = out_ / "missing" / "setup.exe";
  Download(server_->Url("/files/big.bin"), missing);
  EXPECT_EQ(rec_.completions(), 1);
  EXPECT_EQ(rec_.code(), CURLE_WRITE_ERROR);
  EXPECT_FALSE(fs::exists(out_ / "missing"));

  // A target that is a folder (a URL ending in its separator names the
  // download folder itself) or nothing at all.
  for (const std::string& path : {out_.string(), out_.string() + "/", std::string()}) {
    Recorder recorder;
    LogicSession session;
    session.DownloadFile(recorder.Completion(), recorder.Progress(),
                         server_->Url("/files/big.bin"), {}, path);
    ASSERT_TRUE(recorder.WaitDone());
    EXPECT_EQ(recorder.completions(), 1) << path;
    EXPECT_NE(recorder.code(), CURLE_OK) << path;
  }
  EXPECT_TRUE(ListDir(out_).empty());
  EXPECT_EQ(ListDir(root_), (std::vector<std::string>{"out", "served"}));
  EXPECT_FALSE(fs::exists(".part"));
  EXPECT_TRUE(server_->Requests().empty());
}

// ---- retries ---------------------------------------------------------------

TEST_F(HttpDownload, ResumesWithRangeAfterDrop) {
  fs::path target = out_ / "setup.exe";
  // Throttled so that progress is reported along both halves.
  Download(server_->Url("/drop-once/big.bin?bps=4194304"), target);
  EXPECT_EQ(rec_.code(), CURLE_OK) << rec_.text();
  EXPECT_EQ(rec_.status(), 206);
  EXPECT_TRUE(ReadFile(target) == big_);
  EXPECT_EQ(ListDir(out_), std::vector<std::string>{"setup.exe"});
  ExpectGoodProgress(rec_.progress());
  std::vector<std::string> requests = server_->Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0], "/drop-once/big.bin -");
  // Tied to the version whose first half is on disk.
  EXPECT_EQ(requests[1], "/drop-once/big.bin bytes=" + std::to_string(kBigSize / 2) +
                             "- If-Range: " + ServedTag(served_ / "big.bin"));
  // The resumed half counts on from the bytes already on disk, toward the
  // whole size rather than the remaining one.
  std::vector<int> progress = rec_.progress();
  for (size_t i = 1; i < progress.size(); ++i) EXPECT_LE(progress[i] - progress[i - 1], 10) << i;
}

TEST_F(HttpDownload, StartsOverWhenServerIgnoresRange) {
  fs::path target = out_ / "setup.exe";
  Download(server_->Url("/drop-norange/big.bin"), target);
  EXPECT_EQ(rec_.code(), CURLE_OK) << rec_.text();
  EXPECT_EQ(rec_.status(), 200);
  EXPECT_TRUE(ReadFile(target) == big_);
  EXPECT_EQ(ListDir(out_), std::vector<std::string>{"setup.exe"});
  ExpectGoodProgress(rec_.progress());
  std::vector<std::string> requests = server_->Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[2], "/drop-norange/big.bin -");
}

TEST_F(HttpDownload, ResumeWithWeakTagFallsBackToModificationDate) {
  // A weak tag cannot guard a byte range; the date can, being old enough.
  Age(served_ / "big.bin", 120s);
  fs::path target = out_ / "setup.exe";
  Download(server_->Url("/drop-once/big.bin?etag=weak"), target);
  EXPECT_EQ(rec_.code(), CURLE_OK) << rec_.text();
  EXPECT_EQ(rec_.status(), 206);
  EXPECT_TRUE(ReadFile(target) == big_);
  std::vector<std::string> requests = server_->Requests();
  ASSERT_EQ(requests.size(), 2u);
  std::string resumed = "/drop-once/big.bin bytes=" + std::to_string(kBigSize / 2) + "- If-Range: ";
  ASSERT_EQ(requests[1].rfind(resumed, 0), 0u) << requests[1];
  std::string validator = requests[1].substr(resumed.size());
  EXPECT_EQ(validator.find_first_of("\"/"), std::string::npos) << validator;
  EXPECT_EQ(validator.substr(validator.size() - 4), " GMT") << validator;
}

TEST_F(HttpDownload, ResourceChangedBetweenTriesYieldsOnlyTheNewVersion) {
  // The first try gets half of one version, the retry meets another. Each
  // way the server can answer must end in exactly the new version, never in
  // the old start glued to the new end.
  struct Case {
    const char* name;
    size_t newSize;
    const char* query;
  };
  const Case cases[] = {
      {"same-size.bin", kBigSize, ""},
      {"larger.bin", kBigSize + 4099, ""},
      // As long as the bytes on disk: libcurl takes the whole-file answer
      // for "nothing left to fetch".
      {"half.bin", kBigSize / 2, ""},
      // Stale tags: the server grants the range, the total gives it away.
      {"stale-tag.bin", kBigSize + 4099, "?tag=first"},
      // If-Range ignored: the range answer's own tag gives it away.
      {"ignores-if-range.bin", kBigSize, "?if-range=ignore"},
  };
  unsigned seed = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string fresh = RandomBytes(c.newSize, ++seed);
    WriteFile(served_ / c.name, big_);
    WriteFile(served_ / (std::string(c.name) + ".v2"), fresh);
    std::string oldTag = ServedTag(served_ / c.name);
    size_t before = server_->Requests().size();

    Recorder recorder;
    fs::path target = out_ / c.name;
    std::string path = std::string("/drop-change/") + c.name;
    Start(server_->Url(path + c.query), target, recorder);
    ASSERT_TRUE(recorder.WaitDone());
    EXPECT_EQ(recorder.code(), CURLE_OK) << recorder.text();
    EXPECT_EQ(recorder.status(), 200);
    std::string got = ReadFile(target);
    EXPECT_EQ(got.size(), fresh.size());
    EXPECT_TRUE(got == fresh);
    EXPECT_FALSE(fs::exists(target.string() + ".part"));
    EXPECT_EQ(recorder.progress().back(), 100);

    std::vector<std::string> requests = server_->Requests();
    requests.erase(requests.begin(), requests.begin() + static_cast<long>(before));
    EXPECT_EQ(requests, (std::vector<std::string>{
                            path + " -",
                            path + " bytes=" + std::to_string(kBigSize / 2) + "- If-Range: " + oldTag,
                            path + " -",
                        }));
  }
}

// Two versions written within a few seconds share their date: it cannot tie
// the bytes on disk to one of them. A date a minute older than the response can.
TEST_F(HttpDownload, DateValidatesOnlyWellBeforeTheResponse) {
  const std::string second = RandomBytes(kBigSize, 11);
  for (const auto& [mode, age] : {std::pair{"/drop-change/", 5s}, std::pair{"/drop-once/", 120s}}) {
    for (const char* name : {"v.bin", "v.bin.v2"}) WriteFile(served_ / name, name[5] ? second : big_);
    for (const char* name : {"v.bin", "v.bin.v2"}) Age(served_ / name, age);
    Recorder recorder;
    Start(server_->Url(mode + std::string("v.bin?etag=none")), out_ / "v.bin", recorder);
    ASSERT_TRUE(recorder.WaitDone());
    EXPECT_TRUE(ReadFile(out_ / "v.bin") == (age < 60s ? second : big_)) << mode << recorder.text();
    EXPECT_EQ(server_->Requests().back().find("If-Range") != std::string::npos, age > 60s);
  }
}

TEST_F(HttpDownload, WithoutValidatorRetryStartsOver) {
  // Nothing ties the bytes on disk to what the server would send next, so
  // they are not kept.
  fs::path target = out_ / "setup.exe";
  Download(server_->Url("/drop-novalidator/big.bin"), target);
  EXPECT_EQ(rec_.code(), CURLE_OK) << rec_.text();
  EXPECT_EQ(rec_.status(), 200);
  EXPECT_TRUE(ReadFile(target) == big_);
  EXPECT_EQ(ListDir(out_), std::vector<std::string>{"setup.exe"});
  ExpectGoodProgress(rec_.progress());
  EXPECT_EQ(server_->Requests(), (std::vector<std::string>{"/drop-novalidator/big.bin -",
                                                           "/drop-novalidator/big.bin -"}));

  // A redirect's own tag says nothing about the resource it leads to.
  Recorder redirected;
  fs::path other = out_ / "other.exe";
  WriteFile(served_ / "other.bin", big_);
  Start(server_->Url("/redirect/drop-novalidator/other.bin"), other, redirected);
  ASSERT_TRUE(redirected.WaitDone());
  EXPECT_EQ(redirected.code(), CURLE_OK) << redirected.text();
  EXPECT_TRUE(ReadFile(other) == big_);
  std::vector<std::string> requests = server_->Requests();
  ASSERT_EQ(requests.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(requests.begin() + 2, requests.end()),
            (std::vector<std::string>{"/redirect/drop-novalidator/other.bin -",
                                      "/drop-novalidator/other.bin -",
                                      "/redirect/drop-novalidator/other.bin -",
                                      "/drop-novalidator/other.bin -"}));
}

TEST_F(HttpDownload, RetriesUnavailableServer) {
  fs::path target = out_ / "setup.exe";
  Download(server_->Url("/fail-once/big.bin"), target);
  EXPECT_EQ(rec_.code(), CURLE_OK) << rec_.text();
  EXPECT_TRUE(ReadFile(target) == big_);
  EXPECT_EQ(server_->Requests().size(), 2u);
}

TEST_F(HttpDownload, RetriesTooManyRequestsWhenAskedTo) {
  AllowWithoutProgress(10s);
  fs::path target = out_ / "setup.exe";
  Download(server_->Url("/busy/big.bin?status=429&retry-after=1"), target);
  EXPECT_EQ(rec_.code(), CURLE_OK) << rec_.text();
  EXPECT_TRUE(ReadFile(target) == big_);
  EXPECT_EQ(server_->Requests().size(), 2u);
}

TEST_F(HttpDownload, BusyAnswersWithRetryAfterUseNoAttempt) {
  AllowWithoutProgress(10s);
  fs::path target = out_ / "setup.exe";
  // Three attempts, but four answers saying when to come back.
  Download(server_->Url("/busy/big.bin?times=4&retry-after=0"), target);
  EXPECT_EQ(rec_.code(), CURLE_OK) << rec_.text();
  EXPECT_TRUE(ReadFile(target) == big_);
  EXPECT_EQ(server_->Requests().size(), 5u);
}

// A 503 without Retry-After is the network's: asked again, with growing
// pauses, until the budget without progress (1 s here) is spent.
TEST_F(HttpDownload, UnavailableWithoutRetryAfterIsAskedAgainWithinTheBudget) {
  fs::path target = out_ / "setup.exe";
  Download(server_->Url("/busy/big.bin?times=4"), target);
  EXPECT_EQ(rec_.code(), CURLE_OK) << rec_.text();
  EXPECT_EQ(server_->Requests().size(), 5u);

  Recorder never;
  Start(server_->Url("/status/503"), out_ / "other.exe", never);
  ASSERT_TRUE(never.WaitDone());
  EXPECT_EQ(never.status(), 503);
  EXPECT_GT(server_->Requests().size(), 5u + 4u);
}

TEST_F(HttpDownload, OverloadEndsOnceItsBoundHasPassed) {
  TransferOptions options = LogicSession::GetTransferOptions();
  options.overloadLimit = 0s;
  LogicSession::SetTransferOptions(options);
  fs::path target = out_ / "setup.exe";
  Download(server_->Url("/status/503?retry-after=0"), target);
  EXPECT_EQ(rec_.code(), CURLE_HTTP_RETURNED_ERROR);
  EXPECT_EQ(rec_.status(), 503);
  EXPECT_EQ(server_->Requests().size(), 1u);
}

TEST_F(HttpDownload, RetryAfterIsHonouredOnlyUpToTheCap) {
  TransferOptions options = LogicSession::GetTransferOptions();
  options.retryAfterCap = 1s;
  options.noProgressBudget = 10s;
  LogicSession::SetTransferOptions(options);
  fs::path target = out_ / "setup.exe";
  // Waiting the day asked for would outlast the test's wait.
  Download(server_->Url("/busy/big.bin?retry-after=86400"), target);
  EXPECT_EQ(rec_.code(), CURLE_OK) << rec_.text();
  EXPECT_EQ(server_->Requests().size(), 2u);
}

// A file system of `kib` KiB mounted at `dir` for the test's life: tmpfs,
// or an ext4 image on a loop device. Needs root.
class SmallFileSystem {
 public:
  SmallFileSystem(const fs::path& dir, const std::string& type, int kib) : dir_(dir) {
    fs::create_directories(dir);
    test_support::SpawnOptions quiet;
    quiet.stdoutPath = quiet.stderrPath = "/dev/null";
    std::vector<std::string> mount{"/bin/mount", "-t", "tmpfs", "-o", "size=" + std::to_string(kib) + "k",
                                   "tmpfs", dir.string()};
    if (type == "ext4") {
      const std::string image = dir.string() + ".img";
      fs::resize_file((WriteFile(image, ""), image), static_cast<std::uintmax_t>(kib) * 1024);
      if (test_support::RunToEnd({"/sbin/mkfs.ext4", "-q", "-F", image}, quiet) != 0) return;
      mount = {"/bin/mount", "-o", "loop", image, dir.string()};
    }
    mounted_ = test_support::RunToEnd(mount, quiet) == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) test_support::RunToEnd({"/bin/umount", dir_.string()});
  }
  bool mounted() const { return mounted_; }

 private:
  fs::path dir_;
  bool mounted_ = false;
};

// A disk that fills up mid-download fails it and keeps no .part, whether the
// file went through the cache (tmpfs) or straight to the disk (ext4).
TEST_F(HttpDownload, FullDiskFailsTheDownloadAndLeavesNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  for (const std::string type : {"tmpfs", "ext4"}) {
    SCOPED_TRACE(type);
    SmallFileSystem small(root_ / type, type, 1536);
    if (!small.mounted()) {
      // Loop devices are not everywhere (containers); tmpfs is.
      EXPECT_EQ(type, "ext4") << "tmpfs could not be mounted";
      continue;
    }
    Recorder recorder;
    Start(server_->Url("/files/big.bin"), root_ / type / "setup.exe", recorder);
    ASSERT_TRUE(recorder.WaitDone());
    EXPECT_EQ(recorder.code(), CURLE_WRITE_ERROR) << recorder.text();
    std::vector<std::string> left = ListDir(root_ / type);
    left.erase(std::remove(left.begin(), left.end(), "lost+found"), left.end());
    EXPECT_TRUE(left.empty()) << left.front();
  }
}

// ---- abandoning ------------------------------------------------------------

// An abandoned transfer (a closed window, a killed upgrader) keeps its .part
// and the record tying it to the resource; the next download of the same
// URL asks only for the rest.
TEST_F(HttpDownload, AbandonedTransferIsContinuedByTheNextOfTheSameUrl) {
  const fs::path target = out_ / "setup.exe";
  WriteFile(target, "previous installer");
  const std::string url = server_->Url("/slow/big.bin?bps=2097152");
  LeaveHalfDone(url, target);
  EXPECT_EQ(rec_.code(), CURLE_ABORTED_BY_CALLBACK);
  EXPECT_EQ(ReadFile(target), "previous installer");
  EXPECT_EQ(ListDir(out_), (std::vector<std::string>{"setup.exe", "setup.exe.part", "setup.exe.part.resume"}));

  // Only transfers running at the time are abandoned.
  Recorder later;
  Start(url, target, later);
  ASSERT_TRUE(later.WaitDone());
  EXPECT_EQ(later.code(), CURLE_OK) << later.text();
  EXPECT_TRUE(ReadFile(target) == big_);
  EXPECT_EQ(ListDir(out_), std::vector<std::string>{"setup.exe"});
  const std::vector<std::string> requests = server_->Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[1].find(" bytes="), std::string::npos) << requests[1];
  EXPECT_EQ(requests[1].find(" bytes=0-"), std::string::npos) << requests[1];
}

// A .part already whole (its run ended just before the rename) is confirmed
// by one request that fetches nothing, then taken.
TEST_F(HttpDownload, CompleteLeftoverIsTakenWithoutFetchingAgain) {
  const fs::path target = out_ / "setup.exe";
  const std::string url = server_->Url("/slow/big.bin?bps=2097152");
  LeaveHalfDone(url, target);
  const fs::path part = target.string() + ".part";
  std::ofstream(part, std::ios::binary | std::ios::app) << big_.substr(fs::file_size(part));
  const size_t before = server_->Requests().size();
  Recorder again;
  Start(url, target, again);
  ASSERT_TRUE(again.WaitDone());
  EXPECT_EQ(again.code(), CURLE_OK) << again.text();
  EXPECT_TRUE(ReadFile(target) == big_);
  EXPECT_EQ(ListDir(out_), std::vector<std::string>{"setup.exe"});
  const std::vector<std::string> requests = server_->Requests();
  ASSERT_EQ(requests.size(), before + 1);
  EXPECT_NE(requests.back().find(" bytes=" + std::to_string(big_.size()) + "- If-Range: "), std::string::npos)
      << requests.back();
}

// A leftover that is not provably the upgrader's own, or not this URL's, is
// never continued: it is removed and the download starts over.
TEST_F(HttpDownload, LeftoverNotProvablyOursStartsOver) {
  const fs::path target = out_ / "setup.exe";
  const fs::path part = out_ / "setup.exe.part";
  const struct {
    const char* name;
    std::function<void()> spoil;
  } rows[] = {
      {"another URL's record", [&] { WriteFile(out_ / "setup.exe.part.resume", "brisvane-resume 1\nurl 0\n"); }},
      {"a second link", [&] { fs::create_hard_link(part, root_ / "second"); }},
      {"writable by others", [&] { fs::permissions(part, fs::perms::others_write, fs::perm_options::add); }},
      {"another owner", [&] { ASSERT_EQ(::chown(part.c_str(), 65534, 65534), 0); }},
  };
  const std::string url = server_->Url("/slow/big.bin?bps=2097152");
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    if (std::string(row.name) == "another owner" && geteuid() != 0) continue;
    fs::remove(root_ / "second");
    const size_t before = server_->Requests().size();
    Recorder first;
    LeaveHalfDone(url, target, &first);
    row.spoil();
    Recorder again;
    Start(url, target, again);
    ASSERT_TRUE(again.WaitDone());
    EXPECT_EQ(again.code(), CURLE_OK) << again.text();
    EXPECT_TRUE(ReadFile(target) == big_);
    const std::vector<std::string> requests = server_->Requests();
    ASSERT_EQ(requests.size(), before + 2);
    EXPECT_EQ(requests.back().find(" bytes="), std::string::npos) << requests.back();
  }
}

TEST_F(HttpDownload, AbandonAllInterruptsRetryPause) {
  TransferOptions options = LogicSession::GetTransferOptions();
  options.firstRetryPause = 10min;
  LogicSession::SetTransferOptions(options);
  fs::path target = out_ / "setup.exe";
  Start(server_->Url("/status/503"), target, rec_);
  test_support::WaitUntil([&] { return !server_->Requests().empty(); }, kWait);
  EXPECT_TRUE(LogicSession::AbandonAll(10s));
  EXPECT_EQ(rec_.completions(), 1);
  EXPECT_NE(rec_.code(), CURLE_OK);
  EXPECT_TRUE(ListDir(out_).empty());
}

TEST_F(HttpDownload, AbandonAllInterruptsRetryAfterPause) {
  AllowWithoutProgress(600s);
  fs::path target = out_ / "setup.exe";
  Start(server_->Url("/status/429?retry-after=100"), target, rec_);
  test_support::WaitUntil([&] { return !server_->Requests().empty(); }, kWait);
  EXPECT_TRUE(LogicSession::AbandonAll(10s));
  EXPECT_EQ(rec_.completions(), 1);
  EXPECT_EQ(rec_.code(), CURLE_ABORTED_BY_CALLBACK);
  EXPECT_TRUE(ListDir(out_).empty());
}

// ---- proxy ---------------------------------------------------------------

TEST_F(HttpDownload, GoesThroughTheProxyNamedInTheEnvironment) {
  test_support::ForwardProxy proxy((root_ / "proxy-requests").string());
  ASSERT_TRUE(proxy.ok()) << "proxy did not start";
  env_.Unset("no_proxy");
  env_.Unset("NO_PROXY");
  env_.Set("http_proxy", proxy.Url());
  fs::path target = out_ / "setup.exe";
  std::string url = server_->Url("/files/big.bin");
  Download(url, target);
  EXPECT_EQ(rec_.code(), CURLE_OK) << rec_.text();
  EXPECT_TRUE(ReadFile(target) == big_);
  EXPECT_EQ(proxy.Requests(), std::vector<std::string>{"GET " + url + " HTTP/1.1"});
}

TEST_F(HttpDownload, HostsInNoProxyGoDirect) {
  test_support::ForwardProxy proxy((root_ / "proxy-requests").string());
  ASSERT_TRUE(proxy.ok()) << "proxy did not start";
  env_.Unset("NO_PROXY");
  env_.Set("no_proxy", "localhost");
  env_.Set("http_proxy", proxy.Url());
  // The same server under the listed name and under its address.
  fs::path direct = out_ / "direct.exe", proxied = out_ / "proxied.exe";
  Download("http://localhost:" + std::to_string(server_->port()) + "/files/big.bin", direct);
  EXPECT_EQ(rec_.code(), CURLE_OK) << rec_.text();
  EXPECT_TRUE(ReadFile(direct) == big_);
  EXPECT_TRUE(proxy.Requests().empty());

  Recorder second;
  std::string url = server_->Url("/files/big.bin");
  Start(url, proxied, second);
  ASSERT_TRUE(second.WaitDone());
  EXPECT_EQ(second.code(), CURLE_OK) << second.text();
  EXPECT_TRUE(ReadFile(proxied) == big_);
  EXPECT_EQ(proxy.Requests(), std::vector<std::string>{"GET " + url + " HTTP/1.1"});
}

// Windows' bypass list decides each hop by itself, with Windows' matching.
TEST_F(HttpDownload, SystemProxyIsChosenAgainForEveryHop) {
  test_support::ForwardProxy proxy((root_ / "proxy-requests").string());
  ASSERT_TRUE(proxy.ok()) << "proxy did not start";
  env_.Unset("no_proxy");
  env_.Unset("NO_PROXY");
  const std::string name = "http://localhost:" + std::to_string(server_->port()) + "/files/big.bin";
  const std::string address = server_->Url("/files/big.bin");
  const std::string redirect = server_->Url("/redirect-to?url=") + name;
  // URL, bypass list, what the proxy is asked for; ".localhost" and the CIDR
  // entry would send the request direct if libcurl matched them.
  for (const auto& [url, bypass, proxied] : {std::tuple{redirect, "<local>", redirect},
                                             std::tuple{address, "127.0.0.0/8", address},
                                             std::tuple{name, ".localhost", name}}) {
    TransferOptions options = LogicSession::GetTransferOptions();
    options.systemProxy = platform::SystemProxySettings{proxy.Url(), bypass, ""};
    LogicSession::SetTransferOptions(options);
    Recorder recorder;
    Start(url, out_ / "setup.exe", recorder);
    ASSERT_TRUE(recorder.WaitDone());
    EXPECT_TRUE(ReadFile(out_ / "setup.exe") == big_) << url << recorder.text();
    EXPECT_EQ(proxy.Requests().back(), "GET " + proxied + " HTTP/1.1") << bypass;
  }
  EXPECT_EQ(proxy.Requests().size(), 3u);
}

// Which variables count as naming a proxy decides whether the Windows system
// proxy is asked at all, so it must match what libcurl reads.
class ProxyEnvironment : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                             "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      env_.Unset(name);
    }
  }
  test_support::EnvOverride env_;
};

TEST_F(ProxyEnvironment, SchemeVariablesCountAsLibcurlReadsThem) {
  EXPECT_FALSE(bvhttptools::ProxyFromEnvironment("http://example.com/a"));
  // libcurl never reads the upper-case HTTP_PROXY.
  env_.Set("HTTP_PROXY", "http://proxy:1");
  EXPECT_FALSE(bvhttptools::ProxyFromEnvironment("http://example.com/a"));
  env_.Set("http_proxy", "http://proxy:1");
  EXPECT_TRUE(bvhttptools::ProxyFromEnvironment("HTTP://example.com/a"));
  EXPECT_FALSE(bvhttptools::ProxyFromEnvironment("https://example.com/a"));
  env_.Set("HTTPS_PROXY", "http://proxy:1");
  EXPECT_TRUE(bvhttptools::ProxyFromEnvironment("https://example.com/a"));
  env_.Unset("HTTPS_PROXY");
  env_.Set("https_proxy", "http://proxy:1");
  EXPECT_TRUE(bvhttptools::ProxyFromEnvironment("https://example.com/a"));
}

TEST_F(ProxyEnvironment, AllProxyCountsForEveryScheme) {
  env_.Set("ALL_PROXY", "http://proxy:1");
  EXPECT_TRUE(bvhttptools::ProxyFromEnvironment("http://example.com/a"));
  EXPECT_TRUE(bvhttptools::ProxyFromEnvironment("https://example.com/a"));
  env_.Unset("ALL_PROXY");
  env_.Set("all_proxy", "http://proxy:1");
  EXPECT_TRUE(bvhttptools::ProxyFromEnvironment("http://example.com/a"));
  // A bypass list alone names no proxy.
  env_.Unset("all_proxy");
  env_.Set("no_proxy", "example.com");
  EXPECT_FALSE(bvhttptools::ProxyFromEnvironment("http://example.com/a"));
}

TEST_F(ProxyEnvironment, NoProxyIsAddedToTheSystemBypassList) {
  EXPECT_EQ(bvhttptools::WithEnvironmentNoProxy("localhost,.corp"), "localhost,.corp");
  env_.Set("NO_PROXY", "upper.example");
  EXPECT_EQ(bvhttptools::WithEnvironmentNoProxy(""), "upper.example");
  // The lower-case one wins, as in libcurl.
  env_.Set("no_proxy", "lower.example");
  EXPECT_EQ(bvhttptools::WithEnvironmentNoProxy("localhost,.corp"), "localhost,.corp,lower.example");
}

}  // namespace
