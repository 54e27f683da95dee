// Reading the numbers of command-line options.
#pragma once

#include <charconv>
#include <optional>
#include <string>

namespace quill_service {

// The whole of text as a decimal number from low to high; nothing for anything else (empty,
// trailing characters, a number out of range however long).
inline std::optional<long> ParseNumber(const std::string& text, long low, long high) {
  long number = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, number);
  if (text.empty() || error != std::errc() || stop != end || number < low || number > high) return std::nullopt;
  return number;
}

}  // namespace quill_service
