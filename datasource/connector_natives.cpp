// The JDBC connector's own natives (JDBCConnector.routeStamp, searchFacts0, actedBefore0,
// keepColumns, tellKeptColumns). Each spares a repeated action what the public natives would
// carry across or have the server do: what they stand for is read from, or told to, the server
// as those natives do.
#include "datasource/connector_natives.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bridge/marshal.h"
#include "datasource/JavaDataSource.h"

namespace {

// Numbers handed out in order and never again, each for one value: a number a connector kept
// can only stand for the value it stood for. Emptied when full; what comes after gets new numbers.
template <class Value, class Hash = std::hash<Value>>
class Numbered {
 public:
  // The number of value (equal values share one), made when it has none.
  jlong Of(const Value& value) {
    const std::lock_guard guard(lock_);
    if (const auto found = numberOf_.find(value); found != numberOf_.end()) return found->second;
    if (numberOf_.size() >= kMostKept) {
      numberOf_.clear();
      byNumber_.clear();
    }
    numberOf_.emplace(value, ++last_);
    byNumber_.emplace(last_, std::make_shared<const Value>(value));
    return last_;
  }
  // The value a number stands for; null for one that stands for none (any more).
  std::shared_ptr<const Value> At(jlong number) const {
    const std::lock_guard guard(lock_);
    const auto found = byNumber_.find(number);
    return found != byNumber_.end() ? found->second : nullptr;
  }

 private:
  static constexpr size_t kMostKept = 1024;
  mutable std::mutex lock_;
  std::unordered_map<Value, jlong, Hash> numberOf_;
  std::unordered_map<jlong, std::shared_ptr<const Value>> byNumber_;
  jlong last_ = 0;
};

// The route this thread stamped last: a worker mostly serves one host and database again, and
// comparing their key with the last one is cheaper than looking it up among all numbered ones.
// A number is never reused, so the kept one stands for its key even after the table was emptied.
struct LastRoute {
  std::string key;
  jlong stamp = 0;
};
thread_local LastRoute tLastRoute;

// Whether key is the one StampOf writes for this id text and these parts, compared in place, so
// that an action on the thread's last route writes no key.
bool KeyIs(std::string_view key, std::string_view id, std::initializer_list<const CharBuffer*> parts) {
  if (!key.starts_with(id)) return false;
  key.remove_prefix(id.size());
  for (const CharBuffer* part : parts) {
    const std::string_view text(part->Data(), part->Length());
    if (key.size() <= text.size() || key.front() != '\0' || key.substr(1, text.size()) != text) return false;
    key.remove_prefix(text.size() + 1);
  }
  return key.empty();
}

// The stamp of the action's host record (id, URL, user, password) and database, the records the
// host, host id and database natives read; 0 for a state without an action.
jlong StampOf(quill_token t) {
  static auto* stamps = new Numbered<std::string>();  // used by actions until the process ends
  TExecState* state = TExecState::FromToken(t);
  Request* request = state != nullptr ? state->request : nullptr;
  if (request == nullptr || request->GetInline(nullptr) == nullptr) return 0;
  const HostRec& host = request->GetHostRec();
  const DatabaseRec& database = request->GetDatabaseRec();
  LastRoute& last = tLastRoute;
  char id[16];
  const std::string_view idText(id, static_cast<size_t>(std::to_chars(id, id + sizeof id, host.id).ptr - id));
  const std::initializer_list<const CharBuffer*> parts = {&host.name, &host.user, &host.password, &database.name};
  if (last.stamp != 0 && KeyIs(last.key, idText, parts)) return last.stamp;
  // Nul cannot occur inside a host text, so it parts the five unambiguously.
  std::string key(idText);
  for (const CharBuffer* part : parts) {
    key += '\0';
    key.append(part->Data(), part->Length());
  }
  last.stamp = stamps->Of(key);
  last.key = std::move(key);
  return last.stamp;
}

// routeStamp(QuillCall): StampOf the call's action.
jlong JNICALL RouteStamp(JNIEnv* env, jclass, jobject call) {
  jlong stamp = 0;
  bridge::WithCall(env, call, {call}, [&](quill_token t) -> jint {
    stamp = StampOf(t);
    return 0;
  });
  return stamp;
}

// Whether the request had no connection slot for the action's source and host; when it had none,
// the action's empty one is made (actedBefore0 answers the opposite).
bool MadeFirstSlot(quill_token t) {
  void* connection = nullptr;
  return quill_getDSConnection(t, &connection) != 0 && quill_setDSConnection(t, nullptr) == 0;
}

// searchFacts0(QuillCall, statement, long[5]): what a search reads of its action before it runs,
// in one crossing. Sets the action's statement as setActionStatement does, and fills into with
// the route stamp (routeStamp), the rows to skip, the row after the last one wanted (the most
// rows added to them, Long.MAX_VALUE for no limit) and 1 for a statement-only action, each read
// as getSkipRows, getMaxRows and getIsStatementOnly read it (a number the host cannot give is 0);
// and, for an action that is not statement-only, 1 when it is the request's first on its host,
// whose empty slot it made as actedBefore0 does (else 0, the slot to be read as before).
// Returns false, with into unchanged, when the call names no action.
jboolean JNICALL SearchFacts(JNIEnv* env, jclass, jobject call, jstring statement, jlongArray into) {
  if (into == nullptr || env->GetArrayLength(into) < 5) return JNI_FALSE;
  const jint result = bridge::WithCall(env, call, {call, statement}, [&](quill_token t) -> jint {
    const bridge::Utf16Chars units(env, statement);
    if (!units) return bridge::kBadString;
    quill_setActionStatementW(t, units.get());
    int32_t skip = 0, most = 0;
    bool statementOnly = false;
    quill_getSkipRows(t, &skip);
    quill_getMaxRows(t, &most);
    const bool flagRead = quill_getIsStatementOnly(t, &statementOnly) == 0;
    const jlong first = std::max<jlong>(0, skip);
    const bool onlyStatement = flagRead && statementOnly;
    const jlong facts[5] = {StampOf(t), first, most < 0 ? std::numeric_limits<jlong>::max() : first + most,
                            onlyStatement ? 1 : 0, !onlyStatement && MadeFirstSlot(t) ? 1 : 0};
    env->SetLongArrayRegion(into, 0, 5, facts);
    return 0;
  });
  return result == 0 ? JNI_TRUE : JNI_FALSE;
}

// actedBefore0(QuillCall): whether the action's request has a connection slot for its source and
// host, which an earlier action made; when it has none, this action makes it, empty. The server
// closes only slots that hold a connection. Answers true when the slot cannot be read, so that
// the connector holds its connection as the public natives let it.
jboolean JNICALL ActedBefore(JNIEnv* env, jclass, jobject call) {
  bool before = true;
  bridge::WithCall(env, call, {call}, [&](quill_token t) -> jint {
    before = !MadeFirstSlot(t);
    return 0;
  });
  return before ? JNI_TRUE : JNI_FALSE;
}

struct ToldColumn {
  std::string name;  // Latin-1, as addColumnInfos hands it to the server
  jint type, size, flags;
  bool operator==(const ToldColumn&) const = default;
};
using ToldColumns = std::vector<ToldColumn>;

struct ToldColumnsHash {
  size_t operator()(const ToldColumns& columns) const {
    size_t hash = columns.size();
    for (const ToldColumn& column : columns) {
      for (const size_t part : {std::hash<std::string>{}(column.name), static_cast<size_t>(column.type),
                                static_cast<size_t>(column.size), static_cast<size_t>(column.flags)}) {
        hash = hash * 31 + part;
      }
    }
    return hash;
  }
};

Numbered<ToldColumns, ToldColumnsHash>& KeptColumns() {
  static auto* kept = new Numbered<ToldColumns, ToldColumnsHash>();  // used by actions until the process ends
  return *kept;
}

// keepColumns(names, types, sizes, flags): the number of this column list, read as
// addColumnInfos reads it; 0 when it cannot be read (addColumnInfos then says why).
jlong KeepColumnsRead(JNIEnv* env, jobjectArray names, jintArray types, jintArray sizes, jintArray flags) {
  const bridge::ColumnArrays read(env, names, types, sizes, flags);
  if (read.code() != 0 || env->ExceptionCheck()) {
    env->ExceptionClear();
    return 0;
  }
  ToldColumns columns;
  columns.reserve(static_cast<size_t>(read.size()));
  for (jsize i = 0; i < read.size(); ++i) {
    columns.push_back({read.name(i), read.type(i), read.columnSize(i), read.flags(i)});
  }
  return KeptColumns().Of(columns);
}

jlong JNICALL KeepColumns(JNIEnv* env, jclass, jobjectArray names, jintArray types, jintArray sizes,
                          jintArray flags) {
  if (names == nullptr || types == nullptr || sizes == nullptr || flags == nullptr) return 0;
  // Nothing may unwind into the VM: a list that cannot be kept is told by name instead.
  try {
    return KeepColumnsRead(env, names, types, sizes, flags);
  } catch (...) {
    return 0;
  }
}

// tellKeptColumns(QuillCall, number): adds the kept list's columns to the action, as
// addColumnInfos would; false when the number stands for no list (kept too long ago, or never).
jboolean JNICALL TellKeptColumns(JNIEnv* env, jclass, jobject call, jlong number) {
  bool told = false;
  bridge::WithCall(env, call, {call}, [&](quill_token t) -> jint {
    const std::shared_ptr<const ToldColumns> columns = KeptColumns().At(number);
    if (!columns) return 0;
    told = true;
    for (const ToldColumn& column : *columns) {
      const osError result = quill_addColumnInfo(t, column.name.c_str(), column.type, column.size, column.flags);
      if (result != 0) return result;
    }
    return 0;
  });
  return told ? JNI_TRUE : JNI_FALSE;
}

}  // namespace

void BindConnectorNatives(JNIEnv* env, jclass connectorClass) {
  static const JNINativeMethod methods[] = {
      {const_cast<char*>("routeStamp"), const_cast<char*>("(Lcom/ferngate/quillpro/QuillCall;)J"),
       reinterpret_cast<void*>(&RouteStamp)},
      {const_cast<char*>("searchFacts0"),
       const_cast<char*>("(Lcom/ferngate/quillpro/QuillCall;Ljava/lang/String;[J)Z"),
       reinterpret_cast<void*>(&SearchFacts)},
      {const_cast<char*>("actedBefore0"), const_cast<char*>("(Lcom/ferngate/quillpro/QuillCall;)Z"),
       reinterpret_cast<void*>(&ActedBefore)},
      {const_cast<char*>("keepColumns"), const_cast<char*>("([Ljava/lang/String;[I[I[I)J"),
       reinterpret_cast<void*>(&KeepColumns)},
      {const_cast<char*>("tellKeptColumns"), const_cast<char*>("(Lcom/ferngate/quillpro/QuillCall;J)Z"),
       reinterpret_cast<void*>(&TellKeptColumns)},
  };
  bridge::LocalRef<jclass> at(env, static_cast<jclass>(env->NewLocalRef(connectorClass)));
  while (at) {
    if (env->RegisterNatives(at.get(), methods, std::size(methods)) == 0) return;
    env->ExceptionClear();
    at = bridge::LocalRef<jclass>(env, env->GetSuperclass(at.get()));
  }
}
