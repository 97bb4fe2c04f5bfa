// Tests of the Linux platform layer against real processes and files.
//
// The binary doubles as its own helper process: started with one of the
// "--helper-..." flags it performs one platform call and reports through its
// exit code or a marker file, so guards are contended across real processes.
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "folder.h"
#include "guard.h"
#include "last_error.h"
#include "log_file.h"
#include "processes.h"
#include "proxy.h"
#include "proxy_rules.h"
#include "runtime_dir.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

using test_support::Lines;
using test_support::ReadFile;
using test_support::WaitExit;
using test_support::WriteFile;

std::string g_selfPath;

constexpr int kHelperAcquired = 0;
constexpr int kHelperBusy = 3;
constexpr int kHelperNoGuard = 4;
constexpr int kHelperBadUsage = 5;

// ---------------------------------------------------------------------------
// Helper modes of this binary.

int HelperHoldGuard(const std::string& name, const std::string& marker) {
  bool exists = false;
  const platform::Guard guard =
      platform::CreateSingletonGuard(name, &exists);
  const std::string state =
      !guard ? "none" : (exists ? "busy" : "held");
  const std::string tmp = marker + ".tmp";
  {
    std::ofstream out(tmp);
    out << state;
  }
  std::rename(tmp.c_str(), marker.c_str());
  for (;;) pause();  // held until killed
}

int HelperProbeGuard(const std::string& name, const char* asUid) {
  if (asUid != nullptr) {
    const uid_t uid = static_cast<uid_t>(std::strtoul(asUid, nullptr, 10));
    if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) {
      return kHelperBadUsage;
    }
  }
  bool exists = false;
  platform::Guard guard =
      platform::CreateSingletonGuard(name, &exists);
  if (!guard) return kHelperNoGuard;
  guard.Release();
  return exists ? kHelperBusy : kHelperAcquired;
}

int RunHelper(int argc, char** argv) {
  const std::string mode = argv[1];
  if (mode == "--helper-hold-guard" && argc == 4) {
    return HelperHoldGuard(argv[2], argv[3]);
  }
  if (mode == "--helper-probe-guard" && (argc == 3 || argc == 4)) {
    return HelperProbeGuard(argv[2], argc == 4 ? argv[3] : nullptr);
  }
  if (mode == "--helper-launch-client" && argc == 3) {
    return platform::LaunchClient(argv[2]) == 1 ? 0 : 1;
  }
  if (mode == "--helper-launch-installer" && argc == 3) {
    // Stands for the upgrader: starts the installer and stays until a signal
    // ends it.
    platform::Process process;
    if (platform::LaunchInstaller(argv[2], &process) != 1) return 1;
    for (;;) pause();
  }
  return kHelperBadUsage;
}

// ---------------------------------------------------------------------------
// Test utilities.

// Runs this binary with `args`; with `ownGroup` in a process group of its
// own, so a signal sent to that group cannot reach the test.
pid_t SpawnSelf(const std::vector<std::string>& args, bool ownGroup = false) {
  std::vector<std::string> argv{g_selfPath};
  argv.insert(argv.end(), args.begin(), args.end());
  test_support::SpawnOptions options;
  options.ownProcessGroup = ownGroup;
  return test_support::Spawn(argv, options);
}

int ProbeGuard(const std::string& name, const char* asUid = nullptr) {
  std::vector<std::string> args{"--helper-probe-guard", name};
  if (asUid != nullptr) args.push_back(asUid);
  const pid_t pid = SpawnSelf(args);
  return pid < 0 ? -1 : WaitExit(pid);
}

bool WaitForFile(const std::string& path, int timeoutMs = 10000) {
  return test_support::WaitUntil([&] { return access(path.c_str(), F_OK) == 0; },
                                 std::chrono::milliseconds(timeoutMs));
}

// Fields of /proc/<pid>/stat after the command name: state, ppid, pgrp, sid.
struct ProcStat {
  char state = '?';
  pid_t ppid = -1;
  pid_t sid = -1;
};

bool ReadProcStat(pid_t pid, ProcStat* out) {
  const std::string text = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream in(text.substr(close + 1));
  long pgrp = 0;
  long ppid = 0;
  long sid = 0;
  if (!(in >> out->state >> ppid >> pgrp >> sid)) return false;
  out->ppid = static_cast<pid_t>(ppid);
  out->sid = static_cast<pid_t>(sid);
  return true;
}

std::vector<pid_t> ZombieChildren() {
  std::vector<pid_t> zombies;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    ProcStat st;
    const pid_t pid = static_cast<pid_t>(std::stol(name));
    if (ReadProcStat(pid, &st) && st.ppid == getpid() && st.state == 'Z') {
      zombies.push_back(pid);
    }
  }
  return zombies;
}

bool NoZombieChildrenWithin(int timeoutMs) {
  return test_support::WaitUntil([] { return ZombieChildren().empty(); },
                                 std::chrono::milliseconds(timeoutMs),
                                 std::chrono::milliseconds(20));
}

// The pid a pidfd refers to, from its fdinfo.
pid_t PidOfHandle(const platform::Process& process) {
  std::ifstream in("/proc/self/fdinfo/" + std::to_string(process.native()));
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Pid:", 0) == 0) return static_cast<pid_t>(std::stol(line.substr(4)));
  }
  return -1;
}

bool Contains(const std::vector<std::string>& lines, const std::string& want) {
  for (const std::string& l : lines) {
    if (l == want) return true;
  }
  return false;
}

// A private temporary folder used as XDG_RUNTIME_DIR and as scratch space.
class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temp_.ok());
    ASSERT_EQ(mkdir(runtime_.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(work_.c_str(), 0700), 0);
    env_.Set("XDG_RUNTIME_DIR", runtime_);
  }

  test_support::TempDir temp_{"platform-test"};
  test_support::EnvOverride env_;
  const std::string dir_ = temp_.path();
  const std::string runtime_ = dir_ + "/runtime";
  const std::string work_ = dir_ + "/work";
};

// ---------------------------------------------------------------------------
// Runtime folder.

using RuntimeDirTest = PlatformTest;

uid_t TestLoginUid() {
  std::ifstream in("/proc/self/loginuid");
  unsigned long v = 0;
  if (in >> v && v != 4294967295UL) return static_cast<uid_t>(v);
  return geteuid();
}

std::string RunUserDir() { return "/run/user/" + std::to_string(TestLoginUid()); }
std::string SharedTmpDir() { return "/tmp/brisvane-" + std::to_string(geteuid()); }

TEST_F(RuntimeDirTest, PrefersXdgRuntimeDirAndFallsBackWhenItIsNoFolder) {
  EXPECT_EQ(platform::RuntimeDir(), runtime_);

  const std::string file = work_ + "/not-a-folder";
  WriteFile(file, "x");
  const bool runUserExists = fs::is_directory(RunUserDir());
  const std::string expected = runUserExists ? RunUserDir() : SharedTmpDir();
  for (const std::string& bad : {file, work_ + "/missing", std::string()}) {
    setenv("XDG_RUNTIME_DIR", bad.c_str(), 1);
    EXPECT_EQ(platform::RuntimeDir(), expected) << "XDG_RUNTIME_DIR=" << bad;
  }
  unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(platform::RuntimeDir(), expected);
  if (!runUserExists) {
    struct stat st;
    ASSERT_EQ(lstat(expected.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, geteuid());
  }
}

TEST_F(RuntimeDirTest, RefusesSharedTmpFolderThatIsNotPrivateOrNotOurs) {
  if (fs::is_directory(RunUserDir())) GTEST_SKIP() << RunUserDir() << " exists";
  unsetenv("XDG_RUNTIME_DIR");
  const std::string shared = SharedTmpDir();
  ASSERT_EQ(platform::RuntimeDir(), shared);

  ASSERT_EQ(chmod(shared.c_str(), 0755), 0);
  EXPECT_EQ(platform::RuntimeDir(), "");
  ASSERT_EQ(chmod(shared.c_str(), 0700), 0);
  EXPECT_EQ(platform::RuntimeDir(), shared);

  if (geteuid() == 0) {
    ASSERT_EQ(chown(shared.c_str(), 65534, 65534), 0);
    EXPECT_EQ(platform::RuntimeDir(), "");
    ASSERT_EQ(chown(shared.c_str(), 0, 0), 0);
    EXPECT_EQ(platform::RuntimeDir(), shared);
  }
}

// ---------------------------------------------------------------------------
// Single-instance guard.

using GuardTest = PlatformTest;
const std::string kGuardName = "bvc singleton mutex";

TEST_F(GuardTest, OtherProcessesSeeItWhileHeldAndNotAfterKillOrRelease) {
  const std::string marker = work_ + "/holder";
  const pid_t holder = SpawnSelf({"--helper-hold-guard", kGuardName, marker});
  ASSERT_GT(holder, 0);
  ASSERT_TRUE(WaitForFile(marker));
  EXPECT_EQ(ReadFile(marker), "held");

  // Held elsewhere: seen from a third process and from this one.
  EXPECT_EQ(ProbeGuard(kGuardName), kHelperBusy);
  bool exists = false;
  platform::Guard guard = platform::CreateSingletonGuard(kGuardName, &exists);
  EXPECT_TRUE(guard.valid());
  EXPECT_TRUE(exists);
  guard.Release();
  EXPECT_EQ(ProbeGuard(kGuardName), kHelperBusy);

  // A killed holder leaves nothing stale behind.
  ASSERT_EQ(kill(holder, SIGKILL), 0);
  WaitExit(holder);
  EXPECT_EQ(ProbeGuard(kGuardName), kHelperAcquired);

  // A client's look at it (a shared lock for an instant) is no holder.
  const int look = open((runtime_ + "/" + kGuardName).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(look, LOCK_SH), 0);
  std::thread lookEnds([look] {
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
    close(look);
  });
  // Held here: others are refused until it is released.
  guard = platform::CreateSingletonGuard(kGuardName, &exists);
  lookEnds.join();
  ASSERT_TRUE(guard.valid());
  EXPECT_FALSE(exists);
  EXPECT_EQ(ProbeGuard(kGuardName), kHelperBusy);
  guard.Release();
  EXPECT_EQ(ProbeGuard(kGuardName), kHelperAcquired);

  // The file stays: removing it would let two holders lock different files.
  EXPECT_TRUE(fs::is_regular_file(runtime_ + "/" + kGuardName));
}

TEST_F(GuardTest, FileCreatedByRootUnderStrictUmaskIsLockableByTheUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  ASSERT_EQ(chmod(runtime_.c_str(), 0755), 0);
  const mode_t oldMask = umask(077);
  bool exists = true;
  platform::Guard guard =
      platform::CreateSingletonGuard(kGuardName, &exists);
  umask(oldMask);
  ASSERT_TRUE(guard.valid());
  EXPECT_FALSE(exists);
  struct stat st;
  ASSERT_EQ(stat((runtime_ + "/" + kGuardName).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  EXPECT_EQ(ProbeGuard(kGuardName, "65534"), kHelperBusy);
  guard.Release();
  EXPECT_EQ(ProbeGuard(kGuardName, "65534"), kHelperAcquired);
}

TEST_F(GuardTest, PlantedSymlinkIsNotFollowed) {
  const std::string target = work_ + "/elsewhere";
  ASSERT_EQ(symlink(target.c_str(), (runtime_ + "/" + kGuardName).c_str()), 0);
  bool exists = true;
  EXPECT_FALSE(platform::CreateSingletonGuard(kGuardName, &exists).valid());
  EXPECT_FALSE(exists);
  EXPECT_FALSE(fs::exists(target));
}

// A root guard file is made lockable for the user; one with other names is
// somebody else's file and keeps its mode.
TEST_F(GuardTest, HardLinkedFileKeepsItsMode) {
  const std::string victim = work_ + "/victim";
  WriteFile(victim, "secret");
  ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
  ASSERT_EQ(link(victim.c_str(), (runtime_ + "/" + kGuardName).c_str()), 0);
  bool exists = true;
  platform::CreateSingletonGuard(kGuardName, &exists).Release();
  struct stat st;
  ASSERT_EQ(stat(victim.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(ReadFile(victim), "secret");
}

// ---------------------------------------------------------------------------
// Log file.

using LogFileTest = PlatformTest;

TEST_F(LogFileTest, AppendsToAnExistingFile) {
  const std::string path = work_ + "/upgrade.log";
  WriteFile(path, "earlier run\n");
  FILE* file = platform::OpenSharedLogFile(path);
  ASSERT_NE(file, nullptr);
  std::fputs("this run\n", file);
  std::fclose(file);
  EXPECT_EQ(ReadFile(path), "earlier run\nthis run\n");
}

TEST_F(LogFileTest, SecondWriterIsShutOutUntilTheFirstCloses) {
  const std::string path = work_ + "/upgrade.log";
  FILE* first = platform::OpenSharedLogFile(path);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(platform::OpenSharedLogFile(path), nullptr);
  EXPECT_EQ(platform::LastErrorCode(), static_cast<unsigned long>(EWOULDBLOCK));
  std::ifstream reader(path);
  EXPECT_TRUE(reader.good());
  std::fclose(first);
  FILE* again = platform::OpenSharedLogFile(path);
  EXPECT_NE(again, nullptr);
  if (again != nullptr) std::fclose(again);
}

// The log's folders may belong to a less-privileged user: a link as the
// file, as its folder or as the data folder above, or a second name of
// another file, means no log rather than writing elsewhere.
TEST_F(LogFileTest, PlantedLinksGiveNullAndLeaveTheirTargetsAlone) {
  const std::string victim = work_ + "/victim";
  const std::string victimDir = work_ + "/victim-dir";
  WriteFile(victim, "not yours\n");
  ASSERT_EQ(mkdir(victimDir.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((victimDir + "/logs").c_str(), 0700), 0);
  const std::string data = dir_ + "/data";
  ASSERT_EQ(mkdir(data.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((data + "/logs").c_str(), 0700), 0);

  ASSERT_EQ(symlink(victim.c_str(), (data + "/logs/upgrade.log").c_str()), 0);
  EXPECT_EQ(platform::OpenSharedLogFile(data + "/logs/upgrade.log"), nullptr) << "link as file";
  ASSERT_EQ(unlink((data + "/logs/upgrade.log").c_str()), 0);

  ASSERT_EQ(link(victim.c_str(), (data + "/logs/upgrade.log").c_str()), 0);
  EXPECT_EQ(platform::OpenSharedLogFile(data + "/logs/upgrade.log"), nullptr) << "hard link";

  ASSERT_EQ(symlink(victimDir.c_str(), (data + "/linked-logs").c_str()), 0);
  EXPECT_EQ(platform::OpenSharedLogFile(data + "/linked-logs/upgrade.log"), nullptr)
      << "link as folder";
  ASSERT_EQ(symlink(victimDir.c_str(), (dir_ + "/linked-data").c_str()), 0);
  EXPECT_EQ(platform::OpenSharedLogFile(dir_ + "/linked-data/logs/upgrade.log"), nullptr)
      << "link as data folder";

  EXPECT_EQ(ReadFile(victim), "not yours\n");
  EXPECT_FALSE(fs::exists(victimDir + "/upgrade.log"));
  EXPECT_FALSE(fs::exists(victimDir + "/logs/upgrade.log"));
}

TEST_F(LogFileTest, MissingFolderGivesNull) {
  EXPECT_EQ(platform::OpenSharedLogFile(work_ + "/no/such/upgrade.log"), nullptr);
  EXPECT_EQ(platform::LastErrorCode(), static_cast<unsigned long>(ENOENT));
}

// ---------------------------------------------------------------------------
// Launching and waiting.

using LaunchTest = PlatformTest;

TEST_F(LaunchTest, InstallerIsMadeExecutableAndGetsOnlyVerysilentAndNullStdio) {
  const std::string installer = work_ + "/setup installer.bin";
  const std::string record = work_ + "/record";
  WriteFile(installer,
            "#!/bin/sh\n"
            // The signal state first, with builtins only: while the shell
            // forks it blocks every signal for a moment.
            "masks=\n"
            "while read -r key value; do\n"
            "  case \"$key\" in SigIgn:|SigBlk:) masks=\"$masks$key$value \";; esac\n"
            "done < /proc/$$/status\n"
            "fds=$(for n in 0 1 2; do echo \"fd$n=$(readlink /proc/$$/fd/$n)\"; done)\n"
            "{ echo \"argc=$#\"; echo \"arg1=$1\"; echo \"$fds\";\n"
            "  for m in $masks; do echo \"$m\"; done; } > '" + record + ".tmp'\n"
            "mv '" + record + ".tmp' '" + record + "'\n",
            0644);
  // A signal blocked in the launching thread must not stay blocked.
  sigset_t usr2;
  sigset_t oldMask;
  sigemptyset(&usr2);
  sigaddset(&usr2, SIGUSR2);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &usr2, &oldMask), 0);
  platform::Process process;
  const int started = platform::LaunchInstaller(installer, &process);
  pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  ASSERT_EQ(started, 1);
  ASSERT_TRUE(process.valid());
  EXPECT_EQ(platform::WaitForProcess(process, 10000), platform::kWaitEnded);
  process.Close();

  struct stat st;
  ASSERT_EQ(stat(installer.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  const auto lines = Lines(ReadFile(record));
  EXPECT_TRUE(Contains(lines, "argc=1")) << ReadFile(record);
  EXPECT_TRUE(Contains(lines, "arg1=/verysilent"));
  EXPECT_TRUE(Contains(lines, "fd0=/dev/null"));
  EXPECT_TRUE(Contains(lines, "fd1=/dev/null"));
  EXPECT_TRUE(Contains(lines, "fd2=/dev/null"));
  // The upgrader ignores SIGPIPE; the installer must not inherit that, nor
  // any other standard signal ignored. (glibc itself leaves its two internal
  // real-time signals, 32 and 33, ignored in every posix_spawn child.)
  unsigned long long ignored = ~0ULL;
  unsigned long long blocked = ~0ULL;
  for (const std::string& l : lines) {
    if (l.rfind("SigIgn:", 0) == 0) ignored = std::stoull(l.substr(7), nullptr, 16);
    if (l.rfind("SigBlk:", 0) == 0) blocked = std::stoull(l.substr(7), nullptr, 16);
  }
  EXPECT_EQ(ignored & 0x7FFFFFFFULL, 0u) << ReadFile(record);
  EXPECT_EQ(blocked, 0u) << ReadFile(record);
  EXPECT_TRUE(NoZombieChildrenWithin(0));
}

// The exit code comes back with the end of the wait; a process a signal
// ended, or one still running, has none to give.
TEST_F(LaunchTest, WaitHandsBackTheExitCodeOnlyWhenThereIsOne) {
  const std::pair<const char*, std::optional<std::uint32_t>> cases[] = {
      {"exit 0", 0u}, {"exit 4", 4u}, {"kill -KILL $$", std::nullopt}, {"sleep 5", std::nullopt}};
  for (const auto& [body, expected] : cases) {
    const std::string script = work_ + "/exits";
    WriteFile(script, std::string("#!/bin/sh\n") + body + "\n", 0700);
    platform::Process process;
    ASSERT_EQ(platform::LaunchInstaller(script, &process), 1);
    std::optional<std::uint32_t> code = 99u;
    platform::WaitForProcess(process, 2000, &code);
    EXPECT_EQ(code, expected) << body;
  }
}

TEST_F(LaunchTest, MissingFilesFailWithEnoentAndNoHandle) {
  platform::Process process;
  errno = 0;
  EXPECT_EQ(platform::LaunchInstaller(work_ + "/missing.exe", &process), 0);
  EXPECT_EQ(platform::LastErrorCode(), static_cast<unsigned long>(ENOENT));
  EXPECT_FALSE(process.valid());

  errno = 0;
  EXPECT_EQ(platform::LaunchScript(work_ + "/command.bat", &process), 0);
  EXPECT_EQ(platform::LastErrorCode(), static_cast<unsigned long>(ENOENT));
  EXPECT_FALSE(process.valid());

  errno = 0;
  EXPECT_EQ(platform::LaunchClient(work_ + "/bvc.exe"), 0);
  EXPECT_EQ(platform::LastErrorCode(), static_cast<unsigned long>(ENOENT));

  // Something that exists but is not a file is refused as well.
  const std::string dirAsInstaller = work_ + "/a-folder";
  ASSERT_EQ(mkdir(dirAsInstaller.c_str(), 0700), 0);
  EXPECT_EQ(platform::LaunchInstaller(dirAsInstaller, &process), 0);
  EXPECT_EQ(platform::LastErrorCode(), static_cast<unsigned long>(EINVAL));
  EXPECT_FALSE(process.valid());
}

// The installer's folder may belong to a less-privileged user: a link or a
// second name planted at the installer's path is neither made executable nor
// run.
TEST_F(LaunchTest, PlantedLinksAreNotMadeExecutableNorRun) {
  const std::string victim = work_ + "/victim.sh";
  const std::string ran = work_ + "/victim-ran";
  WriteFile(victim, "#!/bin/sh\ntouch '" + ran + "'\n");
  ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
  const std::string installer = work_ + "/setup.exe";
  for (const bool hard : {false, true}) {
    ASSERT_EQ(hard ? link(victim.c_str(), installer.c_str())
                   : symlink(victim.c_str(), installer.c_str()),
              0);
    platform::Process process;
    EXPECT_EQ(platform::LaunchInstaller(installer, &process), 0) << (hard ? "hard" : "symbolic");
    EXPECT_FALSE(process.valid());
    struct stat st;
    ASSERT_EQ(stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << (hard ? "hard" : "symbolic");
    ASSERT_EQ(unlink(installer.c_str()), 0);
  }
  usleep(200 * 1000);
  EXPECT_FALSE(fs::exists(ran));
}

TEST_F(LaunchTest, ScriptInFolderWithSpaceRunsThroughShell) {
  const std::string folder = work_ + "/Program Files/Brisvane";
  fs::create_directories(folder);
  const std::string script = folder + "/command.bat";
  const std::string record = work_ + "/record";
  // Not executable: it is handed to the shell, not executed.
  WriteFile(script,
            "echo \"zero=$0\" > '" + record + ".tmp'\n"
            "echo \"argc=$#\" >> '" + record + ".tmp'\n"
            "mv '" + record + ".tmp' '" + record + "'\n",
            0644);
  platform::Process process;
  ASSERT_EQ(platform::LaunchScript(script, &process), 1);
  ASSERT_TRUE(process.valid());
  EXPECT_EQ(platform::WaitForProcess(process, 10000), platform::kWaitEnded);
  process.Close();
  const auto lines = Lines(ReadFile(record));
  EXPECT_TRUE(Contains(lines, "zero=" + script)) << ReadFile(record);
  EXPECT_TRUE(Contains(lines, "argc=0"));
}

TEST_F(LaunchTest, WaitTimesOutLeavingTheProcessRunningThenReapsIt) {
  const std::string installer = work_ + "/slow-installer";
  WriteFile(installer, "#!/bin/sh\nexec sleep 60\n");
  platform::Process process;
  ASSERT_EQ(platform::LaunchInstaller(installer, &process), 1);
  ASSERT_TRUE(process.valid());
  const pid_t pid = PidOfHandle(process);
  ASSERT_GT(pid, 0);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(platform::WaitForProcess(process, 200), platform::kWaitTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_EQ(platform::WaitForProcess(process, 0), platform::kWaitTimeout);
  ProcStat st;
  ASSERT_TRUE(ReadProcStat(pid, &st));
  EXPECT_NE(st.state, 'Z');
  EXPECT_EQ(st.ppid, getpid());

  ASSERT_EQ(kill(pid, SIGKILL), 0);
  EXPECT_EQ(platform::WaitForProcess(process, 10000), platform::kWaitEnded);
  process.Close();
  EXPECT_FALSE(fs::exists("/proc/" + std::to_string(pid))) << "not reaped";
  EXPECT_TRUE(NoZombieChildrenWithin(0));
}

TEST_F(LaunchTest, ClosingAfterATimedOutWaitLeavesNoZombieAndNoDescriptor) {
  ASSERT_TRUE(NoZombieChildrenWithin(5000));
  const std::string installer = work_ + "/slow-installer";
  const std::string release = work_ + "/release";
  WriteFile(installer, "#!/bin/sh\nwhile [ ! -e '" + release +
                           "' ]; do sleep 0.05; done\n");
  platform::Process process;
  ASSERT_EQ(platform::LaunchInstaller(installer, &process), 1);
  const pid_t pid = PidOfHandle(process);
  ASSERT_GT(pid, 0);
  const std::string fdLink = "/proc/self/fd/" + std::to_string(process.native());
  EXPECT_EQ(platform::WaitForProcess(process, 258), platform::kWaitTimeout);
  process.Close();
  ProcStat st;
  ASSERT_TRUE(ReadProcStat(pid, &st));
  EXPECT_NE(st.state, 'Z') << "closing the handle must not stop the process";

  // It ends after nobody holds a handle to it any more: still reaped.
  WriteFile(release, "");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ReadProcStat(pid, &st) && st.state != 'Z' &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(NoZombieChildrenWithin(5000));
  EXPECT_FALSE(fs::exists("/proc/" + std::to_string(pid))) << "not reaped";
  // And whoever reaped it closed the pidfd it was handed.
  bool pidfdOpen = true;
  for (int i = 0; i < 250 && pidfdOpen; ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    char target[256];
    const ssize_t n = readlink(fdLink.c_str(), target, sizeof target);
    pidfdOpen = n > 0 && std::string(target, static_cast<std::size_t>(n)).find("pidfd") !=
                             std::string::npos;
  }
  EXPECT_FALSE(pidfdOpen);
}

TEST_F(LaunchTest, ClosingAnEndedProcessReapsItAtOnce) {
  const std::string installer = work_ + "/quick-installer";
  WriteFile(installer, "#!/bin/sh\nexit 0\n");
  platform::Process process;
  ASSERT_EQ(platform::LaunchInstaller(installer, &process), 1);
  const pid_t pid = PidOfHandle(process);
  ASSERT_GT(pid, 0);
  // Ended, never waited for: a zombie until the handle is closed.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  ProcStat st;
  while (ReadProcStat(pid, &st) && st.state != 'Z' &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(st.state, 'Z');
  process.Close();
  EXPECT_FALSE(fs::exists("/proc/" + std::to_string(pid)));
}

TEST_F(LaunchTest, InstallerAndScriptRunInProcessGroupsOfTheirOwn) {
  const std::string sleeper = work_ + "/sleeper";
  WriteFile(sleeper, "#!/bin/sh\nexec sleep 60\n");
  platform::Process installer;
  platform::Process script;
  ASSERT_EQ(platform::LaunchInstaller(sleeper, &installer), 1);
  ASSERT_EQ(platform::LaunchScript(sleeper, &script), 1);
  for (platform::Process* each : {&installer, &script}) {
    platform::Process& process = *each;
    const pid_t pid = PidOfHandle(process);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(getpgid(pid), pid);
    EXPECT_NE(getpgid(pid), getpgrp());
    // Still in our session: only group signals are kept away.
    EXPECT_EQ(getsid(pid), getsid(0));
    kill(pid, SIGKILL);
    EXPECT_EQ(platform::WaitForProcess(process, 10000), platform::kWaitEnded);
    process.Close();
  }
}

TEST_F(LaunchTest, InstallerSurvivesASignalToTheUpgradersGroup) {
  const std::string installer = work_ + "/setup.exe";
  const std::string pidFile = work_ + "/installer.pid";
  WriteFile(installer,
            "#!/bin/sh\necho $$ > '" + pidFile + ".tmp'\nmv '" + pidFile +
                ".tmp' '" + pidFile + "'\nexec sleep 60\n");
  const pid_t upgrader = SpawnSelf({"--helper-launch-installer", installer}, true);
  ASSERT_GT(upgrader, 0);
  if (!WaitForFile(pidFile)) {
    kill(upgrader, SIGKILL);
    WaitExit(upgrader);
    FAIL() << "the installer did not start";
  }
  const pid_t pid = static_cast<pid_t>(std::stol(ReadFile(pidFile)));
  // Ctrl-C in the terminal the upgrader runs in.
  ASSERT_EQ(kill(-upgrader, SIGINT), 0);
  EXPECT_EQ(WaitExit(upgrader), -1);
  // A signal to a group reaches all its members at once; give a killed
  // installer time to be gone.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ProcStat st;
  EXPECT_TRUE(ReadProcStat(pid, &st) && st.state != 'Z') << "the installer was stopped";
  kill(pid, SIGKILL);
}

TEST_F(LaunchTest, WaitOnNoProcessFails) {
  EXPECT_EQ(platform::WaitForProcess(platform::Process(), 100),
            platform::kWaitFailed);
  EXPECT_EQ(platform::LastErrorCode(), static_cast<unsigned long>(EBADF));
}

TEST_F(LaunchTest, ChildInheritsNoDescriptorOfOurs) {
  bool exists = true;
  platform::Guard guard =
      platform::CreateSingletonGuard(kGuardName, &exists);
  ASSERT_TRUE(guard.valid());
  const std::string logPath = work_ + "/upgrade.log";
  FILE* log = platform::OpenSharedLogFile(logPath);
  ASSERT_NE(log, nullptr);
  // Opened deliberately without O_CLOEXEC, as careless code elsewhere might.
  const std::string leakyPath = work_ + "/leaky";
  const int leaky = open(leakyPath.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(leaky, 0);
  // A waitable process whose pidfd is open while the next one starts.
  const std::string sleeper = work_ + "/sleeper";
  WriteFile(sleeper, "#!/bin/sh\nexec sleep 60\n");
  platform::Process sleeping;
  ASSERT_EQ(platform::LaunchInstaller(sleeper, &sleeping), 1);

  const std::string record = work_ + "/fds";
  const std::string script = work_ + "/list-fds.sh";
  WriteFile(script,
            "for f in /proc/$$/fd/*; do readlink \"$f\"; done > '" + record +
                ".tmp'\n"
                "mv '" + record + ".tmp' '" + record + "'\n");
  platform::Process process;
  ASSERT_EQ(platform::LaunchScript(script, &process), 1);
  EXPECT_EQ(platform::WaitForProcess(process, 10000), platform::kWaitEnded);
  process.Close();

  const std::string fds = ReadFile(record);
  EXPECT_NE(fds.find("/dev/null"), std::string::npos) << fds;
  EXPECT_EQ(fds.find(kGuardName), std::string::npos) << fds;
  EXPECT_EQ(fds.find(logPath), std::string::npos) << fds;
  EXPECT_EQ(fds.find(leakyPath), std::string::npos) << fds;
  EXPECT_EQ(fds.find("pidfd"), std::string::npos) << fds;

  kill(PidOfHandle(sleeping), SIGKILL);
  EXPECT_EQ(platform::WaitForProcess(sleeping, 10000), platform::kWaitEnded);
  sleeping.Close();
  close(leaky);
  std::fclose(log);
  guard.Release();
}

TEST_F(LaunchTest, ClientRunsInItsOwnSessionAndOutlivesItsLauncher) {
  const std::string client = work_ + "/bvc.exe";
  const std::string pidFile = work_ + "/client.pid";
  WriteFile(client,
            "#!/bin/sh\necho $$ > '" + pidFile + ".tmp'\nmv '" + pidFile +
                ".tmp' '" + pidFile + "'\nexec sleep 60\n",
            0700);
  const pid_t launcher = SpawnSelf({"--helper-launch-client", client});
  ASSERT_GT(launcher, 0);
  EXPECT_EQ(WaitExit(launcher), 0);
  ASSERT_TRUE(WaitForFile(pidFile));
  const pid_t pid = static_cast<pid_t>(std::stol(ReadFile(pidFile)));

  ProcStat st;
  ASSERT_TRUE(ReadProcStat(pid, &st)) << "client did not survive";
  EXPECT_NE(st.state, 'Z');
  EXPECT_EQ(st.sid, pid);
  EXPECT_NE(st.sid, getsid(0));
  kill(pid, SIGKILL);
}

TEST_F(LaunchTest, ClientThatExitsIsReapedWithoutAWait) {
  ASSERT_TRUE(NoZombieChildrenWithin(5000));
  const std::string client = work_ + "/bvc.exe";
  const std::string marker = work_ + "/ran";
  WriteFile(client, "#!/bin/sh\ntouch '" + marker + "'\n", 0700);
  ASSERT_EQ(platform::LaunchClient(client), 1);
  ASSERT_TRUE(WaitForFile(marker));
  EXPECT_TRUE(NoZombieChildrenWithin(5000));
}

}  // namespace
// ---- proxy settings --------------------------------------------------------

TEST(ProxyRules, LinuxHasNoSystemProxy) {
  platform::SystemProxySettings system = platform::ReadSystemProxySettings();
  EXPECT_EQ(system.proxyList, "");
  EXPECT_EQ(system.bypassList, "");
  EXPECT_EQ(system.note, "");
}

TEST(ProxyRules, PicksTheEntryForTheSchemeElseThePlainOne) {
  using bvhttptools::ProxyFromWindowsLists;
  EXPECT_EQ(ProxyFromWindowsLists("http://a.example/x", "10.0.0.1:3128", ""), "10.0.0.1:3128");
  const std::string list = "ftp=f:21; https=s.example:8443;http=h.example:8080";
  EXPECT_EQ(ProxyFromWindowsLists("http://a.example/x", list, ""), "h.example:8080");
  EXPECT_EQ(ProxyFromWindowsLists("HTTPS://a.example/x", list, ""), "s.example:8443");
  EXPECT_EQ(ProxyFromWindowsLists("https://a.example/x", "http=h:1;plain:2", ""), "plain:2");
  EXPECT_EQ(ProxyFromWindowsLists("https://a.example/x", "http=h:1", ""), "");
  EXPECT_EQ(ProxyFromWindowsLists("http://a.example/x", "", ""), "");
}

// Every entry is tried, whatever separates it; none is left to libcurl,
// which would also send the names ending in "localhost" or "corp.example" direct.
TEST(ProxyRules, BypassListIsMatchedHereOnly) {
  const std::string list = "localhost; *.Corp.Example\t10.1.2.3,<local>";
  for (const auto& [url, proxy] : {std::pair{"http://b.corp.example/x", ""}, {"http://10.1.2.3/x", ""},
                                   {"http://localhost/x", ""}, {"http://my.localhost/x", "p:1"},
                                   {"http://corp.example/x", "p:1"}}) {
    EXPECT_EQ(bvhttptools::ProxyFromWindowsLists(url, "p:1", list), proxy) << url;
  }
}

TEST(ProxyRules, LocalAndWildcardEntriesAreDecidedForTheHost) {
  using bvhttptools::ProxyFromWindowsLists;
  EXPECT_EQ(ProxyFromWindowsLists("http://intranet:8080/x", "p:1", "<local>"), "");
  EXPECT_EQ(ProxyFromWindowsLists("http://user@intranet/x", "p:1", "a;<local>"), "");
  EXPECT_EQ(ProxyFromWindowsLists("http://intranet.corp/x", "p:1", "<local>"), "p:1");
  EXPECT_EQ(ProxyFromWindowsLists("http://[::1]:80/x", "p:1", "<local>"), "p:1");
  EXPECT_EQ(ProxyFromWindowsLists("http://intranet/x", "p:1", "other"), "p:1");
  EXPECT_EQ(ProxyFromWindowsLists("http://10.1.2.3/x", "p:1", "10.1.*"), "");
  EXPECT_EQ(ProxyFromWindowsLists("http://10.2.2.3/x", "p:1", "10.1.*"), "p:1");
  EXPECT_EQ(ProxyFromWindowsLists("http://build.example/x", "p:1", "*"), "");
  // Whole names: an entry is no suffix of a longer one, "*." needs a label.
  EXPECT_EQ(ProxyFromWindowsLists("http://LocalHost/x", "p:1", "localhost"), "");
  EXPECT_EQ(ProxyFromWindowsLists("http://my.localhost/x", "p:1", "localhost"), "p:1");
  EXPECT_EQ(ProxyFromWindowsLists("http://a.corp.example/x", "p:1", "*.corp.example"), "");
  EXPECT_EQ(ProxyFromWindowsLists("http://corp.example/x", "p:1", "*.corp.example"), "p:1");
  // An IPv6 address is listed in brackets, as in a URL.
  EXPECT_EQ(ProxyFromWindowsLists("http://[::1]:8080/x", "p:1", "a;[::1]"), "");
  EXPECT_EQ(ProxyFromWindowsLists("http://[FE80::1]/x", "p:1", "[fe80::*]"), "");
  EXPECT_EQ(ProxyFromWindowsLists("http://[::2]/x", "p:1", "[::1]"), "p:1");
  // The host is the one libcurl reads, however many slashes precede it.
  EXPECT_EQ(ProxyFromWindowsLists("http:/build.corp.example/x", "p:1", "*.corp.example"), "");
  EXPECT_EQ(ProxyFromWindowsLists("http:/other.net/x", "p:1", "<local>"), "p:1");
  EXPECT_EQ(ProxyFromWindowsLists("http:///other.net/x", "p:1", "<local>"), "p:1");
  // Many stars cost no more than one (they once took minutes).
  EXPECT_EQ(ProxyFromWindowsLists("http://aaaaaaaaaaaaaaaaaaaaaaaaa/x", "p:1", "**************b"), "p:1");
}

TEST(ProxyRules, UrlHost) {
  EXPECT_EQ(bvhttptools::UrlHost("http://User:pw@Host.Example:81/a@b"), "host.example");
  EXPECT_EQ(bvhttptools::UrlHost("https://[::1]:443/"), "::1");
  EXPECT_EQ(bvhttptools::UrlHost("http://h?q"), "h");
  EXPECT_EQ(bvhttptools::UrlHost("no scheme"), "");
  EXPECT_EQ(bvhttptools::UrlHost("http:/One.Example/x"), "one.example");
}

// ---------------------------------------------------------------------------
// The installer folders of earlier runs.

using LeftoverFolderTest = PlatformTest;

// Only a real folder of ours named as CreatePrivate names them, 0700, that
// neither a live run (its folder locked) nor a running installer (a file in
// it locked) holds. Rows: name, mode, how it stands (' ': a folder, 'l': a
// link to one, 'f': its file locked), swept.
TEST_F(LeftoverFolderTest, OnlyFoldersOfEndedRunsAreSwept) {
  platform::Folder parent;
  ASSERT_TRUE(parent.Open(work_, {}, false));
  const platform::Folder live = parent.CreatePrivate("upgrade-");
  const struct {
    const char* name;
    mode_t mode;
    char kind;
    bool swept;
  } rows[] = {{"upgrade-0123456789abcdef", 0700, ' ', true},  {"upgrade-fedcba9876543210", 0755, ' ', false},
              {"upgrade-0123456789ABCDEF", 0700, ' ', false}, {"upgrade-0123456789abcde", 0700, ' ', false},
              {"update-0123456789abcdef", 0700, ' ', false},  {"upgrade-1111111111111111", 0700, 'l', false},
              {"upgrade-2222222222222222", 0700, 'f', false}};
  std::vector<int> held;
  for (const auto& row : rows) {
    const std::string folder = work_ + "/" + (row.kind == 'l' ? std::string("target") : row.name);
    ASSERT_TRUE(mkdir(folder.c_str(), 0700) == 0 && chmod(folder.c_str(), row.mode) == 0);
    WriteFile(folder + "/setup.exe", "installer");
    ASSERT_TRUE(row.kind != 'l' || symlink(folder.c_str(), (work_ + "/" + row.name).c_str()) == 0);
    if (row.kind == 'f') held.push_back(open((folder + "/setup.exe").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(row.kind != 'f' || flock(held.back(), LOCK_EX) == 0);
  }
  // A place anybody can open (/tmp) may be held locked by anybody: the
  // sweep gives up rather than wait for ever, and a new folder is still made.
  const int blocker = open(work_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(flock(blocker, LOCK_EX), 0);
  EXPECT_TRUE(parent.RemoveLeftoverPrivate("upgrade-").empty());
  const platform::Folder made = parent.CreatePrivate("upgrade-");
  EXPECT_TRUE(made.valid());
  close(blocker);
  EXPECT_EQ(parent.RemoveLeftoverPrivate("upgrade-"), std::vector<std::string>{work_ + "/" + rows[0].name});
  for (const auto& row : rows) {
    EXPECT_EQ(fs::exists(fs::symlink_status(work_ + "/" + row.name)), !row.swept) << row.name;
  }
  EXPECT_TRUE(fs::exists(work_ + "/target/setup.exe") && fs::is_directory(live.path()));
  for (int fd : held) close(fd);
}

int main(int argc, char** argv) {
  if (argc >= 2 && std::strncmp(argv[1], "--helper-", 9) == 0) {
    return RunHelper(argc, argv);
  }
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return 1;
  self[n] = '\0';
  g_selfPath = self;
  // As the upgrader does: children must not inherit this.
  signal(SIGPIPE, SIG_IGN);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

