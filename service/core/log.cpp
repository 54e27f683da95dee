// quill_log and the in-memory log.
#include "service/core/log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <deque>
#include <filesystem>
#include <mutex>

#include "service/core/host.h"
#include "service/values/text.h"

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
  std::FILE* file = nullptr;  // the log file while the destination includes it
  std::string filePath;
};

Log& TheLog() {
  static Log* log = new Log;  // never destroyed: threads may log while the process exits
  return *log;
}

void WriteToFile(std::FILE* file, const LogLine& line) {
  char stamp[32] = "";
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  if (gmtime_r(&now, &parts) != nullptr) std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &parts);
  std::fprintf(file, "%s [%d] %s\n", stamp, line.level, line.text.c_str());
  std::fflush(file);
}

void Append(LogLine line) {
  Log& log = TheLog();
  std::lock_guard guard(log.lock);
  log.lines.push_back(line);
  if (log.lines.size() > kMaxLogLines) log.lines.pop_front();
  const LogDestination& to = log.destination;
  if (to.maxLevel >= 0 && line.level > to.maxLevel) return;
  if ((to.destinations & QUILL_LOG_TO_FILE) != 0 && log.file != nullptr) WriteToFile(log.file, line);
  if ((to.destinations & QUILL_LOG_TO_STDERR) != 0 && log.sink) log.sink(line);
}

// Opens the log file under the current server root (the file stays open while it is a
// destination). False when there is no root or the file cannot be opened.
bool OpenLogFile(Log& log) {
  const Host* host = Host::Instance();
  if (host == nullptr) return false;
  const std::string path = host->Root() + kLogFile;
  if (log.file != nullptr && log.filePath == path) return true;
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  std::FILE* file = std::fopen(path.c_str(), "ae");
  if (file == nullptr) return false;
  if (log.file != nullptr) std::fclose(log.file);
  log.file = file;
  log.filePath = path;
  return true;
}

// Whether a byte may change on its way into the log: controls, and the lead byte of a C1 control.
bool NeedsEscape(unsigned char byte) { return byte < 0x20 || byte == 0x7F || byte == 0xC2; }

}  // namespace

void LogText(int32_t level, std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  // The module's `log` hands over ISO-8859-1; everything else is UTF-8. The log stays UTF-8.
  if (!IsValidUtf8(text)) text = Latin1ToUtf8(text);
  // Lines carry text from outside (paths, headers, messages): one call stays one line.
  if (std::none_of(text.begin(), text.end(), NeedsEscape)) {
    Append({level, std::move(text)});
  } else {
    Append({level, EscapeForLog(text)});
  }
}

std::string EscapeForLog(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    // C1 controls in UTF-8 (U+0080 to U+009F) steer terminals as ESC sequences do.
    const bool c1 = byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (c1) {
      const auto next = static_cast<unsigned char>(text[++i]);
      out += "\\u00";
      out += kHex[next >> 4];
      out += kHex[next & 15];
    } else if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\r') {
      out += "\\r";
    } else if (byte == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += static_cast<char>(byte);
    }
  }
  return out;
}

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
  quill_service::LogText(level, std::move(text));
  return QUILL_OK;
}

extern "C" osError quill_logSetDestination(int32_t destinations, int32_t maxLevel) {
  constexpr int32_t kKnown = QUILL_LOG_TO_STDERR | QUILL_LOG_TO_FILE;
  if ((destinations & ~kKnown) != 0 || maxLevel < -1) return QUILL_ERR_INVALID;
  auto& log = quill_service::TheLog();
  std::lock_guard guard(log.lock);
  if ((destinations & QUILL_LOG_TO_FILE) != 0) {
    if (!quill_service::OpenLogFile(log)) return QUILL_ERR_NOT_FOUND;
  } else if (log.file != nullptr) {
    std::fclose(log.file);
    log.file = nullptr;
  }
  log.destination = {true, destinations, maxLevel};
  return QUILL_OK;
}
