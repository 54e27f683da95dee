#include "startup/archive_check.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using File = std::unique_ptr<FILE, int (*)(FILE*)>;

constexpr char kLocalHeader[] = {'P', 'K', 3, 4};
constexpr char kEndOfDirectory[] = {'P', 'K', 5, 6};
// The end-of-directory record (22 bytes) is followed by a comment of at most 65535 bytes.
constexpr long kEndSearch = 22 + 65535;

bool StartsWith(const std::vector<char>& bytes, const char (&mark)[4]) {
  return bytes.size() >= 4 && std::equal(mark, mark + 4, bytes.begin());
}

}  // namespace

std::string ArchiveProblem(const char* path) {
  File file(std::fopen(path, "rb"), &std::fclose);
  if (!file) return std::string("it cannot be read (") + std::strerror(errno) + ")";
  if (std::fseek(file.get(), 0, SEEK_END) != 0) return "it cannot be read";
  const long size = std::ftell(file.get());
  if (size < 0) return "it cannot be read";
  if (size == 0) return "it is empty";

  std::vector<char> head(4);
  std::rewind(file.get());
  head.resize(std::fread(head.data(), 1, head.size(), file.get()));
  if (std::ferror(file.get())) return std::string("it cannot be read (") + std::strerror(errno) + ")";
  // An archive with no entries is only its end-of-directory record.
  if (StartsWith(head, kEndOfDirectory)) return {};
  if (!StartsWith(head, kLocalHeader)) return "it is not a zip archive";

  const long tailSize = std::min(size, kEndSearch);
  std::vector<char> tail(static_cast<size_t>(tailSize));
  if (std::fseek(file.get(), size - tailSize, SEEK_SET) != 0 ||
      std::fread(tail.data(), 1, tail.size(), file.get()) != tail.size()) {
    return "it cannot be read";
  }
  const auto end = std::find_end(tail.begin(), tail.end(), kEndOfDirectory, kEndOfDirectory + 4);
  if (end == tail.end()) return "it is damaged: its zip directory is missing (a truncated copy?)";
  return {};
}
