#include "log.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using test_support::Lines;

// A real file in a private temporary folder, written through a C stream and
// read back by path while the stream is still open (so only flushed text is
// seen).
class TempFile {
 public:
  TempFile() : path_(dir_.path() + "/log"), stream_(std::fopen(path_.c_str(), "we")) {
    if (stream_ == nullptr) ADD_FAILURE() << path_ << ": " << std::strerror(errno);
  }
  ~TempFile() {
    if (stream_ != nullptr) std::fclose(stream_);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  int fd() const { return fileno(stream_); }
  FILE* stream() { return stream_; }
  std::string Read() const { return test_support::ReadFile(path_); }

 private:
  test_support::TempDir dir_{"log-tests"};
  std::string path_;
  FILE* stream_;
};

// Redirects fd 2 onto a temporary file for the capture's lifetime.
class StderrCapture {
 public:
  StderrCapture() {
    std::fflush(stderr);
    saved_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    EXPECT_GE(saved_, 0);
    EXPECT_GE(dup2(file_.fd(), STDERR_FILENO), 0);
  }
  ~StderrCapture() { Stop(); }
  std::string Stop() {
    if (saved_ >= 0) {
      std::fflush(stderr);
      dup2(saved_, STDERR_FILENO);
      close(saved_);
      saved_ = -1;
    }
    return file_.Read();
  }

 private:
  TempFile file_;
  int saved_ = -1;
};

// A sink that keeps what it received, expanded, plus the order of calls.
struct Recorder {
  std::vector<int32_t> levels;
  std::vector<std::string> messages;
  std::vector<std::string>* trace = nullptr;
};

void RecordingSink(LogEvent* event) {
  auto* rec = static_cast<Recorder*>(event->userData);
  char buf[512];
  std::vsnprintf(buf, sizeof buf, event->format, event->args);
  rec->levels.push_back(event->level);
  rec->messages.push_back(buf);
  if (rec->trace != nullptr) rec->trace->push_back("sink");
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { g_logState = LogState{}; }
  void TearDown() override {
    g_logState = LogState{};
    tzset();  // a test's zone is undone by then
  }
};

// The file sink stamps "YYYY-MM-DD HH:MM:SS", the console "HH:MM:SS".
enum Stamp : size_t { kFile = 19, kConsole = 8 };

// `text` is one line per entry of `rests`: a stamp, then that rest.
void ExpectLines(const std::string& text, Stamp stamp, const std::vector<std::string>& rests) {
  static const std::regex kFileStamp(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} )");
  static const std::regex kConsoleStamp(R"(^\d{2}:\d{2}:\d{2} )");
  const auto lines = Lines(text);
  ASSERT_EQ(lines.size(), rests.size()) << text;
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    ASSERT_GE(lines[i].size(), stamp);
    EXPECT_TRUE(std::regex_search(lines[i], stamp == kFile ? kFileStamp : kConsoleStamp));
    EXPECT_EQ(lines[i].substr(stamp), rests[i]);
  }
}

// --- Line shape of the file sink -------------------------------------------

TEST_F(LogTest, FileSinkLineShapesForEveryLevel) {
  TempFile file;
  // Open to every level, so levels outside the named range reach it too.
  ASSERT_EQ(LogAddFileSink(file.stream(), INT32_MIN), 0);
  LogMessage(INFO, "/build/src/app.cpp", 42, "download path:%s", "/home/u/dl");
  LogMessage(ERROR, "/build/src/app.cpp", 7, "download error, code:%d", 28);
  LogMessage(TRACE, "a.cpp", 1, "t");
  LogMessage(DEBUG, "a.cpp", 2, "d");
  LogMessage(WARN, "a.cpp", 3, "w");
  LogMessage(FATAL, "a.cpp", 4, "f");
  LogMessage(9, "a.cpp", 5, "out of range");
  LogMessage(-1, "a.cpp", 6, "below range");
  LogMessage(INT32_MIN, "a.cpp", 7, "far below");

  // Read while the stream is open: each line must already be flushed.
  const std::string text = file.Read();
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  ExpectLines(text, kFile, {
      " INFO  /build/src/app.cpp:42: download path:/home/u/dl",
      " ERROR /build/src/app.cpp:7: download error, code:28",
      " TRACE a.cpp:1: t",
      " DEBUG a.cpp:2: d",
      " WARN  a.cpp:3: w",
      " FATAL a.cpp:4: f",
      " ?     a.cpp:5: out of range",
      " ?     a.cpp:6: below range",
      " ?     a.cpp:7: far below",
  });
}

TEST_F(LogTest, FileStampIsCurrentLocalTime) {
  // A zone far from UTC tells local time apart from UTC.
  test_support::EnvOverride env;
  env.Set("TZ", "XYZ-5");
  tzset();

  TempFile file;
  ASSERT_EQ(LogAddFileSink(file.stream(), INFO), 0);
  const std::time_t before = std::time(nullptr);
  LogMessage(INFO, "a.cpp", 1, "now");
  const std::time_t after = std::time(nullptr);

  const auto lines = Lines(file.Read());
  ASSERT_EQ(lines.size(), 1u);
  std::tm parsed{};
  ASSERT_EQ(std::sscanf(lines[0].c_str(), "%4d-%2d-%2d %2d:%2d:%2d", &parsed.tm_year, &parsed.tm_mon,
                        &parsed.tm_mday, &parsed.tm_hour, &parsed.tm_min, &parsed.tm_sec),
            6);
  parsed.tm_year -= 1900;
  parsed.tm_mon -= 1;
  parsed.tm_isdst = -1;
  const std::time_t logged = std::mktime(&parsed);
  EXPECT_GE(logged, before);
  EXPECT_LE(logged, after);
}

TEST_F(LogTest, FileTextIsPrintedLiterallyAndFormatIsExpanded) {
  TempFile file;
  ASSERT_EQ(LogAddFileSink(file.stream(), INFO), 0);
  LogMessage(INFO, "C:\\src\\100%s%n%d.cpp", 3, "upgrade end");
  LogMessage(INFO, "b.cpp", 4, "100%% done");

  ExpectLines(file.Read(), kFile,
              {" INFO  C:\\src\\100%s%n%d.cpp:3: upgrade end", " INFO  b.cpp:4: 100% done"});
}

// --- Console sink: threshold and quiet -------------------------------------

TEST_F(LogTest, ConsoleStartsAtTraceAndHonoursThreshold) {
  StderrCapture capture;
  LogMessage(TRACE, "a.cpp", 1, "at start %d", 1);
  LogSetThreshold(WARN);
  LogMessage(INFO, "a.cpp", 2, "dropped");
  LogMessage(WARN, "a.cpp", 3, "equal %s", "passes");
  LogMessage(ERROR, "a.cpp", 4, "above");
  ExpectLines(capture.Stop(), kConsole,
              {" TRACE a.cpp:1: at start 1", " WARN  a.cpp:3: equal passes", " ERROR a.cpp:4: above"});
}

TEST_F(LogTest, QuietMutesConsoleOnlyAndThresholdSparesSinks) {
  Recorder rec;
  ASSERT_EQ(LogAddSink(RecordingSink, &rec, TRACE), 0);
  StderrCapture capture;

  LogSetThreshold(FATAL);
  for (int32_t level = TRACE; level <= FATAL; ++level) LogMessage(level, "a.cpp", 1, "l%d", level);
  LogSetQuiet(true);
  LogMessage(FATAL, "a.cpp", 2, "muted");
  ExpectLines(capture.Stop(), kConsole, {" FATAL a.cpp:1: l5"});  // only the FATAL before quiet
  EXPECT_EQ(rec.levels, (std::vector<int32_t>{TRACE, DEBUG, INFO, WARN, ERROR, FATAL, FATAL}));
  EXPECT_EQ(rec.messages.back(), "muted");
}

// --- Registered sinks: levels and the slot table ---------------------------

TEST_F(LogTest, EachSinkFiltersByItsOwnLevel) {
  LogSetQuiet(true);
  Recorder errorSink, debugSink;
  ASSERT_EQ(LogAddSink(RecordingSink, &errorSink, ERROR), 0);
  ASSERT_EQ(LogAddSink(RecordingSink, &debugSink, DEBUG), 0);

  LogMessage(TRACE, "a.cpp", 1, "none");
  LogMessage(DEBUG, "a.cpp", 2, "second only");
  LogMessage(ERROR, "a.cpp", 3, "both");

  EXPECT_EQ(errorSink.messages, (std::vector<std::string>{"both"}));
  EXPECT_EQ(debugSink.messages, (std::vector<std::string>{"second only", "both"}));
}

TEST_F(LogTest, NullRegistrationsTakeNoSlotAndTheThirtyThirdFails) {
  LogSetQuiet(true);
  EXPECT_EQ(LogAddSink(nullptr, nullptr, TRACE), -1);
  EXPECT_EQ(LogAddFileSink(nullptr, TRACE), -1);
  std::vector<Recorder> recs(kMaxLogSinks + 1);
  for (int i = 0; i < kMaxLogSinks; ++i) ASSERT_EQ(LogAddSink(RecordingSink, &recs[i], TRACE), 0) << i;

  EXPECT_EQ(LogAddSink(RecordingSink, &recs[kMaxLogSinks], TRACE), -1);
  TempFile file;
  EXPECT_EQ(LogAddFileSink(file.stream(), TRACE), -1);

  LogMessage(INFO, "a.cpp", 1, "to all %d", kMaxLogSinks);
  for (int i = 0; i < kMaxLogSinks; ++i)
    EXPECT_EQ(recs[i].messages, (std::vector<std::string>{"to all 32"})) << "sink " << i;
  EXPECT_TRUE(recs[kMaxLogSinks].messages.empty());
  EXPECT_TRUE(file.Read().empty());
}

TEST_F(LogTest, ArgumentsAreExpandedInEveryOutput) {
  TempFile first, second;
  ASSERT_EQ(LogAddFileSink(first.stream(), INFO), 0);
  ASSERT_EQ(LogAddFileSink(second.stream(), INFO), 0);
  StderrCapture capture;
  LogMessage(INFO, "a.cpp", 9, "i=%d s=%s f=%.2f c=%c ll=%lld", -3, "str", 1.5, 'z', 1234567890123LL);
  const std::string console = capture.Stop();

  const std::string expected = " INFO  a.cpp:9: i=-3 s=str f=1.50 c=z ll=1234567890123";
  ExpectLines(first.Read(), kFile, {expected});
  ExpectLines(second.Read(), kFile, {expected});
  ExpectLines(console, kConsole, {expected});
}

// --- Lock hook and threads ---------------------------------------------------

struct HookLog {
  std::vector<std::string> calls;
};

void RecordingHook(bool acquire, void* userData) {
  auto* log = static_cast<HookLog*>(userData);
  std::ostringstream os;
  os << (acquire ? "acquire " : "release ") << userData;
  log->calls.push_back(os.str());
}

TEST_F(LogTest, LockHookBracketsEveryMessageEvenWithoutOutput) {
  HookLog hook;
  std::ostringstream ud;
  ud << static_cast<void*>(&hook);
  LogSetLockHook(RecordingHook, &hook);
  LogSetQuiet(true);

  LogMessage(FATAL, "a.cpp", 1, "nowhere");
  EXPECT_EQ(hook.calls, (std::vector<std::string>{"acquire " + ud.str(), "release " + ud.str()}));

  Recorder first, second;
  first.trace = second.trace = &hook.calls;
  ASSERT_EQ(LogAddSink(RecordingSink, &first, TRACE), 0);
  ASSERT_EQ(LogAddSink(RecordingSink, &second, TRACE), 0);
  hook.calls.clear();
  LogMessage(INFO, "a.cpp", 2, "two outputs");
  EXPECT_EQ(hook.calls,
            (std::vector<std::string>{"acquire " + ud.str(), "sink", "sink", "release " + ud.str()}));

  LogSetLockHook(nullptr, nullptr);
  hook.calls.clear();
  LogMessage(INFO, "a.cpp", 3, "no hook");
  EXPECT_EQ(hook.calls, (std::vector<std::string>{"sink", "sink"}));
}

void MutexHook(bool acquire, void* userData) {
  auto* mutex = static_cast<std::mutex*>(userData);
  if (acquire) mutex->lock();
  else mutex->unlock();
}

TEST_F(LogTest, ConcurrentLinesStayWholeWithAMutexHook) {
  constexpr int kThreads = 3;
  constexpr int kPerThread = 2000;
  std::mutex mutex;
  TempFile first, second;
  LogSetQuiet(true);
  LogSetLockHook(MutexHook, &mutex);
  ASSERT_EQ(LogAddFileSink(first.stream(), INFO), 0);
  ASSERT_EQ(LogAddFileSink(second.stream(), INFO), 0);

  const std::string payload(120, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &payload] {
      for (int i = 0; i < kPerThread; ++i)
        LogMessage(INFO, "worker.cpp", 100 + t, "thread %d seq %d %s end", t, i, payload.c_str());
    });
  }
  for (auto& th : threads) th.join();

  const std::regex shape(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} INFO  worker\.cpp:(\d+): thread (\d) seq (\d+) x{120} end$)");
  for (const std::string& text : {first.Read(), second.Read()}) {
    const auto lines = Lines(text);
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kPerThread));
    int next[kThreads] = {};
    for (const auto& line : lines) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
      const int t = std::stoi(m[2]);
      ASSERT_LT(t, kThreads);
      EXPECT_EQ(std::stoi(m[1]), 100 + t);
      ASSERT_EQ(std::stoi(m[3]), next[t]) << line;  // each thread's lines in order, none lost
      ++next[t];
    }
  }
}

}  // namespace
