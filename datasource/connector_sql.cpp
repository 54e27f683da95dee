#include "datasource/connector_sql.h"

#include <unicode/unistr.h>

#include <algorithm>
#include <string>

namespace datasource {
namespace {

Text View(const char* text, uint32_t size) {
  return text != nullptr ? Text(std::string_view(text, size)) : std::nullopt;
}

// A read of one record's data, with the host's result.
template <class Read>
HostRead<std::string_view> ReadData(Read&& read) {
  quill_value_t record{};
  HostRead<std::string_view> result;
  result.code = read(&record);
  if (result.ok() && record.data != nullptr) result.value = std::string_view(record.data, record.dataSize);
  return result;
}

}  // namespace

ActionInput ReadActionInput(quill_token t) {
  ActionInput in;
  in.database = ReadData([t](quill_value_t* r) { return quill_getDataSourceName(t, r, nullptr, nullptr); });
  in.table = ReadData([t](quill_value_t* r) { return quill_getTableName(t, r); });
  in.schema = ReadData([t](quill_value_t* r) { return quill_getSchemaName(t, r); });
  {
    quill_value_t login{};  // the host and extra records are not asked for: each is a copy kept
    in.hostLogin.code = quill_getDataHost2(t, nullptr, &login, nullptr);
    if (in.hostLogin.ok() && login.name != nullptr) in.hostLogin.value = std::string_view(login.name, login.nameSize);
  }
  int32_t count = 0;
  if (quill_getReturnColumnCount(t, &count) == 0) {
    for (int32_t i = 0; i < count; ++i) {
      quill_value_t r{};
      if (quill_getReturnColumn(t, i, &r) != 0) break;
      in.returnColumns.push_back(r.data != nullptr ? std::string_view(r.data, r.dataSize) : std::string_view());
    }
  }
  count = 0;
  if (quill_getInputColumnCount(t, &count) == 0) {
    in.inputColumns.reserve(count);
    for (int32_t i = 0; i < count; ++i) {
      quill_value_t r{};
      if (quill_getInputColumn(t, i, &r) != 0) {
        in.inputColumnsComplete = false;
        break;
      }
      in.inputColumns.push_back({View(r.name, r.nameSize), View(r.data, r.dataSize), r.type});
    }
  }
  int32_t op = 0;
  if (quill_getLogicalOp(t, &op) == 0) in.logicalOp = op;
  count = 0;
  if (quill_getSortColumnCount(t, &count) == 0) {
    for (int32_t i = 0; i < count; ++i) {
      quill_value_t r{};
      if (quill_getSortColumn(t, i, &r) != 0) break;
      in.sortColumns.push_back({View(r.data, r.dataSize), r.type});
    }
  }
  {
    quill_value_t r{};
    if (quill_getPrimaryKeyColumn(t, &r) == 0) in.key = KeyColumn{View(r.name, r.nameSize), View(r.data, r.dataSize)};
  }
  {
    quill_value_t r{};
    in.distinct = quill_findInputColumn(t, "-distinct", &r) == 0;
  }
  return in;
}

bool OutputColumnTypes::TypeOfName(std::string_view name, NameForm form, int32_t* type) const {
  if (columns_ == nullptr) return false;
  // An ASCII name reads the same in either form and is looked up as it is; others are read in
  // their form first. A null code page is the default converter; an empty one would keep only
  // invariant characters.
  std::string converted;
  if (!std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    const icu::UnicodeString text =
        form == NameForm::kLatin1
            ? icu::UnicodeString(name.data(), static_cast<int32_t>(name.size()), "ISO-8859-1")
            : icu::UnicodeString(name.data(), static_cast<int32_t>(name.size()), static_cast<const char*>(nullptr));
    text.toUTF8String(converted);
    name = converted;
  }
  const auto found = std::find_if(columns_->begin(), columns_->end(),
                                  [name](const DBColumnInfo& column) { return column.name == name; });
  if (found == columns_->end()) return false;
  *type = found->type;
  return true;
}

bool OutputColumnTypes::TypeAt(std::size_t position, int32_t* type) const {
  if (columns_ == nullptr || position >= columns_->size()) return false;
  *type = (*columns_)[position].type;
  return true;
}

}  // namespace datasource
