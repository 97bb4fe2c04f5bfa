// The client library against real peers on a Unix socket in a private
// runtime folder: the upgrader's own RequestServer, and hand-made listeners
// that stall where an upgrader could (a full backlog, a frame never read, a
// reply never sent). C++ and C interfaces alike.
#include <brisvane/upgrade_client.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "guard.h"
#include "request_channel.h"
#include "request_protocol.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using brisvane::HandOverResult;
using brisvane::HandOverUpgrade;
using brisvane::WaitForUpgrader;
using Status = brisvane::HandOverResult::Status;
using test_support::UnixAddress;

// Far beyond any limit the tests give; only there to fail instead of hang.
constexpr auto kWatchdog = 20s;

// A socket bound at the upgrader's name that never serves: it listens (or,
// with `listening` false, is only bound, as between bind and listen) but
// takes no connection, so a client's frame waits unread in its backlog.
// Everything closes with it.
class StallingListener {
 public:
  StallingListener(const std::string& path, bool listening) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un addr = UnixAddress(path_);
    ok_ = fd_ >= 0 && bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
          (!listening || listen(fd_, 0) == 0);
  }
  ~StallingListener() { CloseAll(); }
  bool ok() const { return ok_; }

  // Fills the backlog with connections nobody takes, so that one more
  // connect blocks. False when it would not fill.
  bool FillBacklog() {
    const sockaddr_un addr = UnixAddress(path_);
    for (int i = 0; i < 64; ++i) {
      const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (fd < 0) return false;
      if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const bool full = errno == EAGAIN;
        close(fd);
        return full;
      }
      fillers_.push_back(fd);
    }
    return false;
  }
  // Ends every connection and the listener: a peer still waiting sees EOF
  // or a refusal.
  void CloseAll() {
    for (int fd : fillers_) close(fd);
    fillers_.clear();
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  const std::string path_;
  int fd_ = -1;
  bool ok_ = false;
  std::vector<int> fillers_;
};

// This process's socket descriptors, each with whether it is close-on-exec.
std::map<int, bool> SocketDescriptors() {
  std::map<int, bool> result;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
    if (ec || target.rfind("socket:", 0) != 0) continue;
    const int fd = std::stoi(entry.path().filename().string());
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0) result[fd] = (flags & FD_CLOEXEC) != 0;
  }
  return result;
}

// A listener bound at `path` that uid 65534 set listening, as a user who
// moved the upgrader's socket aside would: the kernel keeps who called
// listen(), here a child that took that uid. -1 on failure; needs root.
int ListenerOfAnotherUser(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const sockaddr_un addr = UnixAddress(path);
  if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return -1;
  const pid_t child = fork();
  if (child == 0) _exit(setresuid(65534, 65534, 65534) == 0 && listen(fd, 8) == 0 ? 0 : 1);
  return test_support::WaitExit(child) == 0 ? fd : -1;
}

// The bytes sent over every connection waiting at `listener`.
std::size_t BytesWaiting(int listener) {
  std::size_t total = 0;
  for (int c; (c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0; close(c)) {
    char buffer[256];
    for (ssize_t n; (n = recv(c, buffer, sizeof buffer, 0)) > 0;) total += static_cast<std::size_t>(n);
  }
  return total;
}

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temp_.ok());
    ASSERT_EQ(mkdir(runtimeDir_.c_str(), 0700), 0);
    // Set before any thread exists: nothing reads the environment meanwhile.
    env_.Set("XDG_RUNTIME_DIR", runtimeDir_);
  }

  std::unique_ptr<platform::RequestServer> MakeServer(std::int32_t reply) {
    auto server = std::make_unique<platform::RequestServer>(
        [this, reply](platform::Request request, platform::Responder respond) {
          {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.push_back(request.payload);
          }
          respond(reply);
        },
        [](const std::string&) {});
    return server;
  }
  std::vector<std::string> Received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

  // Runs `call` on a thread of its own; if it has not returned within the
  // watchdog's time, `unblock` ends what holds it and the test fails.
  template <typename Result>
  Result Guarded(std::function<Result()> call, const std::function<void()>& unblock) {
    std::future<Result> pending = std::async(std::launch::async, call);
    if (pending.wait_for(kWatchdog) != std::future_status::ready) {
      ADD_FAILURE() << "the call did not return by itself";
      unblock();
    }
    return pending.get();
  }

  test_support::TempDir temp_{"client-tests"};
  // Not ASCII: a reason naming the socket path holds multi-byte characters.
  const std::string runtimeDir_ = temp_.path() + "/Zürich";
  const std::string socketPath_ = runtimeDir_ + "/BrisvaneUpgrade";
  test_support::EnvOverride env_;
  std::mutex mutex_;
  std::vector<std::string> received_;
};

// ---------------------------------------------------------------------------
// The time limit bounds every step of the hand-over.

TEST_F(ClientTest, UpgraderThatNeverRepliesFailsAtTheGivenLimit) {
  // The connection is made and the frame sent into the backlog; no reply.
  StallingListener listener(socketPath_, true);
  ASSERT_TRUE(listener.ok());
  const HandOverResult result = Guarded<HandOverResult>(
      [] { return HandOverUpgrade("http://h/setup.exe", 700ms); }, [&] { listener.CloseAll(); });
  EXPECT_EQ(result.status, Status::kFailed);
  EXPECT_EQ(result.reason, "no reply from the upgrader within 700 ms");
}

TEST_F(ClientTest, UpgraderThatTakesNoConnectionFailsAtTheGivenLimit) {
  StallingListener listener(socketPath_, true);
  ASSERT_TRUE(listener.ok());
  ASSERT_TRUE(listener.FillBacklog());
  const HandOverResult result = Guarded<HandOverResult>(
      [] { return HandOverUpgrade("http://h/setup.exe", 2s); }, [&] { listener.CloseAll(); });
  EXPECT_EQ(result.status, Status::kFailed);
  EXPECT_EQ(result.reason, "the upgrader did not take the connection within 2 s");
}

TEST_F(ClientTest, LimitNotPositiveMeansTheDefaultNotAnExpiredOne) {
  auto server = MakeServer(0);
  ASSERT_TRUE(server->Start());
  for (const auto limit : {0ms, -5ms}) {
    const HandOverResult result = HandOverUpgrade("http://h/a.exe", limit);
    EXPECT_EQ(result.status, Status::kReplied) << limit.count() << " ms: " << result.reason;
  }
  EXPECT_EQ(Received().size(), 2u);
}

// A child started meanwhile by another thread must not inherit the
// connection, and nothing stays open once the call is over, however it ends.
TEST_F(ClientTest, ConnectionIsCloseOnExecWhileHeldAndClosedAfterEveryOutcome) {
  const std::map<int, bool> before = SocketDescriptors();
  StallingListener listener(socketPath_, true);
  ASSERT_TRUE(listener.ok());
  std::future<HandOverResult> pending = std::async(std::launch::async, [] {
    return HandOverUpgrade("http://h/held.exe", 3s);
  });
  std::map<int, bool> held;
  // The listener's and the call's sockets.
  ASSERT_TRUE(test_support::WaitUntil(
      [&] {
        held = SocketDescriptors();
        return held.size() >= before.size() + 2;
      },
      5s));
  for (const auto& [fd, cloexec] : held) EXPECT_TRUE(cloexec) << "descriptor " << fd;
  EXPECT_EQ(pending.get().status, Status::kFailed);
  listener.CloseAll();

  EXPECT_EQ(HandOverUpgrade("http://h/none.exe").status, Status::kNoUpgrader);
  EXPECT_FALSE(WaitForUpgrader(200ms));
  auto server = MakeServer(0);
  ASSERT_TRUE(server->Start());
  EXPECT_TRUE(WaitForUpgrader(1s));
  EXPECT_EQ(HandOverUpgrade("http://h/ok.exe").status, Status::kReplied);
  server->Stop();
  EXPECT_EQ(SocketDescriptors(), before);
}

// ---------------------------------------------------------------------------
// Waiting for an upgrader that is starting.

TEST_F(ClientTest, WaitForUpgraderIsFalseUntilSomeoneListens) {
  std::string reason;
  EXPECT_FALSE(WaitForUpgrader(200ms, &reason));
  EXPECT_EQ(reason, "no upgrader is listening on " + socketPath_ + " (waited 200 ms)");

  // Bound but not yet listening, as an upgrader is between bind and listen:
  // the socket file is there, the channel is not up.
  {
    StallingListener boundOnly(socketPath_, false);
    ASSERT_TRUE(boundOnly.ok());
    EXPECT_FALSE(WaitForUpgrader(200ms, &reason));
    EXPECT_NE(reason.find("(waited 200 ms)"), std::string::npos) << reason;
  }
  unlink(socketPath_.c_str());

  // One look only; no reason wanted.
  EXPECT_FALSE(WaitForUpgrader(0ms));
}

TEST_F(ClientTest, WaitForUpgraderIsTrueOnceAnUpgraderStartsLater) {
  auto server = MakeServer(0);
  std::thread starter([&] {
    std::this_thread::sleep_for(500ms);
    server->Start();
  });
  std::string reason = "stale";
  const bool ready = WaitForUpgrader(kWatchdog, &reason);
  starter.join();
  EXPECT_TRUE(ready);
  EXPECT_EQ(reason, "");
  // Being looked at is no request.
  EXPECT_TRUE(Received().empty());
  const HandOverResult result = HandOverUpgrade("http://h/after-wait.exe");
  EXPECT_EQ(result.status, Status::kReplied) << result.reason;
  EXPECT_EQ(Received(), std::vector<std::string>{"http://h/after-wait.exe"});
}

TEST_F(ClientTest, LimitTooLongForTheClockMeansNoLimit) {
  auto server = MakeServer(0);
  std::thread starter([&] {
    std::this_thread::sleep_for(300ms);
    server->Start();
  });
  const bool ready = WaitForUpgrader(std::chrono::milliseconds::max());
  starter.join();
  EXPECT_TRUE(ready);
  const HandOverResult result =
      HandOverUpgrade("http://h/a.exe", std::chrono::milliseconds::max());
  EXPECT_EQ(result.status, Status::kReplied) << result.reason;
}

// ---------------------------------------------------------------------------
// A listener at the upgrader's name that is another user's is handed nothing.

TEST_F(ClientTest, ListenerOfAnotherUserIsHandedNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to listen as another user";
  const int listener = ListenerOfAnotherUser(socketPath_);
  ASSERT_GE(listener, 0);
  const std::string refusal =
      "the listener at " + socketPath_ + " belongs to uid 65534, not to this user or root: refused";
  const HandOverResult handed = HandOverUpgrade("http://h/a.exe", 1s);
  EXPECT_EQ(handed.status, Status::kFailed);
  EXPECT_EQ(handed.reason, refusal);
  brisvane::StartOptions options;
  options.upgraderPath = "/nonexistent/BrisvaneUpgrade";
  options.limit = 1s;
  const brisvane::StartResult started = brisvane::StartUpgrade("http://h/b.exe", options);
  EXPECT_EQ(started.status, brisvane::StartResult::Status::kFailed);
  EXPECT_EQ(started.reason, refusal);
  EXPECT_EQ(BytesWaiting(listener), 0u);
  close(listener);
}

// ---------------------------------------------------------------------------
// The C functions.

TEST_F(ClientTest, CHandOverMapsEachOutcomeAndItsReply) {
  int32_t reply = 42;
  char reason[256];
  std::memset(reason, 'x', sizeof reason);
  EXPECT_EQ(brisvane_hand_over_upgrade("http://h/a.exe", 1000, &reply, reason, sizeof reason),
            BRISVANE_NO_UPGRADER);
  EXPECT_EQ(reply, 42) << "touched without a reply";
  EXPECT_EQ(std::string(reason), "no upgrader is listening on " + socketPath_);

  auto server = MakeServer(-7);
  ASSERT_TRUE(server->Start());
  EXPECT_EQ(brisvane_hand_over_upgrade("http://h/b.exe", 0, &reply, reason, sizeof reason),
            BRISVANE_REFUSED);
  EXPECT_EQ(reply, -7);
  EXPECT_STREQ(reason, "the upgrader refused the request (reply -7)");

  const std::string tooLong(BRISVANE_MAX_URL_BYTES + 1, 'u');
  reply = 42;
  EXPECT_EQ(brisvane_hand_over_upgrade(tooLong.c_str(), 1000, &reply, reason, sizeof reason),
            BRISVANE_FAILED);
  EXPECT_EQ(reply, 42);
  EXPECT_STREQ(reason, "request of 65537 bytes exceeds the limit of 65536");
  const std::string longest(BRISVANE_MAX_URL_BYTES, 'u');
  EXPECT_EQ(brisvane_hand_over_upgrade(longest.c_str(), 0, &reply, reason, sizeof reason),
            BRISVANE_REFUSED)
      << reason;

  EXPECT_EQ(brisvane_hand_over_upgrade(nullptr, 1000, &reply, reason, sizeof reason),
            BRISVANE_FAILED);
  EXPECT_STREQ(reason, "no URL given");
  // Neither a reply nor a reason wanted.
  EXPECT_EQ(brisvane_hand_over_upgrade("http://h/c.exe", 1000, nullptr, nullptr, 0),
            BRISVANE_REFUSED);
  EXPECT_EQ(Received(), (std::vector<std::string>{"http://h/b.exe", longest, "http://h/c.exe"}));
}

TEST_F(ClientTest, CReasonIsCutToTheBufferAndAlwaysTerminated) {
  char full[256];
  ASSERT_EQ(brisvane_hand_over_upgrade("http://h/a.exe", 1000, nullptr, full, sizeof full),
            BRISVANE_NO_UPGRADER);
  const std::string whole = full;
  ASSERT_EQ(whole, "no upgrader is listening on " + socketPath_);

  // Each size in a larger buffer: nothing past `size` is written.
  for (std::size_t size : {std::size_t{1}, std::size_t{2}, std::size_t{9}, whole.size(),
                           whole.size() + 1}) {
    char buf[300];
    std::memset(buf, '#', sizeof buf);
    brisvane_hand_over_upgrade("http://h/a.exe", 1000, nullptr, buf, size);
    const std::size_t kept = std::min(size - 1, whole.size());
    EXPECT_EQ(std::string(buf), whole.substr(0, kept)) << "size " << size;
    for (std::size_t i = size; i < sizeof buf; ++i) {
      ASSERT_EQ(buf[i], '#') << "byte " << i << " written with size " << size;
    }
  }

  // A cut that would split "ü" keeps the character out whole.
  const std::size_t umlaut = whole.find("ü");
  ASSERT_NE(umlaut, std::string::npos);
  char buf[300];
  brisvane_hand_over_upgrade("http://h/a.exe", 1000, nullptr, buf, umlaut + 2);
  EXPECT_EQ(std::string(buf), whole.substr(0, umlaut));

  // No room at all: untouched.
  buf[0] = '#';
  brisvane_hand_over_upgrade("http://h/a.exe", 1000, nullptr, buf, 0);
  EXPECT_EQ(buf[0], '#');
  EXPECT_EQ(brisvane_hand_over_upgrade("http://h/a.exe", 1000, nullptr, nullptr, 64),
            BRISVANE_NO_UPGRADER);
}

TEST_F(ClientTest, CStatesTheCallersLimitAndWaitsLikeTheCppSide) {
  StallingListener listener(socketPath_, true);
  ASSERT_TRUE(listener.ok());
  ASSERT_TRUE(listener.FillBacklog());
  char reason[128];
  const int status = Guarded<int>(
      [&] {
        return brisvane_hand_over_upgrade("http://h/a.exe", 1500, nullptr, reason, sizeof reason);
      },
      [&] { listener.CloseAll(); });
  EXPECT_EQ(status, BRISVANE_FAILED);
  EXPECT_STREQ(reason, "the upgrader did not take the connection within 1500 ms");
  listener.CloseAll();
  unlink(socketPath_.c_str());

  EXPECT_EQ(brisvane_wait_for_upgrader(100, reason, sizeof reason), 0);
  EXPECT_NE(std::string(reason).find("(waited 100 ms)"), std::string::npos) << reason;
  EXPECT_EQ(brisvane_wait_for_upgrader(100, nullptr, 0), 0);
  auto server = MakeServer(0);
  ASSERT_TRUE(server->Start());
  EXPECT_EQ(brisvane_wait_for_upgrader(0, reason, sizeof reason), 1);
  EXPECT_STREQ(reason, "");
}

// ---------------------------------------------------------------------------
// The guard a client holds, as the upgrader reads it.

TEST_F(ClientTest, ClientGuardTellsTakenHeldElsewhereAndFailedApart) {
  using GuardStatus = brisvane::ClientGuard::Status;
  const std::string guardPath = runtimeDir_ + "/" + platform::kSingletonGuardName;
  struct Row {
    const char* holder;
    std::function<std::shared_ptr<void>()> hold;  // kept for the row
    GuardStatus status;
    const char* said;
  };
  const Row rows[] = {
      {"nobody", [] { return nullptr; }, GuardStatus::kTaken, ""},
      {"an upgrader",
       [] {
         bool existed = true;
         return std::make_shared<platform::Guard>(
             platform::CreateSingletonGuard(platform::kSingletonGuardName, &existed));
       },
       GuardStatus::kHeldElsewhere, "is held by another process"},
      {"a folder in its place",
       [&] {
         unlink(guardPath.c_str());
         return mkdir(guardPath.c_str(), 0700) == 0 ? std::make_shared<int>(0) : nullptr;
       },
       GuardStatus::kFailed, "cannot be opened"},
  };
  for (const Row& row : rows) {
    const std::shared_ptr<void> held = row.hold();
    brisvane::ClientGuard guard;
    std::string reason = "x";
    EXPECT_EQ(guard.Take(&reason), row.status) << row.holder;
    EXPECT_EQ(guard.Held(), row.status == GuardStatus::kTaken) << row.holder;
    EXPECT_NE(reason.find(row.said), std::string::npos) << row.holder << ": " << reason;
    guard.Release();
    brisvane_guard* cGuard = nullptr;
    char cReason[256];
    EXPECT_EQ(brisvane_guard_take(&cGuard, cReason, sizeof cReason), static_cast<int>(row.status))
        << row.holder;
    EXPECT_EQ(cGuard != nullptr, row.status == GuardStatus::kTaken) << row.holder;
    EXPECT_EQ(brisvane_guard_held(cGuard), row.status == GuardStatus::kTaken ? 1 : 0);
    brisvane_guard_release(cGuard);
  }
  rmdir(guardPath.c_str());
}

// The upgrader's own call leaves a guard file a client made as it was, and
// makes a new one that the other side can lock whatever the umask.
TEST_F(ClientTest, GuardFileKeepsTheModeItWasMadeWith) {
  const std::string guardPath = runtimeDir_ + "/" + platform::kSingletonGuardName;
  const mode_t savedMask = umask(077);
  for (const auto& [premade, expected] : {std::pair{true, 0600}, std::pair{false, 0644}}) {
    unlink(guardPath.c_str());
    if (premade) close(open(guardPath.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    bool existed = true;
    EXPECT_TRUE(platform::CreateSingletonGuard(platform::kSingletonGuardName, &existed).valid());
    EXPECT_EQ(brisvane::ClientGuard().Take(), brisvane::ClientGuard::Status::kTaken);
    struct stat st {};
    ASSERT_EQ(stat(guardPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, static_cast<mode_t>(expected)) << "premade " << premade;
  }
  umask(savedMask);
}

// The C start with its options: the caller's guard is given up and, with
// nothing taken, taken back.
TEST_F(ClientTest, CStartHandsTheGuardOnAndTakesItBack) {
  brisvane_guard* guard = nullptr;
  ASSERT_EQ(brisvane_guard_take(&guard, nullptr, 0), BRISVANE_GUARD_TAKEN);
  brisvane_start_options options = {};
  options.upgrader_path = "/nonexistent/BrisvaneUpgrade";
  options.request_id = 5;
  options.guard = guard;
  brisvane_start_result result;
  EXPECT_EQ(brisvane_start_upgrade_with("http://h/a.exe", &options, &result),
            BRISVANE_START_NOT_STARTED)
      << result.reason;
  EXPECT_EQ(result.request_id, 5u);
  EXPECT_EQ(result.reply, -1);
  EXPECT_EQ(brisvane_guard_held(guard), 1);
  brisvane_guard_release(guard);
}

// ---------------------------------------------------------------------------
// The start meets an upgrader that is going, or one at work.

TEST_F(ClientTest, StartGoesOnPastAnUpgraderThatIsGoing) {
  using StartStatus = brisvane::StartResult::Status;
  struct Row {
    const char* upgrader;
    std::int32_t reply;  // the server's; -1: a listener that never replies
    bool goes;           // ends 300 ms into the start
    std::chrono::milliseconds limit;
    StartStatus status;
    const char* said;
  };
  const Row rows[] = {
      {"closing, then gone", platform::kReplyClosing, true, 3s, StartStatus::kNotStarted,
       "could not be started"},
      {"gone under the hand-over", -1, true, 3s, StartStatus::kNotStarted, "could not be started"},
      {"at work", platform::kReplyBusy, false, 3s, StartStatus::kBusy, "another upgrade"},
      {"closing for ever", platform::kReplyClosing, false, 1s, StartStatus::kFailed,
       "was closing and did not end within 1 s"},
  };
  for (const Row& row : rows) {
    std::unique_ptr<platform::RequestServer> server;
    StallingListener listener(socketPath_, true);
    if (row.reply >= 0) {
      listener.CloseAll();
      unlink(socketPath_.c_str());
      server = MakeServer(row.reply);
      ASSERT_TRUE(server->Start()) << row.upgrader;
    }
    brisvane::StartOptions options;
    options.upgraderPath = "/nonexistent/BrisvaneUpgrade";
    options.limit = row.limit;
    const auto began = std::chrono::steady_clock::now();
    std::future<brisvane::StartResult> pending = std::async(std::launch::async, [&] {
      return brisvane::StartUpgrade("http://h/next.exe", options);
    });
    if (row.goes) {
      std::this_thread::sleep_for(300ms);
      if (server) server->Stop();
      listener.CloseAll();
    }
    const brisvane::StartResult result = pending.get();
    EXPECT_EQ(result.status, row.status) << row.upgrader << ": " << result.reason;
    EXPECT_NE(result.reason.find(row.said), std::string::npos)
        << row.upgrader << ": " << result.reason;
    if (row.goes) {
      EXPECT_GE(std::chrono::steady_clock::now() - began, 300ms) << row.upgrader;
    }
    if (server) server->Stop();
    listener.CloseAll();
    unlink(socketPath_.c_str());
  }
}

// ---------------------------------------------------------------------------
// The start that does not hold its caller.

TEST_F(ClientTest, AsyncStartReturnsAtOnceAndTellsTheSameEndTwice) {
  // A listener that never replies: the start runs to its limit.
  StallingListener listener(socketPath_, true);
  ASSERT_TRUE(listener.ok());
  brisvane::StartOptions options;
  options.upgraderPath = "/nonexistent/BrisvaneUpgrade";
  options.limit = 800ms;
  std::promise<brisvane::StartResult> told;
  std::future<brisvane::StartResult> byCallback = told.get_future();
  const auto began = std::chrono::steady_clock::now();
  brisvane::PendingStart pending = brisvane::StartUpgradeAsync(
      "http://h/a.exe", options,
      [&](const brisvane::StartResult& result) { told.set_value(result); });
  EXPECT_LT(std::chrono::steady_clock::now() - began, 300ms);
  EXPECT_FALSE(pending.Wait(0ms));
  EXPECT_EQ(pending.Result().reason, "the start has not ended yet");
  ASSERT_TRUE(pending.Wait(kWatchdog));
  const brisvane::StartResult result = pending.Result();
  EXPECT_EQ(result.status, brisvane::StartResult::Status::kFailed);
  EXPECT_NE(result.reason.find(" within "), std::string::npos) << result.reason;
  ASSERT_EQ(byCallback.wait_for(0s), std::future_status::ready) << "Wait ended before the callback";
  const brisvane::StartResult called = byCallback.get();
  EXPECT_EQ(called.reason, result.reason);
  EXPECT_EQ(called.requestId, result.requestId);
}

}  // namespace

