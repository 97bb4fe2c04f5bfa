// What `cmake --install` lays out from this build tree, and the installed
// upgrader doing a whole upgrade from there, away from the build tree.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>

#include "support.h"

using namespace testing_support;

namespace {

struct Outcome {
  int exitCode = -1;
  QString output;  // standard output and error together
};

Outcome RunProgram(const QString& program, const QStringList& arguments,
               const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(),
               const QString& folder = QString()) {
  QProcess process;
  process.setProcessEnvironment(env);
  process.setProcessChannelMode(QProcess::MergedChannels);
  if (!folder.isEmpty()) process.setWorkingDirectory(folder);
  process.start(program, arguments);
  Outcome run;
  if (!process.waitForFinished(120000)) {
    process.kill();
    process.waitForFinished(5000);
    run.output = "did not finish: " + program;
    return run;
  }
  run.output = QString::fromLocal8Bit(process.readAll());
  if (process.exitStatus() == QProcess::NormalExit) run.exitCode = process.exitCode();
  return run;
}

// `cmake --install` of this build tree into `prefix`, one component or all.
void Install(const QString& prefix, const QString& component = QString()) {
  QStringList arguments = {"--install", BRISVANE_BUILD_DIR, "--prefix", prefix};
  if (!component.isEmpty()) arguments << "--component" << component;
  const Outcome run = RunProgram(BRISVANE_CMAKE, arguments);
  ASSERT_EQ(run.exitCode, 0) << run.output.toStdString();
}

// Every file and link under `root` (not folders), relative, sorted.
QStringList Files(const QString& root) {
  QStringList files;
  QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QFileInfo info(it.next());
    if (info.isDir() && !info.isSymLink()) continue;
    files << QDir(root).relativeFilePath(info.filePath());
  }
  files.sort();
  return files;
}

// A list as gtest prints it on a failure: one path a line.
std::string Listed(const QStringList& files) { return ("\n" + files.join('\n')).toStdString(); }

unsigned Mode(const QString& path) {
  struct stat st {};
  if (::lstat(QFile::encodeName(path).constData(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

// What `cmake --install --component upgrader` must lay out, in this tree's layout.
const QString kUpgrader = QStringLiteral(BRISVANE_APP_DIR "/BrisvaneUpgrade");
const QString kRequestTool = QStringLiteral(BRISVANE_TOOL_DIR "/upgrade-request");
const QString kSample = QStringLiteral(BRISVANE_DOC_DIR "/examples/command.bat");
const QStringList kUpgraderFiles = [] {
  QStringList files = {
      kUpgrader,
      kRequestTool,
      kSample,
      QStringLiteral(BRISVANE_PACKAGE_DOC_DIR "/copyright"),
      QStringLiteral(BRISVANE_PACKAGE_DOC_DIR "/changelog.gz"),
      QStringLiteral(BRISVANE_MAN_DIR "/man1/upgrade-request.1.gz"),
  };
  for (QString& file : files) file = QDir::cleanPath(file);
  files.sort();
  return files;
}();
const QStringList kPrograms = {QDir::cleanPath(kUpgrader), QDir::cleanPath(kRequestTool)};

// ---------------------------------------------------------------------------
// The layout.

TEST(InstallLayoutTest, UpgraderComponentIsExactlyItsFilesWithTheirModes) {
  QTemporaryDir prefix;
  ASSERT_TRUE(prefix.isValid());
  ASSERT_NO_FATAL_FAILURE(Install(prefix.path(), "upgrader"));
  ASSERT_EQ(Listed(Files(prefix.path())), Listed(kUpgraderFiles));

  for (const QString& file : kUpgraderFiles) {
    const unsigned expected = kPrograms.contains(file) ? 0755 : 0644;
    EXPECT_EQ(Mode(prefix.path() + "/" + file), expected)
        << file.toStdString() << " has mode " << std::oct << Mode(prefix.path() + "/" + file);
  }
  // A command.bat beside the upgrader would run after every upgrade.
  const QString appDir = QFileInfo(prefix.path() + "/" + kUpgrader).absolutePath();
  EXPECT_FALSE(QFileInfo::exists(appDir + "/command.bat"));

  // Nothing points the installed programs back at this build or source tree.
  for (const QString& program : kPrograms) {
    const Outcome run = RunProgram("readelf", {"-d", prefix.path() + "/" + program});
    ASSERT_EQ(run.exitCode, 0) << run.output.toStdString();
    for (const QString& line : run.output.split('\n')) {
      if (!line.contains("(RPATH)") && !line.contains("(RUNPATH)")) continue;
      EXPECT_FALSE(line.contains(BRISVANE_BUILD_DIR) || line.contains(BRISVANE_SOURCE_DIR))
          << program.toStdString() << ": " << line.toStdString();
    }
  }
}

// Run as the upgrader runs it, with a recording `logger` first on the PATH.
TEST(InstallLayoutTest, SampleScriptOnlyReportsWhetherTheClientIsThere) {
  QTemporaryDir prefix, app, tools;
  ASSERT_TRUE(prefix.isValid() && app.isValid() && tools.isValid());
  ASSERT_NO_FATAL_FAILURE(Install(prefix.path(), "upgrader"));
  const QByteArray sample = ReadFile(prefix.path() + "/" + kSample);
  ASSERT_FALSE(sample.isEmpty());
  WriteFile(app.path() + "/command.bat", sample);
  WriteFile(tools.path() + "/logger",
            "#!/bin/sh\nprintf '%s|' \"$@\" > \"" + tools.path().toUtf8() + "/logger.args\"\n", true);
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("PATH", tools.path() + ":" + env.value("PATH"));
  const auto runScript = [&] {
    QFile::remove(tools.path() + "/logger.args");
    return RunProgram("/bin/sh", {app.path() + "/command.bat"}, env, "/").exitCode;
  };
  const QString client = app.path() + "/bvc.exe";
  const QString warning =
      "-t|brisvane-upgrade|-p|user.warning|post-install: no client that can be started at " +
      client + "|";

  EXPECT_EQ(runScript(), 2);
  EXPECT_EQ(QString(ReadFile(tools.path() + "/logger.args")), warning) << "without a client";
  WriteFile(client, "#!/bin/sh\n", false);
  EXPECT_EQ(runScript(), 2);
  EXPECT_EQ(QString(ReadFile(tools.path() + "/logger.args")), warning)
      << "a client that cannot be started";
  WriteFile(client, "#!/bin/sh\n", true);
  EXPECT_EQ(runScript(), 0);
  EXPECT_EQ(QString(ReadFile(tools.path() + "/logger.args")),
            "-t|brisvane-upgrade|post-install: the client " + client + " is ready|");
  // It changed nothing beside the upgrader.
  EXPECT_EQ(Listed(Files(app.path())), Listed({"bvc.exe", "command.bat"}));
  EXPECT_EQ(ReadFile(app.path() + "/command.bat"), sample);
}

// The whole install is the packaged components and nothing else: a rule
// without a component, or one for a test or benchmark, would show here.
TEST(InstallLayoutTest, WholeInstallIsThePackagedComponentsOnly) {
  QTemporaryDir all, upgrader, development;
  ASSERT_TRUE(all.isValid() && upgrader.isValid() && development.isValid());
  ASSERT_NO_FATAL_FAILURE(Install(all.path()));
  ASSERT_NO_FATAL_FAILURE(Install(upgrader.path(), "upgrader"));
  ASSERT_NO_FATAL_FAILURE(Install(development.path(), "development"));

  const QStringList upgraderFiles = Files(upgrader.path());
  const QStringList developmentFiles = Files(development.path());
  QStringList both = upgraderFiles + developmentFiles;
  both.sort();
  EXPECT_EQ(Listed(Files(all.path())), Listed(both));
  EXPECT_EQ(Listed(upgraderFiles), Listed(kUpgraderFiles));
  // The development files are for building a client: no programs.
  for (const QString& file : developmentFiles) {
    EXPECT_EQ(Mode(development.path() + "/" + file) & 0111, 0u) << file.toStdString();
  }
  for (const QString& file : Files(all.path())) {
    const QString name = QFileInfo(file).fileName();
    EXPECT_FALSE(name.endsWith("_tests") || name.endsWith("_bench") || name == "bvc.exe" ||
                 name.endsWith(".py") || name.contains("standin"))
        << file.toStdString();
  }
}

// ---------------------------------------------------------------------------
// The installed upgrader at work: the client and script placed beside it as
// the client's installer would, the request sent by the installed tool.

TEST(InstalledUpgraderTest, RunsAWholeUpgradeFromTheInstalledFolder) {
  QTemporaryDir prefix, served;
  ASSERT_TRUE(prefix.isValid() && served.isValid());
  ASSERT_NO_FATAL_FAILURE(Install(prefix.path(), "upgrader"));
  const QString appDir = QFileInfo(prefix.path() + "/" + kUpgrader).absolutePath();

  UpgraderWorld world;
  world.CreateDataFolder();
  world.InstallClient(appDir);
  world.InstallScript(appDir);
  HttpServer server(served.path());
  ASSERT_TRUE(server.ok());
  WriteFile(served.path() + "/Setup_2.0.0.exe", InstallerScript(world.recordDir()));

  world.Start(appDir);
  ASSERT_TRUE(world.WaitUntilServing());
  const Outcome sent = RunProgram(prefix.path() + "/" + kRequestTool,
                              {server.Url("/files/Setup_2.0.0.exe")}, world.environment());
  ASSERT_EQ(sent.exitCode, 0) << sent.output.toStdString();
  ASSERT_TRUE(world.WaitForExit(30000));
  EXPECT_EQ(world.process().exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(world.process().exitCode(), 0);

  const QStringList log = Messages(ReadLog(world.logPath()));
  for (const QString& line : {
           QString("INFO ThreadStartInstaller[upgrade] start installer result:1"),
           "INFO BrisvaneUpgrade::StartCommandScript param:\"" + appDir + "/command.bat\"",
           QString("INFO BrisvaneUpgrade::StartCommandScript wait for script execution, the result: 0"),
           QString("INFO BrisvaneUpgrade::StartBrisvane [upgrade] start brisvane result:1"),
       }) {
    EXPECT_TRUE(log.contains(line)) << "missing: " << line.toStdString() << "\nlog:\n"
                                    << log.join('\n').toStdString();
  }
  ASSERT_FALSE(log.isEmpty());
  EXPECT_EQ(log.last(), "INFO upgrade end");
  EXPECT_EQ(world.Recorded("installer.args"), "1\n/verysilent");
  EXPECT_FALSE(world.Recorded("script.ran").isEmpty());
  EXPECT_TRUE(WaitFor([&] { return !world.Recorded("client.started").isEmpty(); }, 10000));
}

}  // namespace

// WaitFor keeps Qt events alive, which needs an application object.
int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
