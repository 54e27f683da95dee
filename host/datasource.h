// Data sources: the registry, the base classes a module derives its data sources from, the
// records that name what an action works on, and the parameters and results of one action.
#pragma once

#include <unicode/unistr.h>

#include <cstdint>
#include <mutex>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/request.h"

typedef int32_t datasource_action_t;

// The callback a CAPIDataSourceProxy hands every action code through. token names the execution
// state of the action (a quill_token carried in the pointer); value may be null.
typedef osError (*datasource_callback_t)(void* token, datasource_action_t action, const quill_value_t* value);

// Action codes the host sends through the callback.
enum : datasource_action_t {
  QUILL_DS_ACTION_INIT = 0,
  QUILL_DS_ACTION_TERMINATE = 1,
  QUILL_DS_ACTION_CLOSE_CONNECTION = 13
};

// Search operators (the `type` of an input column) and logical operators: four-character codes.
#define QUILL_OP_EQUALS QUILL_FOURCC('=', ' ', ' ', ' ')
#define QUILL_OP_NOT_EQUALS QUILL_FOURCC('N', 'O', 'T', ' ')
#define QUILL_OP_LESS QUILL_FOURCC('<', ' ', ' ', ' ')
#define QUILL_OP_AT_MOST QUILL_FOURCC('<', '=', ' ', ' ')
#define QUILL_OP_GREATER QUILL_FOURCC('>', ' ', ' ', ' ')
#define QUILL_OP_AT_LEAST QUILL_FOURCC('>', '=', ' ', ' ')
#define QUILL_OP_BEGINS QUILL_FOURCC('b', 'g', 'w', 't')
#define QUILL_OP_ENDS QUILL_FOURCC('e', 'n', 'd', 's')
#define QUILL_OP_CONTAINS QUILL_FOURCC('c', 'o', 'n', 't')
#define QUILL_OP_NOT_BEGINS QUILL_FOURCC('!', 'b', 'g', 's')
#define QUILL_OP_NOT_ENDS QUILL_FOURCC('!', 'e', 'n', 'd')
#define QUILL_OP_NOT_CONTAINS QUILL_FOURCC('!', 'c', 't', 's')
#define QUILL_OP_IN QUILL_FOURCC(' ', 'n', 'l', 't')
#define QUILL_OP_NOT_IN QUILL_FOURCC('!', 'n', 'l', 't')
#define QUILL_OP_FULLTEXT QUILL_FOURCC(' ', 'f', 't', 'x')
#define QUILL_LOGICAL_AND QUILL_FOURCC('A', 'N', 'D', ' ')
#define QUILL_LOGICAL_OR QUILL_FOURCC('O', 'R', ' ', ' ')

// Which data source an action runs on.
struct QUILL_API DataSourceRec {
  int32_t id = 0;
  CharBuffer name;
};

// The host (server) an action connects to, as an administrator stored it. The id comes first.
struct QUILL_API HostRec {
  int32_t id = 0;
  CharBuffer name;      // a name or URL
  CharBuffer user;
  CharBuffer password;  // never logged, never listed
};

struct QUILL_API DatabaseRec {
  CharBuffer name;
  bool named = false;  // the script named it (else the source's default); travels with the record
};

// One criterion or field of an action: a column name, its value (absent = null) and its search
// operator. Texts are UTF-8.
struct DBInputColumn {
  std::string name;
  std::optional<std::string> value;
  int32_t op = QUILL_OP_EQUALS;
};

struct DBSortColumn {
  std::string name;
  bool descending = false;
};

// What a script asked of an action, in the order it asked.
class QUILL_API WebInputParams {
 public:
  std::string table;
  std::string schema;
  std::vector<DBInputColumn> inputColumns;
  int32_t logicalOp = QUILL_LOGICAL_AND;
  std::vector<DBSortColumn> sortColumns;
  std::vector<std::string> returnColumns;
  std::string keyColumn;
  std::optional<std::string> keyValue;
  int32_t skipRows = 0;
  int32_t maxRows = -1;  // -1: no limit
  int32_t rowId = 0;
  std::string statement;
  bool statementOnly = false;

  // The first input column of that name (byte for byte), or null.
  const DBInputColumn* FindInputColumn(std::string_view name) const;
};

// A result column as the data source describes it: its name, its host type code, a size and
// flags, and (addColumnInfo2) a list of the values the column allows.
struct DBColumnInfo {
  std::string name;
  int32_t type = 0;
  int32_t size = 0;
  int32_t flags = 0;
  std::vector<std::optional<std::string>> values;
};

// The rows of a result. Every cell's bytes lie back to back in one buffer, with each cell's end
// and each row's first cell in two arrays beside it, so a row costs no allocation of its own:
// results of many rows are filled and freed in a few large blocks.
class QUILL_API DBRows {
 public:
  DBRows() = default;
  DBRows(const DBRows&) = default;
  DBRows(DBRows&&) = default;
  DBRows& operator=(const DBRows&) = default;
  DBRows& operator=(DBRows&&) = default;
  ~DBRows() { clear(); }

  // One row, valid until the next change of its DBRows.
  class Row {
   public:
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    // The cell's bytes; nullopt for a null cell.
    std::optional<std::string_view> operator[](size_t column) const { return rows_->Cell(first_ + column); }

   private:
    friend class DBRows;
    Row(const DBRows* rows, size_t first, size_t count) : rows_(rows), first_(first), count_(count) {}
    const DBRows* rows_;
    size_t first_;
    size_t count_;
  };

  size_t size() const { return rowStarts_.size(); }
  bool empty() const { return rowStarts_.empty(); }
  Row operator[](size_t row) const {
    const size_t first = rowStarts_[row];
    const size_t end = row + 1 < rowStarts_.size() ? rowStarts_[row + 1] : cellEnds_.size();
    return Row(this, first, end - first);
  }
  // Appends a row of count cells; a null values[i] is a null cell of any length.
  void Add(const char* const* values, const int32_t* lengths, int32_t count);
  void Add(std::initializer_list<std::optional<std::string_view>> cells);
  // Appends rowCount rows of `columns` cells each: lengths[i] is cell i's byte count (-1 for a
  // null cell), and the cells' bytes lie back to back in `bytes`, which holds byteCount bytes.
  // Each length is read once, so lengths that change meanwhile cannot make the copy outrun what
  // was checked. Returns null, or why nothing was added: a length below -1, or cells needing
  // more than byteCount bytes.
  const char* AddPacked(const char* bytes, size_t byteCount, const int32_t* lengths, int32_t columns,
                        int32_t rowCount);
  void clear();

 private:
  static constexpr size_t kNullCell = size_t{1} << (sizeof(size_t) * 8 - 1);
  std::optional<std::string_view> Cell(size_t index) const {
    const size_t end = cellEnds_[index];
    if (end & kNullCell) return std::nullopt;
    const size_t start = index == 0 ? 0 : cellEnds_[index - 1] & ~kNullCell;
    return std::string_view(bytes_.data() + start, end - start);
  }
  // Room for that many more bytes, cells and rows: a check per row inline, the growth out of line.
  void Reserve(size_t bytes, size_t cells, size_t rows) {
    if (bytes_.capacity() - bytes_.size() < bytes || cellEnds_.capacity() - cellEnds_.size() < cells ||
        rowStarts_.capacity() - rowStarts_.size() < rows) {
      Enlarge(bytes, cells, rows);
    }
  }
  void Enlarge(size_t bytes, size_t cells, size_t rows);
  void AddCell(const char* bytes, size_t length);
  void TakeSpare(size_t moreBytes, size_t moreCells, size_t moreRows);
  std::string bytes_;
  std::vector<size_t> cellEnds_;   // end of each cell in bytes_, kNullCell set for a null cell
  std::vector<size_t> rowStarts_;  // index of each row's first cell in cellEnds_
};

// What a data source hands back from an action.
class QUILL_API WebOutputParams {
 public:
  std::vector<DBColumnInfo> columns;
  DBRows rows;
  std::optional<int32_t> rowsFound;  // as the data source set it
  int32_t rowId = 0;
  std::u16string actionStatement;

  // The position of the column of that name, or -1.
  int32_t GetFieldNum(const icu::UnicodeString& name) const;
  // The same for a name in UTF-8.
  int32_t FieldIndex(std::string_view name) const;
  // The host type code of column `field`; 0 on success, QUILL_ERR_OUT_OF_RANGE otherwise.
  osError GetDefaultType(int32_t field, int32_t* type) const;
  // Forgets the columns, rows, counts, row id and statement.
  void Reset();
};

// A value carrying an action's parameters or results (Request::GetInputParams/GetOutputParams).
class QUILL_API DBParamsValue : public Variant {
 public:
  WebInputParams input;
  WebOutputParams output;
};

class QUILL_API DataSource : public QuillModule {
 public:
  ~DataSource() override;

  // The names list: one CharBuffer per database, table or schema; result receives the data
  // source's code when given.
  virtual void ListDatabaseNames(const DataSourceRec& source, const HostRec& host,
                                 std::vector<CharBuffer>* names, int* result) = 0;
  virtual void ListTableNames(const DataSourceRec& source, const HostRec& host, const DatabaseRec& database,
                              std::vector<CharBuffer>* names, int* result) = 0;
  // Record actions on the request's current inline parameters.
  virtual osError Search(Request* request) = 0;
  virtual osError Add(Request* request) = 0;
  virtual osError UnsupportedOperation1(void* argument);
  virtual osError Update(Request* request) = 0;
  virtual osError Delete(Request* request) = 0;
  virtual osError DescribeTable(Request* request) = 0;
  virtual osError UnsupportedOperation2(void* argument);
  virtual osError ExecuteStatement(Request* request) = 0;
  virtual bool MatchesDataSourceName(Request* request, const char* name);
  virtual osError UnsupportedOperation3(void* argument);
  virtual bool UnsupportedQuery(void* first, void* second);
  virtual void ListSchemaNames(const DataSourceRec& source, const HostRec& host, const DatabaseRec& database,
                               std::vector<CharBuffer>* names, int* result) = 0;
  virtual void DoModuleAdmin(Request* request, CharBuffer& command, CharBuffer& answer);
};

// A data source whose module also answers action codes through a C callback.
class QUILL_API CAPIDataSourceProxy : public DataSource {
 public:
  void SetCAPIFunc(datasource_callback_t callback) { callback_ = callback; }
  datasource_callback_t GetCAPIFunc() const { return callback_; }
  // Sends action through the callback on the state token names; -802 without a callback.
  osError CallCAPIFunc(quill_token token, datasource_action_t action, const quill_value_t* value);

  bool MatchesDataSourceName(Request* request, const char* name) override;
  void DoModuleAdmin(Request* request, CharBuffer& command, CharBuffer& answer) override;

 private:
  datasource_callback_t callback_ = nullptr;
};

// The data sources the host knows, by id and by name. Thread-safe.
class QUILL_API DataSourceRegistry {
 public:
  static DataSourceRegistry& Global();

  // Takes ownership when it answers true. False for a null source, an empty name or a name
  // (case-insensitive) already registered; the caller keeps the source then.
  bool AddDataSource(int32_t id, DataSource* source);
  // The newest source of that name registered in the module generation given or before it
  // (a request passes the one it pinned), or null.
  DataSource* Find(const char* name, uint64_t generation = UINT64_MAX) const;
  // The source that name gives within request: of the module generation it started with.
  DataSource* FindFor(const char* name, Request& request) const;
  // The id given at registration (a replaced source keeps it), or -1.
  int32_t IdOf(const DataSource* source) const;
  std::vector<std::string> Names() const;
  // Unregisters and destroys the source and the ones it replaced; false when unknown.
  bool Remove(const char* name);
  // Puts source (owned from now on) in the place of the source of the same name, which is kept
  // for the requests that began on it. False (the caller keeps source) when no source has that
  // name.
  bool Replace(DataSource* source);
  // Destroys (after their last action) the sources that a newer module generation replaced and
  // that no request can reach any more. True when replaced sources are still kept.
  bool DropUnreachable();

 private:
  struct Version {
    DataSource* source;
    uint64_t generation;  // the module generation that registered it
  };
  struct Entry {
    int32_t id;
    std::vector<Version> versions;  // oldest first; the last one is served to new requests
  };
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Entry> sources_;  // keys folded to lower case
};

// What a module's registration works with: the id the host gave the loading module and the
// registry its data sources go to.
struct QUILL_API ModuleRecord {
  int32_t id = 0;
  DataSourceRegistry* registry = nullptr;
};
