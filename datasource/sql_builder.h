// The SQL text of the record actions of a connector data source (search, add, update, delete,
// describe), written from a plain description of the action so that the connector on the Java
// side only executes it.
//
// The builder knows nothing of JNI or of the host's request: an adapter reads the action's
// parameters through the QCAPI into an ActionInput, and the discovered column types (when the
// driver does not convert text) come in through ColumnTypes. All text is 8-bit and appended
// verbatim, except that every value literal is made safe (a quote inside a quoted value is
// doubled, and a value left unquoted must be a plain literal of its column's type) and every name
// stays one identifier (the identifier quote inside a quoted name is doubled, and a name written
// bare must be one plain identifier).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/qcapi.h"

namespace datasource {

// Four-character codes: search operators, logical operators and the host's column types.
namespace code {
inline constexpr int32_t kEquals = QUILL_FOURCC('=', ' ', ' ', ' ');
inline constexpr int32_t kNotEquals = QUILL_FOURCC('N', 'O', 'T', ' ');
inline constexpr int32_t kLess = QUILL_FOURCC('<', ' ', ' ', ' ');
inline constexpr int32_t kLessEqual = QUILL_FOURCC('<', '=', ' ', ' ');
inline constexpr int32_t kGreater = QUILL_FOURCC('>', ' ', ' ', ' ');
inline constexpr int32_t kGreaterEqual = QUILL_FOURCC('>', '=', ' ', ' ');
inline constexpr int32_t kBeginsWith = QUILL_FOURCC('b', 'g', 'w', 't');
inline constexpr int32_t kEndsWith = QUILL_FOURCC('e', 'n', 'd', 's');
inline constexpr int32_t kContains = QUILL_FOURCC('c', 'o', 'n', 't');
inline constexpr int32_t kNotBeginsWith = QUILL_FOURCC('!', 'b', 'g', 's');
inline constexpr int32_t kNotEndsWith = QUILL_FOURCC('!', 'e', 'n', 'd');
inline constexpr int32_t kNotContains = QUILL_FOURCC('!', 'c', 't', 's');
inline constexpr int32_t kInList = QUILL_FOURCC(' ', 'n', 'l', 't');
inline constexpr int32_t kNotInList = QUILL_FOURCC('!', 'n', 'l', 't');
inline constexpr int32_t kFullText = QUILL_FOURCC(' ', 'f', 't', 'x');

inline constexpr int32_t kAnd = QUILL_FOURCC('A', 'N', 'D', ' ');
inline constexpr int32_t kOr = QUILL_FOURCC('O', 'R', ' ', ' ');
inline constexpr int32_t kNot = QUILL_FOURCC('N', 'O', 'T', ' ');

inline constexpr int32_t kDouble = QUILL_FOURCC('d', 'o', 'u', 'b');
inline constexpr int32_t kDate = QUILL_FOURCC('D', 'a', 't', 'e');
inline constexpr int32_t kBoolean = QUILL_FOURCC('b', 'o', 'o', 'l');
inline constexpr int32_t kLong = QUILL_FOURCC('l', 'o', 'n', 'g');
}  // namespace code

// Results of the record actions that stop before Java is called.
inline constexpr osError kUpdateWithoutKey = -9958;
inline constexpr osError kDeleteWithoutKey = -9957;
// A value that would have to be written unquoted is not a plain literal of its column's type.
inline constexpr osError kValueNotLiteral = -9959;
// A value holds a NUL character, which no statement text can carry.
inline constexpr osError kValueHoldsNul = -9960;
// A name would not come out as exactly one identifier in its place.
inline constexpr osError kNameRefused = -9961;

// Text the host may also deliver as null.
using Text = std::optional<std::string_view>;

// One QCAPI read: the host's result and, when it is 0, what was read.
template <class T>
struct HostRead {
  osError code = QUILL_ERR_NOT_FOUND;
  T value{};
  bool ok() const { return code == 0; }
};

// The connector properties of the data source, inserted verbatim (any may be empty or longer
// than one character).
struct ConnectorSettings {
  bool supportsCatalogs = false;
  bool supportsSchemas = false;
  bool supportsConvert = true;
  std::string_view quote;       // identifier quote
  std::string_view separator = ".";
  std::string_view terminator;
  std::string_view schemaName;  // the default schema
  // The connector runs a search as a prepared statement with its values bound: the builder also
  // writes the search with a placeholder for each value.
  bool bindsValues = false;
};

struct InputColumn {
  Text name;   // a column, a group marker ("opbegin", "opend", ...) or a command ("-distinct")
  Text value;
  int32_t op = code::kEquals;  // search operator
};

struct SortColumn {
  Text name;
  int32_t type = 0;  // 1: descending
};

struct KeyColumn {
  Text name;
  Text value;
};

// What the builder reads of one action. Lists hold what the host delivered, in host order, up
// to the first entry it could not deliver.
struct ActionInput {
  HostRead<std::string_view> database;
  HostRead<std::string_view> table;
  HostRead<std::string_view> schema;
  HostRead<std::string_view> hostLogin;  // the name of the host's login record
  std::vector<std::string_view> returnColumns;
  std::vector<InputColumn> inputColumns;
  bool inputColumnsComplete = true;  // false: the host failed to deliver the next input column
  int32_t logicalOp = code::kAnd;
  std::vector<SortColumn> sortColumns;
  std::optional<KeyColumn> key;  // empty: the host could not deliver the key column
  bool distinct = false;         // the input column "-distinct" exists
};

// The input columns merged by name (byte for byte): a name met again appends "," and its value
// to the first entry's. INSERT, UPDATE and the discovery query list these, in this order.
struct ColumnEntry {
  std::string_view name;
  std::optional<std::string> value;
};
using ColumnList = std::vector<ColumnEntry>;
ColumnList GatherInputColumns(const ActionInput& input);
// A key column with a name and a value: what a key condition needs (whether the name can be
// written is the builder's to say).
bool HasUsableKey(const ActionInput& input);

// The column types the discovery query reported (a stand-in for the request's database output
// parameters). How a name is turned into the host's text for the lookup: the condition names
// come as ISO-8859-1, the key name in the default code page.
class ColumnTypes {
 public:
  enum class NameForm { kLatin1, kDefaultCodePage };
  virtual ~ColumnTypes() = default;
  virtual bool TypeOfName(std::string_view name, NameForm form, int32_t* type) const = 0;
  virtual bool TypeAt(std::size_t position, int32_t* type) const = 0;
};

// Told of every column that a type lookup did not find. The default logs
// "Column "<name>" not found" at level 0.
class ColumnNotFoundSink {
 public:
  virtual ~ColumnNotFoundSink() = default;
  virtual void ColumnNotFound(std::string_view name) = 0;
};
ColumnNotFoundSink& LogColumnNotFound();

// A value the statement with placeholders leaves out, and how its text writes it: between quotes
// (text that takes its column's type) or bare (a plain number, true or false).
struct BoundValue {
  std::string value;
  bool bare = false;
};

// The outcome of building one statement.
struct Statement {
  osError code = 0;   // not 0: nothing is sent and the action ends with this result
  bool send = true;   // false with code 0: nothing to do (a describe without a table name)
  std::string text;
  std::string message;  // why a name or a value was refused
  // With ConnectorSettings::bindsValues, a search whose values are all compared plainly (no
  // pattern, list or full-text value): the same statement with each value a "?", and the values
  // in order. The text stays what is logged and shown.
  bool bound = false;
  std::string boundText;
  std::vector<BoundValue> values;
};

// Whether values of a column of this host type are written between quotes when the driver does
// not convert text to the column's type.
bool IsQuotedType(int32_t typeCode);

class SqlBuilder {
 public:
  // types: the discovered columns, read only when settings.supportsConvert is false (null then
  // means nothing was discovered and every value is quoted).
  explicit SqlBuilder(const ConnectorSettings& settings, const ColumnTypes* types = nullptr,
                      ColumnNotFoundSink* notFound = nullptr);

  // The query whose result columns tell the column types (no terminator); empty when a name it
  // lists cannot be written (the statement itself then says why).
  std::string DiscoveryQuery(const ActionInput& input, const ColumnList& columns) const;
  // What the discovery query asks, as names: equal for two actions exactly when their queries
  // name the same table and columns. Cheaper to make than the query, so kept columns are found
  // by it without writing the query.
  std::string DiscoveryNames(const ActionInput& input, const ColumnList& columns) const;

  Statement Select(const ActionInput& input);
  Statement Insert(const ActionInput& input, const ColumnList& columns);
  Statement Update(const ActionInput& input, const ColumnList& columns);
  Statement Delete(const ActionInput& input);
  Statement Describe(const ActionInput& input);

  // The pieces, each appending to out and returning false when the statement must be abandoned
  // (a name or a value was refused, or no key condition could be made).
  bool AppendTableName(std::string& out, const ActionInput& input);
  bool AppendReturnColumns(std::string& out, const ActionInput& input);
  bool AppendSearchCondition(std::string& out, const ActionInput& input);
  bool AppendOrderBy(std::string& out, const ActionInput& input);
  bool AppendInsertLists(std::string& out, const ColumnList& columns);
  bool AppendAssignments(std::string& out, const ColumnList& columns);
  bool AppendKeyCondition(std::string& out, const ActionInput& input);

  // The SQL operator of a search operator code for this value.
  static std::string_view OperatorText(int32_t op, const Text& value);
  // One value literal. typeCode is the column's host type when the value goes unquoted (it
  // decides which literals are plain); column names the column in a refusal's message.
  bool AppendValue(std::string& out, const Text& value, int32_t op, bool quoted, int32_t typeCode,
                   std::string_view column);

 private:
  struct ColumnType {
    bool quoted = true;
    int32_t type = QUILL_TYPE_TEXT;
  };
  ColumnType Classify(bool found, int32_t type, std::string_view name) const;
  ColumnType TypeByName(std::string_view name, ColumnTypes::NameForm form) const;
  ColumnType TypeByPosition(std::size_t position, std::string_view name) const;
  // Appends name as one identifier: between the quotes with each quote inside doubled, or bare
  // (in a bare place, or when the connector quotes nothing). Returns why it cannot be one, or
  // null; out is then unchanged.
  const char* AppendIdentifier(std::string& out, std::string_view name, bool quoted) const;
  // A name that cannot be written: why, its place in the statement, and the name.
  struct NameFault {
    const char* why = nullptr;
    std::string_view role;
    std::string_view name;
  };
  // Records the refusal of a name; false.
  bool Refuse(const NameFault& fault);
  // AppendIdentifier, recording a refusal that names the place (role) and the name.
  bool AppendName(std::string& out, std::string_view name, bool quoted, std::string_view role);
  // The schema of the qualified table name.
  std::string_view SchemaOf(const ActionInput& input) const;
  // The qualified table name, or the part that cannot be written.
  NameFault WriteTableName(std::string& out, const ActionInput& input) const;
  bool AppendKeyValue(std::string& out, const KeyColumn& key);
  // The value of a listed column, typed by its position in the discovery query.
  bool AppendListedValue(std::string& out, const ColumnList& columns, std::size_t position);
  Statement NotSent(osError code) const;
  Statement Refused() const;
  Statement Finish(std::string&& text) const;
  // The search's text, before Select makes its form with placeholders.
  Statement WriteSelect(const ActionInput& input);
  // Makes the statement's form with placeholders from the values written into its text.
  void Bind(Statement& statement);

  const ConnectorSettings& settings_;
  const ColumnTypes* types_;
  ColumnNotFoundSink* notFound_;
  osError refusal_ = 0;
  std::string refusalMessage_;
  // While a search is written with bindsValues (binding_): where each value literal of the
  // statement lies in its text, and whether a value was written where no placeholder can stand.
  struct Literal {
    std::size_t at = 0, size = 0;
    BoundValue value;
  };
  bool binding_ = false;
  std::vector<Literal> literals_;
  bool unbindable_ = false;
};

}  // namespace datasource
