// Shared by the SQL builder's tests, fuzzers and benchmark: discovered column types kept in a
// plain table, and a sink that records the columns a lookup missed.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "datasource/sql_builder.h"

namespace sql_test {

// Columns as the discovery query reported them, in its order.
class TableTypes final : public datasource::ColumnTypes {
 public:
  TableTypes() = default;
  explicit TableTypes(std::vector<std::pair<std::string, int32_t>> columns)
      : columns_(std::move(columns)) {}
  bool TypeOfName(std::string_view name, NameForm, int32_t* type) const override {
    const auto found = std::find_if(columns_.begin(), columns_.end(), [&](const auto& c) { return c.first == name; });
    if (found != columns_.end()) *type = found->second;
    return found != columns_.end();
  }
  bool TypeAt(std::size_t position, int32_t* type) const override {
    if (position >= columns_.size()) return false;
    *type = columns_[position].second;
    return true;
  }
  std::vector<std::pair<std::string, int32_t>>& columns() { return columns_; }

 private:
  std::vector<std::pair<std::string, int32_t>> columns_;
};

// A name between quotes, as CREATE TABLE writes it: each quote inside doubled.
inline std::string Quoted(std::string_view name, char quote = '"') {
  std::string out(1, quote);
  for (char c : name) out.append(c == quote ? 2 : 1, c);
  return out + quote;
}

class MissedColumns final : public datasource::ColumnNotFoundSink {
 public:
  void ColumnNotFound(std::string_view name) override { names.emplace_back(name); }
  std::vector<std::string> names;
};

}  // namespace sql_test
