#include "log.h"

LogState g_logState{};

namespace {

const char* const kLevelNames[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};

// The reentrant conversions only: several threads may log at once and the
// plain localtime() shares one static record between them.
inline void ReadLocalTime(struct tm* out) {
  const std::time_t now = std::time(nullptr);
#if defined(_WIN32)
  if (localtime_s(out, &now) != 0) *out = tm{};
#else
  if (localtime_r(&now, out) == nullptr) *out = tm{};
#endif
}

// strftime leaves the buffer undefined when the text does not fit, so the
// text is always ended after what it reports as produced.
inline void FormatTime(char* buf, size_t size, const char* format, const struct tm* time) {
  const size_t produced = std::strftime(buf, size, format, time);
  buf[produced] = '\0';
}

// One line as four stream operations; write and flush results are ignored on
// purpose: a lost piece of a line must not stop the rest of the outputs.
void WriteLine(FILE* stream, const char* stamp, LogEvent* event) {
  std::fprintf(stream, "%s %-5s %s:%d: ", stamp, LogLevelName(event->level), event->file,
               static_cast<int>(event->line));
  std::vfprintf(stream, event->format, event->args);
  std::fputs("\n", stream);
  std::fflush(stream);
}

}  // namespace

void LogMessage(int32_t level, const char* file, int32_t line, const char* format, ...) {
  LogEvent event{};
  event.format = format;
  event.file = file;
  event.line = line;
  event.level = level;

  if (g_logState.lockHook != nullptr) g_logState.lockHook(true, g_logState.lockUserData);

  if (!g_logState.quiet && level >= g_logState.threshold) {
    ReadLocalTime(&event.time);
    event.userData = stderr;
    char stamp[16];
    FormatTime(stamp, sizeof stamp, "%H:%M:%S", &event.time);
    va_start(event.args, format);
    WriteLine(stderr, stamp, &event);
    va_end(event.args);
  }

  for (int i = 0; i < kMaxLogSinks; ++i) {
    const LogSink& sink = g_logState.sinks[i];
    if (sink.sinkFn == nullptr) break;  // slots are never freed: the used ones end here
    if (level < sink.level) continue;
    // Each output gets its own time reading and its own pass over the arguments.
    ReadLocalTime(&event.time);
    event.userData = sink.userData;
    va_start(event.args, format);
    sink.sinkFn(&event);
    va_end(event.args);
  }

  if (g_logState.lockHook != nullptr) g_logState.lockHook(false, g_logState.lockUserData);
}

void LogSetThreshold(int32_t level) { g_logState.threshold = level; }

void LogSetQuiet(bool quiet) { g_logState.quiet = quiet; }

void LogSetLockHook(LogLockFn hook, void* userData) {
  g_logState.lockHook = hook;
  g_logState.lockUserData = userData;
}

int LogAddSink(LogSinkFn sinkFn, void* userData, int32_t level) {
  // A null function would leave the slot looking free while reporting success.
  if (sinkFn == nullptr) return -1;
  for (LogSink& sink : g_logState.sinks) {
    if (sink.sinkFn == nullptr) {
      sink.sinkFn = sinkFn;
      sink.userData = userData;
      sink.level = level;
      return 0;
    }
  }
  return -1;
}

int LogAddFileSink(FILE* stream, int32_t level) {
  // A null stream would crash the first message that reaches it.
  if (stream == nullptr) return -1;
  return LogAddSink(LogFileSinkWrite, stream, level);
}

const char* LogLevelName(int32_t level) {
  if (level < TRACE || level > FATAL) return "?";
  return kLevelNames[level];
}

void LogFileSinkWrite(LogEvent* event) {
  char stamp[64];
  FormatTime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &event->time);
  WriteLine(static_cast<FILE*>(event->userData), stamp, event);
}
