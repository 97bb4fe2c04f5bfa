// Process-wide levelled logger: a muted-able console sink on stderr plus up to
// 32 registered sinks, each with its own minimum level. No heap allocation.
//
// Configure (setters, registrations) before any other thread can log; from
// then on the configuration is only read and LogMessage may run on any thread.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>

// Signed 32-bit levels; a higher value is more severe.
enum LogLevel : int32_t {
  TRACE = 0,
  DEBUG = 1,
  INFO = 2,
  WARN = 3,
  ERROR = 4,
  FATAL = 5,
};

constexpr int kMaxLogSinks = 32;

// What a sink receives for one message; valid only while the sink runs.
struct LogEvent {
  va_list args;        // the call's arguments after the format
  const char* format;  // the caller's printf-style format
  const char* file;    // the caller's source file name
  struct tm time;      // local time, read just before this output
  void* userData;      // the sink's user data (stderr for the console sink)
  int32_t line;
  int32_t level;
};

using LogSinkFn = void (*)(LogEvent* event);
// Called with true before the first output of a message, false after the last.
using LogLockFn = void (*)(bool acquire, void* userData);

struct LogSink {
  LogSinkFn sinkFn;  // null marks a free slot
  void* userData;
  int32_t level;     // lowest level this sink receives
};

struct LogState {
  void* lockUserData;
  LogLockFn lockHook;
  int32_t threshold;  // lowest level the console sink prints
  bool quiet;         // mutes the console sink entirely
  LogSink sinks[kMaxLogSinks];
};

// The logger's one record; all zero at process start.
extern LogState g_logState;

// Writes the message to every output whose filter admits it.
void LogMessage(int32_t level, const char* file, int32_t line, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

void LogSetThreshold(int32_t level);
void LogSetQuiet(bool quiet);
void LogSetLockHook(LogLockFn hook, void* userData);

// Registers a sink in the first free slot: 0, or -1 when all slots are used
// or sinkFn is null (the table is then unchanged).
int LogAddSink(LogSinkFn sinkFn, void* userData, int32_t level);
// Registers LogFileSinkWrite for `stream`; 0, or -1 when all slots are used or
// the stream is null. The caller keeps owning the stream and must keep it open
// for as long as anything can log.
int LogAddFileSink(FILE* stream, int32_t level);

// The printed name of a level ("TRACE" ... "FATAL"); "?" outside 0..5.
const char* LogLevelName(int32_t level);

// The built-in file sink: one line onto the FILE* in event->userData, flushed.
void LogFileSinkWrite(LogEvent* event);

// Shorthands that fill in the call site's file and line.
#define LOG_TRACE(...) LogMessage(TRACE, __FILE__, __LINE__, __VA_ARGS__)
#define LOG_DEBUG(...) LogMessage(DEBUG, __FILE__, __LINE__, __VA_ARGS__)
#define LOG_INFO(...) LogMessage(INFO, __FILE__, __LINE__, __VA_ARGS__)
#define LOG_WARN(...) LogMessage(WARN, __FILE__, __LINE__, __VA_ARGS__)
#define LOG_ERROR(...) LogMessage(ERROR, __FILE__, __LINE__, __VA_ARGS__)
#define LOG_FATAL(...) LogMessage(FATAL, __FILE__, __LINE__, __VA_ARGS__)
