// The host log: every quill_log line is kept in memory (the most recent kMaxLogLines) and handed
// to a sink. The default sink writes "[level] text" lines to standard error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "host/qcapi.h"

namespace quill_service {

struct LogLine {
  int level;
  std::string text;  // the formatted text without a trailing line break
};

constexpr size_t kMaxLogLines = 10000;

// text with control characters written as escapes (\n, \r, \t, \xHH, and \u0080 to \u009f
// for the UTF-8 C1 controls), so that it cannot break a line or steer a terminal. Every
// quill_log line passes through it.
QUILL_API std::string EscapeForLog(std::string_view text);

// Logs a line formatted by the caller exactly as quill_log logs its formatted text (a trailing
// line break dropped, Latin-1 read as such, escaped): for lines made often, without printf.
QUILL_API void LogText(int32_t level, std::string text);

// Replaces the sink; an empty function keeps lines in memory only. Sinks run one line at a
// time, in log order, and may themselves log.
QUILL_API void SetLogSink(std::function<void(const LogLine&)> sink);
// Restores the standard-error sink.
QUILL_API void ResetLogSink();
QUILL_API std::vector<LogLine> LogSnapshot();
QUILL_API void ClearLog();

// Where lines go besides the in-memory log (quill_logSetDestination); by default every line
// goes to the sink.
struct LogDestination {
  bool set = false;  // quill_logSetDestination was called
  int32_t destinations = QUILL_LOG_TO_STDERR;
  int32_t maxLevel = -1;
};
// The log file, under the server root.
constexpr const char* kLogFile = "Logs/quill.log";
QUILL_API LogDestination GetLogDestination();

}  // namespace quill_service
