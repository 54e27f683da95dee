// quill_log and the in-memory log.
#include "service/core/log.h"

#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>

namespace quill_service {
namespace {

void WriteToStderr(const LogLine& line) {
  std::fprintf(stderr, "[%d] %s\n", line.level, line.text.c_str());
}

struct Log {
  // Recursive so that a sink may log.
  std::recursive_mutex lock;
  std::deque<LogLine> lines;
  std::function<void(const LogLine&)> sink = WriteToStderr;
  LogDestination destination;
};

Log& TheLog() {
  static Log* log = new Log;  // never destroyed: threads may log while the process exits
  return *log;
}

void Append(LogLine line) {
  Log& log = TheLog();
  std::lock_guard guard(log.lock);
  log.lines.push_back(line);
  if (log.lines.size() > kMaxLogLines) log.lines.pop_front();
  if (log.sink) log.sink(line);
}

}  // namespace

void SetLogSink(std::function<void(const LogLine&)> sink) {
  Log& log = TheLog();
  std::lock_guard guard(log.lock);
  log.sink = std::move(sink);
}

void ResetLogSink() { SetLogSink(WriteToStderr); }

std::vector<LogLine> LogSnapshot() {
  Log& log = TheLog();
  std::lock_guard guard(log.lock);
  return {log.lines.begin(), log.lines.end()};
}

void ClearLog() {
  Log& log = TheLog();
  std::lock_guard guard(log.lock);
  log.lines.clear();
}

LogDestination GetLogDestination() {
  Log& log = TheLog();
  std::lock_guard guard(log.lock);
  return log.destination;
}

}  // namespace quill_service

extern "C" osError quill_log(int32_t level, const char* format, ...) {
  if (format == nullptr) return QUILL_ERR_INVALID;
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length < 0) {
    va_end(args);
    return QUILL_ERR_INVALID;
  }
  std::string text(static_cast<size_t>(length) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  va_end(args);
  text.resize(static_cast<size_t>(length));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  quill_service::Append({level, std::move(text)});
  return QUILL_OK;
}

extern "C" osError quill_logSetDestination(int32_t first, int32_t second) {
  auto& log = quill_service::TheLog();
  std::lock_guard guard(log.lock);
  log.destination = {true, first, second};
  return QUILL_OK;
}
