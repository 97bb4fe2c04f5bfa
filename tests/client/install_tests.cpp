// The development package as a client application's build meets it: the
// `development` component installed into a staging folder, the folder then
// moved (the package must not remember where it was installed), a CMake
// project using find_package, the same in a project of C alone, and a C
// program built by `cc` with pkg-config's flags. Both programs then hand a URL to the real upgrader, which must run
// the installer it names. The shipped examples, built the same two ways, are
// the client the upgrader starts again.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <brisvane/upgrade_client.h>

#include "support.h"
#include "test_support.h"

namespace {

using testing_support::HttpServer;
using testing_support::InstallerScript;
using testing_support::Messages;
using testing_support::ReadLog;
using testing_support::UpgraderWorld;
using testing_support::WaitFor;
namespace fs = std::filesystem;

// A command's exit code with what it printed, for the failure message.
struct CommandRun {
  int status = -1;
  std::string output;
};

class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(work_.ok()); }

  CommandRun RunLogged(const std::vector<std::string>& args) {
    const std::string log = work_.path() + "/command.log";
    test_support::SpawnOptions options;
    options.stdoutPath = log;
    options.stderrPath = log + ".err";
    CommandRun run;
    run.status = test_support::RunToEnd(args, options);
    run.output = test_support::ReadFile(log) + test_support::ReadFile(log + ".err");
    return run;
  }

  // Installs the development component into `prefix`.
  void Install(const std::string& prefix) {
    const CommandRun run = RunLogged({BRISVANE_CMAKE, "--install", BRISVANE_BUILD_DIR, "--prefix", prefix,
                               "--component", "development"});
    ASSERT_EQ(run.status, 0) << run.output;
  }

  // The CMake project in `source` configured against `prefix` alone, and built.
  void BuildWithCMake(const std::string& source, const std::string& prefix,
                      const std::string& build) {
    CommandRun run = RunLogged(
        {BRISVANE_CMAKE, "-S", source, "-B", build, "-G", BRISVANE_CMAKE_GENERATOR,
         "-DCMAKE_MAKE_PROGRAM=" BRISVANE_MAKE_PROGRAM,
         "-DCMAKE_CXX_COMPILER=" BRISVANE_CXX_COMPILER, "-DCMAKE_C_COMPILER=" BRISVANE_C_COMPILER,
         "-DCMAKE_PREFIX_PATH=" + prefix, "-DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF",
         "-DCMAKE_CXX_FLAGS=" BRISVANE_SANITIZE_FLAGS, "-DCMAKE_C_FLAGS=" BRISVANE_SANITIZE_FLAGS,
         "-DCMAKE_EXE_LINKER_FLAGS=" BRISVANE_SANITIZE_FLAGS});
    ASSERT_EQ(run.status, 0) << run.output;
    run = RunLogged({BRISVANE_CMAKE, "--build", build});
    ASSERT_EQ(run.status, 0) << run.output;
  }

  // The C `source` built by the C compiler with nothing but pkg-config's
  // flags, pkg-config seeing only `prefix`.
  void BuildWithPkgConfig(const std::string& source, const std::string& prefix,
                          const std::string& program) {
    const std::string pcDir = prefix + "/" BRISVANE_INSTALL_LIBDIR "/pkgconfig";
    test_support::EnvOverride env;
    env.Set("PKG_CONFIG_PATH", pcDir);
    env.Set("PKG_CONFIG_LIBDIR", pcDir);
    const std::string script =
        "set -e\n"
        "flags=$(\"$3\" --cflags --libs brisvane-upgrade-client)\n"
        "echo \"pkg-config: $flags\"\n"
        "\"$0\" -std=c99 -pedantic -Wall -Wextra -Werror " BRISVANE_SANITIZE_FLAGS
        " \"$1\" -o \"$2\" $flags\n";
    const CommandRun run = RunLogged(
        {"/bin/sh", "-c", script, BRISVANE_C_COMPILER, source, program, BRISVANE_PKG_CONFIG});
    ASSERT_EQ(run.status, 0) << run.output;
  }

  // A world with the real upgrader in its application folder, and a server
  // serving the installer stand-in.
  struct Stage {
    QTemporaryDir served;
    HttpServer server{served.path()};
    UpgraderWorld world;
    QString installerUrl() const { return server.Url("/files/setup.exe"); }
  };
  void Prepare(Stage& stage) {
    ASSERT_TRUE(stage.served.isValid() && stage.server.ok());
    testing_support::WriteFile(stage.served.path() + "/setup.exe",
                               InstallerScript(stage.world.recordDir()));
    stage.world.CreateDataFolder();
    stage.world.InstallUpgrader();
  }

  // What the upgrader left for the client, read by the library as the client.
  static brisvane::LastUpgradeRead ReadRecord(const UpgraderWorld& world) {
    test_support::EnvOverride env;
    env.Set("XDG_DATA_HOME", world.dataHome().toStdString());
    return brisvane::ReadLastUpgrade();
  }

  // Starts the real upgrader in a world of its own, runs `program` (a
  // consumer) in that world's environment at once, and expects the upgrade
  // it hands over to run its installer.
  void ExpectUpgradeHandedOverBy(const std::string& program) {
    Stage stage;
    ASSERT_NO_FATAL_FAILURE(Prepare(stage));
    UpgraderWorld& world = stage.world;
    world.InstallClient();
    world.Start();

    // No waiting here: the consumer waits for the upgrader itself.
    QProcess consumer;
    consumer.setProcessEnvironment(world.environment());
    consumer.start(QString::fromStdString(program), {stage.installerUrl()});
    ASSERT_TRUE(consumer.waitForFinished(60000)) << program;
    const QString out = QString::fromUtf8(consumer.readAllStandardOutput());
    const QString err = QString::fromUtf8(consumer.readAllStandardError());
    EXPECT_EQ(consumer.exitCode(), 0) << err.toStdString();
    EXPECT_EQ(out, "reply: 0\n") << err.toStdString();

    ASSERT_TRUE(world.WaitForExit(30000));
    EXPECT_EQ(world.Recorded("installer.args"), "1\n/verysilent");
    const QStringList log = Messages(ReadLog(world.logPath()));
    EXPECT_TRUE(log.contains("INFO BrisvaneUpgrade::nativeEvent receive message"))
        << log.join("\n").toStdString();
    EXPECT_TRUE(log.contains("INFO ThreadStartInstaller[upgrade] start installer result:1"))
        << log.join("\n").toStdString();

    const brisvane::LastUpgradeRead last = ReadRecord(world);
    ASSERT_EQ(last.status, brisvane::LastUpgradeRead::Status::kRead) << last.reason;
    EXPECT_EQ(last.record.result, brisvane::LastUpgrade::Result::kInstalled);
    EXPECT_EQ(last.record.installer, "setup.exe");
    EXPECT_EQ(last.record.installerExitCode, 0);
    EXPECT_EQ(last.record.url, stage.installerUrl().toStdString());
  }

  // Runs the example `program` as the client bvc.exe beside the real
  // upgrader, with LANG=`locale`: it starts the upgrader itself and quits;
  // started again by the upgrader, it tells the upgrade's outcome in
  // `language`. Everything it said is in its answers.txt.
  void ExpectExampleUpgrades(const std::string& program, const QString& locale,
                             brisvane::Language language) {
    Stage stage;
    ASSERT_NO_FATAL_FAILURE(Prepare(stage));
    const UpgraderWorld& world = stage.world;
    const QString client = world.appDir() + "/bvc.exe";
    ASSERT_TRUE(QFile::copy(QString::fromStdString(program), client));
    QProcessEnvironment env = world.environment();
    env.remove("LANGUAGE");
    env.remove("LC_ALL");
    env.insert("LANG", locale);
    QProcess example;
    example.setProcessEnvironment(env);
    example.start(client, {stage.installerUrl()});
    ASSERT_TRUE(example.waitForFinished(60000));
    EXPECT_EQ(example.exitCode(), 0) << example.readAllStandardError().toStdString();
    const QString said = QString::fromUtf8(example.readAllStandardOutput());

    const QString folder = world.dataHome() + "/BrisvaneExample";
    const fs::path upgrader = fs::canonical((world.appDir() + "/BrisvaneUpgrade").toStdString());
    EXPECT_TRUE(WaitFor([&] { return !Running(upgrader); }, 60000)) << "the upgrader ends";
    EXPECT_TRUE(WaitFor([&] { return !QFileInfo::exists(folder + "/pending-request"); }, 10000))
        << "started again, the example takes up its request";
    const brisvane::LastUpgradeRead last = ReadRecord(world);
    ASSERT_EQ(last.status, brisvane::LastUpgradeRead::Status::kRead) << last.reason;
    EXPECT_EQ(last.record.result, brisvane::LastUpgrade::Result::kInstalled);
    ASSERT_TRUE(last.record.requestId.has_value());
    EXPECT_TRUE(said.contains(QString("(request %1)").arg(*last.record.requestId)))
        << said.toStdString();
    EXPECT_EQ(test_support::ReadFile((folder + "/answers.txt").toStdString()),
              said.toStdString() + brisvane::DescribeLastUpgrade(last.record, language) + "\n");
  }

  // Whether a process runs the executable `exe`.
  static bool Running(const fs::path& exe) {
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc", error)) {
      if (fs::read_symlink(entry.path() / "exe", error) == exe) return true;
    }
    return false;
  }

  test_support::TempDir work_{"install-tests"};
};

TEST_F(InstallTest, MovedDevelopmentPackageBuildsCAndCppClientsThatHandOverAnUpgrade) {
  const std::string staged = work_.path() + "/staged";
  Install(staged);
  if (HasFatalFailure()) return;
  const std::string libdir = BRISVANE_INSTALL_LIBDIR;
  for (const std::string& file :
       {std::string("include/brisvane/upgrade_client.h"), libdir + "/libBrisvaneUpgradeClient.a",
        libdir + "/cmake/BrisvaneUpgrade/BrisvaneUpgradeConfig.cmake",
        libdir + "/cmake/BrisvaneUpgrade/BrisvaneUpgradeConfigVersion.cmake",
        libdir + "/cmake/BrisvaneUpgrade/BrisvaneUpgradeTargets.cmake",
        libdir + "/pkgconfig/brisvane-upgrade-client.pc"}) {
    EXPECT_TRUE(fs::is_regular_file(staged + "/" + file)) << file;
  }
  // Programs belong to the upgrader's component, not to this one.
  EXPECT_FALSE(fs::exists(staged + "/bin"));

  // Wherever the package lands, it finds itself there.
  const std::string prefix = work_.path() + "/moved";
  fs::rename(staged, prefix);

  const std::string cppProgram = work_.path() + "/consumer-build/consumer";
  BuildWithCMake(BRISVANE_CONSUMER_SOURCE, prefix, work_.path() + "/consumer-build");
  if (HasFatalFailure()) return;
  const std::string cProgram = work_.path() + "/consumer_c";
  BuildWithPkgConfig(BRISVANE_CONSUMER_SOURCE "/consumer.c", prefix, cProgram);
  if (HasFatalFailure()) return;
  // A project with C alone: the imported target must bring the C++ runtime.
  const std::string cOnlyProgram = work_.path() + "/c-only-build/consumer_c";
  BuildWithCMake(BRISVANE_CONSUMER_SOURCE "/c-only", prefix, work_.path() + "/c-only-build");
  if (HasFatalFailure()) return;

  for (const std::string& program : {cppProgram, cProgram, cOnlyProgram}) {
    SCOPED_TRACE(program);
    ExpectUpgradeHandedOverBy(program);
  }
}

TEST_F(InstallTest, ShippedExamplesStartTheUpgradeAndTellItsOutcomeOnceStartedAgain) {
  const std::string prefix = work_.path() + "/moved";
  Install(work_.path() + "/staged");
  if (HasFatalFailure()) return;
  fs::rename(work_.path() + "/staged", prefix);
  const std::string examples = prefix + "/" BRISVANE_EXAMPLES_DIR;
  BuildWithCMake(examples, prefix, work_.path() + "/examples-build");
  if (HasFatalFailure()) return;
  const std::string cProgram = work_.path() + "/example_c";
  BuildWithPkgConfig(examples + "/c/client.c", prefix, cProgram);
  if (HasFatalFailure()) return;

  const struct {
    std::string program;
    QString locale;
    brisvane::Language language;
  } runs[] = {
      {work_.path() + "/examples-build/brisvane-example", "en_GB.UTF-8",
       brisvane::Language::kEnglish},
      {cProgram, "zh_CN.UTF-8", brisvane::Language::kSimplifiedChinese},
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(run.program);
    ExpectExampleUpgrades(run.program, run.locale, run.language);
  }
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
