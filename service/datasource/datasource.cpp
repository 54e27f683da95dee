// The data-source registry, the data-source base classes, action parameters and results, and the
// request's side of database actions (inline actions, swaps, connections).
#include <algorithm>
#include <atomic>
#include <cctype>
#include <mutex>

#include "service/datasource/inline_action.h"
#include "service/values/module_generation.h"
#include "service/values/request_data.h"

using namespace quill_service;

namespace {

std::string Folded(const char* name) {
  std::string folded = name != nullptr ? name : "";
  for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return folded;
}

RequestDatabaseState& DatabaseState(Request& request) { return request.Contents().database; }

InlineAction& Innermost(Request& request) {
  auto& state = DatabaseState(request);
  if (!state.inlines.empty()) return *state.inlines.back();
  if (!state.base) state.base = std::make_unique<InlineAction>();
  return *state.base;
}

}  // namespace

// ---- parameters and results ----

const DBInputColumn* WebInputParams::FindInputColumn(std::string_view name) const {
  for (const auto& column : inputColumns) {
    if (column.name == name) return &column;
  }
  return nullptr;
}

int32_t WebOutputParams::GetFieldNum(const icu::UnicodeString& name) const {
  std::string wanted;
  name.toUTF8String(wanted);
  return FieldIndex(wanted);
}

int32_t WebOutputParams::FieldIndex(std::string_view name) const {
  for (size_t i = 0; i < columns.size(); ++i) {
    if (columns[i].name == name) return static_cast<int32_t>(i);
  }
  return -1;
}

osError WebOutputParams::GetDefaultType(int32_t field, int32_t* type) const {
  if (field < 0 || static_cast<size_t>(field) >= columns.size() || type == nullptr) return QUILL_ERR_OUT_OF_RANGE;
  *type = columns[static_cast<size_t>(field)].type;
  return QUILL_OK;
}

namespace {

// Room for `more` elements, doubling: appends stay amortised constant, where reserving the exact
// size for each batch of rows would copy everything held so far at every batch. The first step
// is at least `first` elements.
template <class Container>
void Grow(Container& container, size_t more, size_t first) {
  const size_t size = container.size();
  if (container.capacity() - size < more) container.reserve(std::max(size * 2, size + more + first));
}

// The buffers of the last large result freed, kept for the next large one to fill: memory the
// process holds already costs nothing to fill again, where fresh memory costs a page fault for
// every page, and the doubling copies it once more on the way (together about a quarter of the
// time of 100,000 rows read from PostgreSQL). A result holding less than kSpareFrom bytes never
// touches it; one set of at most kSpareMost bytes is kept for the whole process.
constexpr size_t kSpareFrom = size_t{64} << 10;
constexpr size_t kSpareMost = size_t{16} << 20;

struct SpareRows {
  std::mutex lock;
  std::string bytes;
  std::vector<size_t> cellEnds, rowStarts;
};

SpareRows& Spare() {
  static SpareRows* const spare = new SpareRows;  // never destroyed: results may be freed at exit
  return *spare;
}

size_t Held(const std::string& bytes, const std::vector<size_t>& cellEnds, const std::vector<size_t>& rowStarts) {
  return bytes.capacity() + (cellEnds.capacity() + rowStarts.capacity()) * sizeof(size_t);
}

}  // namespace

// gperftools' malloc, which quill is linked with, keeps freed pages mapped for reuse and hands
// them back to the system only gradually, where the C library unmaps a large block when it is
// freed; weak, so that other programs linking the host library go without it.
extern "C" void MallocExtension_ReleaseToSystem(size_t bytes) __attribute__((weak));

namespace {

// Frees a result's buffers. Large ones go back to the system at once whichever malloc the
// process runs with, so that a burst of large results does not stay resident in an idle server.
void FreeNow(std::string& bytes, std::vector<size_t>& cellEnds, std::vector<size_t>& rowStarts) {
  const size_t held = Held(bytes, cellEnds, rowStarts);
  std::string().swap(bytes);
  std::vector<size_t>().swap(cellEnds);
  std::vector<size_t>().swap(rowStarts);
  if (held >= kSpareFrom && MallocExtension_ReleaseToSystem != nullptr) MallocExtension_ReleaseToSystem(held);
}

}  // namespace

void DBRows::Enlarge(size_t bytes, size_t cells, size_t rows) {
  if (bytes_.size() + bytes + (cellEnds_.size() + cells + rowStarts_.size() + rows) * sizeof(size_t) >= kSpareFrom) {
    TakeSpare(bytes, cells, rows);
  }
  Grow(bytes_, bytes, 4096);
  Grow(cellEnds_, cells, 0);
  Grow(rowStarts_, rows, 0);
}

void DBRows::TakeSpare(size_t moreBytes, size_t moreCells, size_t moreRows) {
  std::string bytes;
  std::vector<size_t> cellEnds, rowStarts;
  {
    SpareRows& spare = Spare();
    const std::lock_guard<std::mutex> hold(spare.lock);
    // Only a spare with room in every buffer: one too small would be copied again at once, and
    // this result's own buffers freed instead of kept.
    if (spare.bytes.capacity() < bytes_.size() + moreBytes || spare.cellEnds.capacity() < cellEnds_.size() + moreCells ||
        spare.rowStarts.capacity() < rowStarts_.size() + moreRows) {
      return;
    }
    bytes.swap(spare.bytes);
    cellEnds.swap(spare.cellEnds);
    rowStarts.swap(spare.rowStarts);
  }
  // Into the spare buffers, which keep their capacity; the small ones are freed on return.
  bytes.assign(bytes_);
  cellEnds.assign(cellEnds_.begin(), cellEnds_.end());
  rowStarts.assign(rowStarts_.begin(), rowStarts_.end());
  bytes_.swap(bytes);
  cellEnds_.swap(cellEnds);
  rowStarts_.swap(rowStarts);
}

void DBRows::AddCell(const char* bytes, size_t length) {
  Reserve(length, 1, 0);
  bytes_.append(bytes, length);
  cellEnds_.push_back(bytes_.size());
}

void DBRows::Add(const char* const* values, const int32_t* lengths, int32_t count) {
  // A connector's cells often lie back to back in one buffer: then the row's bytes are one copy.
  size_t total = 0;
  const char* first = nullptr;
  bool adjacent = true;
  for (int32_t i = 0; i < count; ++i) {
    if (values[i] == nullptr) continue;
    if (first == nullptr) first = values[i];
    adjacent = adjacent && values[i] == first + total;
    total += static_cast<size_t>(lengths[i]);
  }
  Reserve(total, static_cast<size_t>(count), 1);
  rowStarts_.push_back(cellEnds_.size());
  size_t end = bytes_.size();
  if (adjacent && total > 0) bytes_.append(first, total);
  for (int32_t i = 0; i < count; ++i) {
    if (values[i] == nullptr) {
      cellEnds_.push_back(end | kNullCell);
      continue;
    }
    if (!adjacent) bytes_.append(values[i], static_cast<size_t>(lengths[i]));
    end += static_cast<size_t>(lengths[i]);
    cellEnds_.push_back(end);
  }
}

const char* DBRows::AddPacked(const char* bytes, size_t byteCount, const int32_t* lengths, int32_t columns,
                              int32_t rowCount) {
  const size_t cells = static_cast<size_t>(columns) * static_cast<size_t>(rowCount);
  Reserve(0, cells, static_cast<size_t>(rowCount));
  // The cell ends are appended as the lengths are checked, counted from where these rows' bytes
  // will begin; a refused length takes them back.
  const size_t firstCell = cellEnds_.size();
  const size_t base = bytes_.size();
  size_t added = 0;
  for (size_t i = 0; i < cells; ++i) {
    const int32_t length = lengths[i];
    if (length < -1 || (length > 0 && static_cast<size_t>(length) > byteCount - added)) {
      cellEnds_.resize(firstCell);
      return length < -1 ? "negative cell length" : "cells beyond the bytes given";
    }
    added += static_cast<size_t>(std::max(length, 0));
    cellEnds_.push_back(length < 0 ? (base + added) | kNullCell : base + added);
  }
  Reserve(added, 0, 0);
  bytes_.append(bytes, added);
  for (int32_t row = 0; row < rowCount; ++row) rowStarts_.push_back(firstCell + static_cast<size_t>(row) * columns);
  return nullptr;
}

void DBRows::Add(std::initializer_list<std::optional<std::string_view>> cells) {
  rowStarts_.push_back(cellEnds_.size());
  for (const auto& cell : cells) {
    if (cell) {
      AddCell(cell->data(), cell->size());
    } else {
      cellEnds_.push_back(bytes_.size() | kNullCell);
    }
  }
}

void DBRows::clear() {
  // Swapped out, not cleared: the memory goes back at once, but for one large result's kept as
  // the spare (the larger of it and the one kept before). What is not kept is freed outside the
  // lock. Rows that never held memory of their own (an action that found nothing, a swapped
  // set of parameters never used) have nothing to give back.
  if (bytes_.capacity() == std::string().capacity() && cellEnds_.capacity() == 0 && rowStarts_.capacity() == 0) {
    bytes_.clear();
    return;
  }
  std::string bytes;
  std::vector<size_t> cellEnds, rowStarts;
  bytes.swap(bytes_);
  cellEnds.swap(cellEnds_);
  rowStarts.swap(rowStarts_);
  const size_t held = Held(bytes, cellEnds, rowStarts);
  if (held >= kSpareFrom && held <= kSpareMost) {
    SpareRows& spare = Spare();
    const std::lock_guard<std::mutex> hold(spare.lock);
    if (Held(spare.bytes, spare.cellEnds, spare.rowStarts) < held) {
      bytes.swap(spare.bytes);
      cellEnds.swap(spare.cellEnds);
      rowStarts.swap(spare.rowStarts);
    }
  }
  FreeNow(bytes, cellEnds, rowStarts);
}

void WebOutputParams::Reset() {
  columns.clear();
  rows.clear();
  rowsFound.reset();
  rowId = 0;
  actionStatement.clear();
}

WebInputParams* Variant::GetDBInput() {
  auto* params = dynamic_cast<DBParamsValue*>(this);
  return params != nullptr ? &params->input : nullptr;
}

WebOutputParams* Variant::GetDBOutput() {
  auto* params = dynamic_cast<DBParamsValue*>(this);
  return params != nullptr ? &params->output : nullptr;
}

// ---- data sources ----

DataSource::~DataSource() = default;
osError DataSource::UnsupportedOperation1(void*) { return -802; }
osError DataSource::UnsupportedOperation2(void*) { return -802; }
osError DataSource::UnsupportedOperation3(void*) { return -802; }
bool DataSource::UnsupportedQuery(void*, void*) { return false; }
bool DataSource::MatchesDataSourceName(Request*, const char* name) {
  return name != nullptr && Folded(name) == Folded(GetModuleName());
}
void DataSource::DoModuleAdmin(Request*, CharBuffer&, CharBuffer& answer) { answer = "no administration commands"; }

osError CAPIDataSourceProxy::CallCAPIFunc(quill_token token, datasource_action_t action, const quill_value_t* value) {
  if (callback_ == nullptr) return -802;
  return callback_(reinterpret_cast<void*>(static_cast<intptr_t>(token)), action, value);
}

bool CAPIDataSourceProxy::MatchesDataSourceName(Request* request, const char* name) {
  return DataSource::MatchesDataSourceName(request, name);
}

void CAPIDataSourceProxy::DoModuleAdmin(Request* request, CharBuffer& command, CharBuffer& answer) {
  DataSource::DoModuleAdmin(request, command, answer);
}

DataSourceRegistry& DataSourceRegistry::Global() {
  static auto* registry = new DataSourceRegistry();  // never destroyed: sources may call into the VM
  return *registry;
}

namespace {

// Every change of a registry counts here, under its lock; a thread remembers its last answers
// for as long as the count stands (a request asks for the same source by name and by pointer
// several times).
std::atomic<uint64_t> gRegistryChanges{0};

void RegistryChanged() { gRegistryChanges.fetch_add(1, std::memory_order_release); }

struct LastFound {
  const DataSourceRegistry* registry = nullptr;
  uint64_t changes = 0;
  uint64_t generation = 0;
  std::string name;  // as asked
  DataSource* source = nullptr;
};

struct LastId {
  const DataSourceRegistry* registry = nullptr;
  uint64_t changes = 0;
  const DataSource* source = nullptr;
  int32_t id = -1;
};

thread_local LastFound tLastFound;
thread_local LastId tLastId;

}  // namespace

bool DataSourceRegistry::AddDataSource(int32_t id, DataSource* source) {
  if (source == nullptr) return false;
  std::string key = Folded(source->GetModuleName());
  if (key.empty()) return false;
  std::lock_guard lock(mutex_);
  RegistryChanged();
  return sources_.emplace(std::move(key), Entry{id, {{source, RegisteringModuleGeneration()}}}).second;
}

DataSource* DataSourceRegistry::FindFor(const char* name, Request& request) const {
  return Find(name, request.Contents().moduleGeneration);
}

DataSource* DataSourceRegistry::Find(const char* name, uint64_t generation) const {
  if (name == nullptr) return nullptr;  // no source has an empty name
  LastFound& last = tLastFound;
  if (last.registry == this && last.changes == gRegistryChanges.load(std::memory_order_acquire) &&
      last.generation == generation && last.name == name) {
    return last.source;
  }
  std::lock_guard lock(mutex_);
  DataSource* found = nullptr;
  if (auto it = sources_.find(Folded(name)); it != sources_.end()) {
    const auto& versions = it->second.versions;
    for (auto version = versions.rbegin(); version != versions.rend(); ++version) {
      if (version->generation <= generation) {
        found = version->source;
        break;
      }
    }
  }
  last.registry = this;
  last.changes = gRegistryChanges.load(std::memory_order_relaxed);
  last.generation = generation;
  last.name = name;
  last.source = found;
  return found;
}

int32_t DataSourceRegistry::IdOf(const DataSource* source) const {
  LastId& last = tLastId;
  if (last.registry == this && last.changes == gRegistryChanges.load(std::memory_order_acquire) &&
      last.source == source) {
    return last.id;
  }
  std::lock_guard lock(mutex_);
  const int32_t id = [&] {
    for (const auto& [name, entry] : sources_) {
      for (const Version& version : entry.versions) {
        if (version.source == source) return entry.id;
      }
    }
    return -1;
  }();
  last = {this, gRegistryChanges.load(std::memory_order_relaxed), source, id};
  return id;
}

std::vector<std::string> DataSourceRegistry::Names() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  for (const auto& [name, entry] : sources_) names.emplace_back(entry.versions.back().source->GetModuleName());
  std::sort(names.begin(), names.end());
  return names;
}

bool DataSourceRegistry::Remove(const char* name) {
  std::vector<Version> versions;
  {
    std::lock_guard lock(mutex_);
    auto it = sources_.find(Folded(name));
    if (it == sources_.end()) return false;
    RegistryChanged();
    versions = std::move(it->second.versions);
    sources_.erase(it);
  }
  // Outside the lock: a destructor may run a last action.
  for (auto version = versions.rbegin(); version != versions.rend(); ++version) delete version->source;
  return true;
}

bool DataSourceRegistry::Replace(DataSource* source) {
  if (source == nullptr) return false;
  std::lock_guard lock(mutex_);
  auto it = sources_.find(Folded(source->GetModuleName()));
  if (it == sources_.end()) return false;
  RegistryChanged();
  it->second.versions.push_back({source, RegisteringModuleGeneration()});
  return true;
}

bool DataSourceRegistry::DropUnreachable() {
  std::vector<DataSource*> unreachable;
  bool kept = false;
  {
    std::lock_guard lock(mutex_);
    const uint64_t published = PublishedModuleGeneration();
    for (auto& [name, entry] : sources_) {
      auto& versions = entry.versions;
      // A version is found by requests holding a generation from its own up to its successor's.
      // One replaced outside a generation scope shares its successor's and is kept, as a request
      // may have found it before the replacement.
      for (size_t i = 0; i + 1 < versions.size();) {
        const uint64_t from = versions[i].generation;
        const uint64_t until = versions[i + 1].generation;
        if (until > from && until <= published && !ModuleGenerationsHeld(from, until)) {
          unreachable.push_back(versions[i].source);
          RegistryChanged();
          versions.erase(versions.begin() + static_cast<ptrdiff_t>(i));
        } else {
          kept = kept || until > from;
          ++i;
        }
      }
    }
  }
  // Outside the lock: a destructor sends the source its last action.
  for (DataSource* source : unreachable) delete source;
  return kept;
}

// ---- the request's side ----

ModuleRecord* Request::GetModuleRecord() {
  ModuleRecord& record = DatabaseState(*this).moduleRecord;
  if (record.registry == nullptr) record.registry = &DataSourceRegistry::Global();
  return &record;
}

DataSourceRec& Request::GetDataSourceRec() { return Innermost(*this).source; }
HostRec& Request::GetHostRec() { return Innermost(*this).host; }
DatabaseRec& Request::GetDatabaseRec() { return Innermost(*this).database; }

namespace {

// Inline actions that ended, emptied for the next swap on the thread: most requests swap a few
// times (an action, the source's own swap inside it, the close of its connection).
constexpr size_t kSpareActions = 4;
thread_local std::vector<std::unique_ptr<InlineAction>> tSpareActions;

std::unique_ptr<InlineAction> NewInlineAction() {
  auto& spare = tSpareActions;
  if (spare.empty()) return std::make_unique<InlineAction>();
  std::unique_ptr<InlineAction> action = std::move(spare.back());
  spare.pop_back();
  return action;
}

// Keeps an inline action that ended for the thread's next swap, emptied to what a new one holds.
// One whose parameters a module could still reach (their value was given a handle) or changed
// (holds a value, flags) dies instead, as do those beyond the few kept.
void Recycle(std::unique_ptr<InlineAction> action) {
  auto& spare = tSpareActions;
  const Variant& params = action->params;
  if (spare.size() >= kSpareActions || HasHandle(params) || Get<std::monostate>(params) == nullptr ||
      params.Contents().flags != 0) {
    return;
  }
  action->name.clear();
  action->source.id = 0;
  action->source.name.Reset();
  action->host.id = 0;
  action->host.name.Reset();
  action->host.user.Reset();
  CharBuffer().StealBuffer(action->host.password);  // the password's memory goes back, as before
  action->database.name.Reset();
  action->database.named = false;
  WebInputParams& in = action->params.input;
  in.table.clear();
  in.schema.clear();
  in.inputColumns.clear();
  in.logicalOp = QUILL_LOGICAL_AND;
  in.sortColumns.clear();
  in.returnColumns.clear();
  in.keyColumn.clear();
  in.keyValue.reset();
  in.skipRows = 0;
  in.maxRows = -1;
  in.rowId = 0;
  in.statement.clear();
  in.statementOnly = false;
  action->params.output.Reset();
  action->code = 0;
  action->message.clear();
  action->currentRow = -1;
  spare.push_back(std::move(action));
}

}  // namespace

void Request::SwapParams(const char* inlineName) {
  std::unique_ptr<InlineAction> action = NewInlineAction();
  if (inlineName != nullptr && *inlineName != '\0') action->name = inlineName;  // a new one's is empty
  DatabaseState(*this).inlines.push_back(std::move(action));
}

void Request::UnSwapParams(const char* inlineName) {
  auto& inlines = DatabaseState(*this).inlines;
  const std::string_view name = inlineName != nullptr ? inlineName : "";
  for (auto it = inlines.rbegin(); it != inlines.rend(); ++it) {
    if ((*it)->name == name) {
      std::unique_ptr<InlineAction> action = std::move(*it);
      inlines.erase(std::next(it).base());
      Recycle(std::move(action));
      return;
    }
  }
}

InlineAction* Request::GetInline(const char* inlineName) {
  auto& inlines = DatabaseState(*this).inlines;
  if (inlines.empty()) return nullptr;
  if (inlineName == nullptr) return inlines.back().get();
  for (auto it = inlines.rbegin(); it != inlines.rend(); ++it) {
    if ((*it)->name == inlineName) return it->get();
  }
  return nullptr;
}

void Request::DisposeInlineNoSave(InlineAction* action) {
  if (action != nullptr) action->params.output.Reset();
}

Variant* Request::GetInputParams(const char* inlineName) {
  InlineAction* action = inlineName == nullptr ? &Innermost(*this) : GetInline(inlineName);
  return action != nullptr ? &action->params : nullptr;
}

Variant* Request::GetOutputParams(const char* inlineName) { return GetInputParams(inlineName); }

QPExecState* Request::GetExecState() { return DatabaseState(*this).execState; }

namespace quill_service {

namespace {

// Sends the close to the connection's source; the connection is not read once the close runs.
void CloseConnection(Request& request, const DSConnection& connection) {
  if (connection.slot == nullptr) return;
  auto* proxy = dynamic_cast<CAPIDataSourceProxy*>(connection.source);
  // A source unregistered since has taken its connections with it.
  const int32_t sourceId = proxy != nullptr ? DataSourceRegistry::Global().IdOf(proxy) : -1;
  if (sourceId < 0) return;
  // The close runs on an inline action of its own, so the data source sees which host closes.
  FreshInlineAction fresh(request);
  InlineAction& action = fresh.action();
  action.source.id = sourceId;
  action.source.name = proxy->GetModuleName();
  action.host = connection.host;
  QPExecState base(&request);
  TExecState state(&base);
  state.currentDataSource = proxy;
  proxy->CallCAPIFunc(state.Token(), QUILL_DS_ACTION_CLOSE_CONNECTION, nullptr);
}

}  // namespace

InlineAction* CurrentInline(QPExecState& state) {
  if (state.request == nullptr) return nullptr;
  auto& inlines = DatabaseState(*state.request).inlines;
  return inlines.empty() ? nullptr : inlines.back().get();
}

void CloseConnections(Request& request) {
  // The request holds only the connection that closes (and what its close adds) while it closes,
  // and none afterwards. The first closes where it is; the others follow it into the same place.
  auto& live = DatabaseState(request).connections;
  std::vector<DSConnection> later;
  if (live.size() > 1) {
    later.assign(std::make_move_iterator(live.begin() + 1), std::make_move_iterator(live.end()));
    live.resize(1);
  }
  for (size_t next = 0; !live.empty();) {
    CloseConnection(request, live.front());
    live.clear();
    if (next == later.size()) break;
    live.push_back(std::move(later[next++]));
  }
}

}  // namespace quill_service
