// StartUpgrade as a client calls it, with the real upgrader installed beside
// a stand-in client: what each status means must be what happened.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <tuple>
#include <utility>

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <brisvane/upgrade_client.h>

#include "guard.h"
#include "request_protocol.h"
#include "support.h"

namespace {

using brisvane::StartResult;
using Status = StartResult::Status;
using testing_support::InstallerScript;
using testing_support::ReadFile;
using testing_support::WriteFile;
using namespace std::chrono_literals;

class StartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(served_.isValid());
    server_ = std::make_unique<testing_support::HttpServer>(served_.path());
    ASSERT_TRUE(server_->ok());
    world_.CreateDataFolder();
    world_.InstallUpgrader();
    world_.InstallClient();
    WriteFile(served_.path() + "/setup.exe", InstallerScript(world_.recordDir()));
    // The upgrader StartUpgrade starts lives in the world, as this process.
    world_.Enter(&env_);
  }
  // An upgrader left downloading is closed, as Escape would: the server
  // names its process.
  void TearDown() override {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un addr = test_support::UnixAddress(world_.runtimeDir().toStdString() + "/BrisvaneUpgrade");
    ucred peer{};
    socklen_t size = sizeof peer;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.pid > 0) {
      kill(peer.pid, SIGTERM);
      testing_support::WaitFor([&] { return kill(peer.pid, 0) != 0 || !brisvane::WaitForUpgrader(0ms); }, 10000);
    }
    close(fd);
  }

  StartResult Start(const QString& url, std::uint64_t requestId = 0,
                    brisvane::ClientGuard* guard = nullptr) {
    brisvane::StartOptions options;
    options.upgraderPath = (world_.appDir() + "/BrisvaneUpgrade").toStdString();
    options.requestId = requestId;
    options.limit = 20s;
    options.guard = guard;
    return brisvane::StartUpgrade(url.toStdString(), options);
  }
  // The upgrade started has ended: the client is back, and has let go of
  // the guard it looked at.
  bool WaitForClient() {
    const bool back = testing_support::WaitFor([&] { return !world_.Recorded("client.guard").isEmpty(); }, 30000);
    QFile::remove(world_.recordDir() + "/client.guard");
    return back && testing_support::WaitFor([] { return !brisvane::WaitForUpgrader(0ms); }, 10000);
  }
  QString RecordedRequestId() {
    const QJsonObject record =
        QJsonDocument::fromJson(ReadFile(world_.downloadDir() + "/last-upgrade.json")).object();
    return record.contains("requestId") ? record["requestId"].toString() : "absent";
  }

  QTemporaryDir served_;
  std::unique_ptr<testing_support::HttpServer> server_;
  testing_support::UpgraderWorld world_;
  test_support::EnvOverride env_;
};

// Made up, given and absent: the record carries the id of the request it
// answers, and only that one matches it.
TEST_F(StartTest, TheRecordAnswersTheRequestThatStartedIt) {
  const StartResult made = Start(server_->Url("/files/setup.exe"));
  ASSERT_EQ(made.status, Status::kTaken) << made.reason;
  EXPECT_TRUE(made.started);
  EXPECT_EQ(made.reply, BRISVANE_REPLY_TAKEN);
  ASSERT_TRUE(WaitForClient());
  const brisvane::LastUpgradeRead read = brisvane::ReadLastUpgrade();
  ASSERT_EQ(read.status, brisvane::LastUpgradeRead::Status::kRead) << read.reason;
  EXPECT_TRUE(brisvane::AnswersRequest(read.record, made.requestId));
  EXPECT_FALSE(brisvane::AnswersRequest(read.record, made.requestId + 1));
  EXPECT_EQ(RecordedRequestId(), QString::number(made.requestId));

  // Every id is a plain one, the highest too.
  ASSERT_EQ(Start(server_->Url("/files/setup.exe"), UINT64_MAX).status, Status::kTaken);
  ASSERT_TRUE(WaitForClient());
  EXPECT_EQ(RecordedRequestId(), "18446744073709551615");

  // The first senders' frame, without an id, is taken as ever.
  world_.Start();
  ASSERT_TRUE(world_.WaitUntilServing());
  ASSERT_EQ(world_.SendRequest(server_->Url("/files/setup.exe")), 0);
  ASSERT_TRUE(world_.WaitForExit(30000));
  EXPECT_EQ(RecordedRequestId(), "absent");
}

TEST_F(StartTest, GuardStillHeldIsToldAtOnceAndNothingStarts) {
  bool existed = true;
  const platform::Guard guard = platform::CreateSingletonGuard(platform::kSingletonGuardName, &existed);
  ASSERT_TRUE(guard.valid() && !existed);
  const auto began = std::chrono::steady_clock::now();
  const StartResult result = Start(server_->Url("/files/setup.exe"));
  EXPECT_LT(std::chrono::steady_clock::now() - began, 1s);
  EXPECT_EQ(result.status, Status::kGuardHeld);
  EXPECT_NE(result.reason.find("bvc singleton mutex"), std::string::npos) << result.reason;
  EXPECT_FALSE(result.started);
  EXPECT_FALSE(QFile::exists(world_.logPath()));
}

// An upgrader that cannot start, or ends before it listens, is told apart.
TEST_F(StartTest, UpgraderMissingOrEndingAtOnceHasItsOwnStatus) {
  brisvane::StartOptions options;
  options.limit = 10s;
  // The upgrader's own exit code when it finds no display.
  const std::string noDisplay = (world_.root() + "/no-display").toStdString();
  WriteFile(QString::fromStdString(noDisplay), "#!/bin/sh\nexit 3\n", true);
  for (const auto& [path, status, said] :
       {std::tuple{"/nonexistent/BrisvaneUpgrade", Status::kNotStarted, "No such file"},
        std::tuple{"/bin/false", Status::kExitedEarly, "exit code 1"},
        std::tuple{noDisplay.c_str(), Status::kNoDisplay, "no display"}}) {
    options.upgraderPath = path;
    const StartResult result = brisvane::StartUpgrade(server_->Url("/files/setup.exe").toStdString(), options);
    EXPECT_EQ(result.status, status) << path;
    EXPECT_NE(result.reason.find(said), std::string::npos) << result.reason;
  }
}

// A request not taken has its own status, and the upgrader started for it
// does not stay behind as an idle window.
TEST_F(StartTest, RefusedAndIgnoredRequestsTellWhyAndLeaveNoIdleUpgrader) {
  const StartResult refused = Start("http://127.0.0.1:9/x\\../../evil.exe");
  EXPECT_EQ(refused.status, Status::kRefused);
  EXPECT_EQ(refused.reply, BRISVANE_REPLY_UNSAFE_NAME);
  EXPECT_NE(refused.reason.find("leave the download folder"), std::string::npos) << refused.reason;
  EXPECT_TRUE(refused.started);
  EXPECT_FALSE(brisvane::WaitForUpgrader(0ms)) << "an idle upgrader was left";
  EXPECT_TRUE(world_.Recorded("client.started").isEmpty());

  WriteFile(served_.path() + "/big.exe", QByteArray(4 << 20, 'x'));
  ASSERT_EQ(Start(server_->Url("/slow/big.exe")).status, Status::kTaken);
  const StartResult second = Start(server_->Url("/files/setup.exe"));
  EXPECT_EQ(second.status, Status::kBusy) << second.reason << "\n" << ReadFile(world_.logPath()).toStdString();
  EXPECT_EQ(second.reply, BRISVANE_REPLY_BUSY);
  EXPECT_FALSE(second.started);
  EXPECT_TRUE(brisvane::WaitForUpgrader(0ms)) << "the download under way was ended";
}

// Started with a request, the upgrader takes it as the first one to arrive:
// the whole road runs with its id, and a later sender is told "busy".
TEST_F(StartTest, TheRequestOnTheCommandLineIsTheOneTaken) {
  WriteFile(served_.path() + "/big.exe",
            InstallerScript(world_.recordDir()) + "#" + QByteArray(512 * 1024, 'x') + "\n");
  world_.Start(QString(), QString(), {"--request", "42", server_->Url("/slow/big.exe")});
  ASSERT_TRUE(world_.WaitUntilServing());
  const brisvane::HandOverResult later =
      brisvane::HandOverUpgrade(server_->Url("/files/setup.exe").toStdString(), 10s, 7);
  EXPECT_EQ(later.status, brisvane::HandOverResult::Status::kBusy) << later.reason;
  EXPECT_EQ(later.reply, BRISVANE_REPLY_BUSY);
  ASSERT_TRUE(world_.WaitForExit(30000));
  EXPECT_EQ(world_.process().exitCode(), 0);
  EXPECT_EQ(RecordedRequestId(), "42");
  EXPECT_FALSE(world_.Recorded("installer.args").isEmpty());
  // Folders other runs left may be swept first.
  const QStringList log = testing_support::Messages(testing_support::ReadLog(world_.logPath()))
                              .filter(QRegularExpression("^(?!INFO BrisvaneUpgrade removed the folder)"));
  EXPECT_EQ(log.mid(0, 2), QStringList({"INFO main the request came on the command line",
                                        "INFO BrisvaneUpgrade::nativeEvent receive message"}));
  EXPECT_EQ(log.count("INFO BrisvaneUpgrade::nativeEvent receive message"), 2);
}

// A request that cannot be taken, or a command line that is not one, ends
// the run at once with its own exit code: no window, no channel, nothing
// started.
TEST_F(StartTest, ACommandLineRequestNotTakenStartsNothing) {
  const QString url = server_->Url("/files/setup.exe");
  struct Row {
    QStringList arguments;
    bool guardHeld;
    int exitCode;
    QString logged;  // "" when nothing is logged
  };
  const Row rows[] = {
      {{"--request", "5", "http://127.0.0.1:9/x/.."}, false, 103, "installer name leaves the download folder"},
      {{"--request", "5", ""}, false, 102, "download url is empty"},
      {{"--request", "5", "setup.exe"}, false, 106, "the url names no installer file, request refused:setup.exe"},
      {{"--request", "5", url}, true, 101, ""},
      {{"--request", "abc", url}, false, 2, "request id is not a decimal"},
      {{"--request", "18446744073709551616", url}, false, 2, "request id is not a decimal"},
      {{"--request", "5"}, false, 2, "(2 arguments)"},
      {{"--request", "5", url, "-platform"}, false, 2, "(4 arguments)"},
      {{"-reverse", "--request", "5", url}, false, 2, "(4 arguments)"},
  };
  for (const Row& row : rows) {
    const QString said = row.arguments.join(' ');
    QFile::remove(world_.logPath());
    bool existed = true;
    platform::Guard guard;
    if (row.guardHeld) guard = platform::CreateSingletonGuard(platform::kSingletonGuardName, &existed);
    world_.Start(QString(), QString(), row.arguments);
    ASSERT_TRUE(world_.WaitForExit(10000)) << said.toStdString();
    EXPECT_EQ(world_.process().exitCode(), row.exitCode) << said.toStdString();
    const QString log = QString::fromUtf8(ReadFile(world_.logPath()));
    EXPECT_TRUE(row.logged.isEmpty() ? log.isEmpty() : log.contains(row.logged))
        << said.toStdString() << "\n" << log.toStdString();
    EXPECT_FALSE(QFile::exists(world_.runtimeDir() + "/BrisvaneUpgrade")) << said.toStdString();
  }
  EXPECT_TRUE(world_.Recorded("client.started").isEmpty());
  EXPECT_TRUE(world_.Recorded("installer.args").isEmpty());
}

// A request whose upgrade ends before the window would show ends the run;
// one that looks like an option is the window's URL, never Qt's.
TEST_F(StartTest, ACommandLineRequestThatEndsAtOnceEndsTheRun) {
  const QString unusable = world_.root() + "/not-a-folder";
  WriteFile(unusable, "x");
  for (const auto& [dataHome, url] : {std::pair{unusable, server_->Url("/files/setup.exe")},
                                      std::pair{QString(), QString("-style=nosuchstyle/setup.exe")}}) {
    QFile::remove(world_.recordDir() + "/client.started");
    world_.SetDataHome(dataHome);
    QProcess run;
    run.setProcessEnvironment(world_.environment());
    run.start(world_.appDir() + "/BrisvaneUpgrade", {"--request", "9", url});
    ASSERT_TRUE(run.waitForFinished(10000)) << url.toStdString() << ": the run hangs";
    EXPECT_EQ(run.exitCode(), 0);
    EXPECT_FALSE(run.readAllStandardError().contains("style")) << "Qt read the URL as its option";
    // Started detached: it may record its start a moment after the run ends.
    EXPECT_TRUE(testing_support::WaitFor([&] { return !world_.Recorded("client.started").isEmpty(); }, 10000))
        << url.toStdString();
  }
  const QJsonObject record =
      QJsonDocument::fromJson(ReadFile(world_.downloadDir() + "/last-upgrade.json")).object();
  EXPECT_EQ(record["url"].toString(), "-style=nosuchstyle/setup.exe");
  EXPECT_EQ(record["result"].toString(), "download-failed");
}

// A guard the client holds through the library blocks a start unless it
// is handed to the start, which gives it up for the upgrader and takes it
// back when the upgrade was not taken; a running upgrader holds the guard
// elsewhere.
TEST_F(StartTest, TheClientsGuardBlocksAStartUnlessHandedToIt) {
  brisvane::ClientGuard guard;
  ASSERT_EQ(guard.Take(), brisvane::ClientGuard::Status::kTaken);
  struct Row {
    QString url;
    bool handed;
    Status status;
    bool started;
    bool heldAfter;
  };
  const Row rows[] = {
      {server_->Url("/files/setup.exe"), false, Status::kGuardHeld, false, true},
      {"http://127.0.0.1:9/x\\../../evil.exe", true, Status::kRefused, true, true},
      {server_->Url("/files/setup.exe"), true, Status::kTaken, true, false},
  };
  for (const Row& row : rows) {
    const StartResult result = Start(row.url, 0, row.handed ? &guard : nullptr);
    EXPECT_EQ(result.status, row.status) << row.url.toStdString() << ": " << result.reason;
    EXPECT_EQ(result.started, row.started) << row.url.toStdString();
    EXPECT_EQ(guard.Held(), row.heldAfter) << row.url.toStdString();
  }
  ASSERT_TRUE(WaitForClient());

  world_.Start();
  ASSERT_TRUE(world_.WaitUntilServing());
  std::string reason;
  EXPECT_EQ(guard.Take(&reason), brisvane::ClientGuard::Status::kHeldElsewhere) << reason;
  EXPECT_FALSE(guard.Held());
}

// The client the upgrader starts again at the end of an upgrade starts the
// next one at once, while that upgrader winds down, and it is taken.
TEST_F(StartTest, AClientStartedAgainStartsTheNextUpgradeAtOnce) {
  const QString client = world_.appDir() + "/bvc.exe";
  QFile::remove(client);
  ASSERT_TRUE(QFile::copy(BRISVANE_RESTARTED_CLIENT, client));
  env_.Set("NEXT_URL", server_->Url("/files/setup.exe").toStdString());
  ASSERT_EQ(Start(server_->Url("/files/setup.exe")).status, Status::kTaken);
  ASSERT_TRUE(testing_support::WaitFor([&] { return !world_.Recorded("client.next").isEmpty(); },
                                       30000));
  const std::string said = world_.Recorded("client.next").toStdString();
  const QStringList next = world_.Recorded("client.next").split(' ');
  ASSERT_GE(next.size(), 3) << said;
  EXPECT_EQ(next.mid(0, 2), QStringList({"0", "0"})) << said;
  // That upgrade runs to its end with its own id.
  EXPECT_TRUE(testing_support::WaitFor([&] { return RecordedRequestId() == next[2]; }, 30000))
      << RecordedRequestId().toStdString();
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
