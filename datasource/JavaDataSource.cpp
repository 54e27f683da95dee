#include "datasource/JavaDataSource.h"

#include <memory>
#include <vector>

#include "bridge/marshal.h"
#include "datasource/column_cache.h"
#include "datasource/connector_sql.h"
#include "startup/attach.h"
#include "startup/class_cache.h"

using bridge::LocalRef;

namespace {

constexpr datasource_action_t kActionInit = 0;
constexpr datasource_action_t kActionTerminate = 1;
constexpr datasource_action_t kActionListDatabases = 3;
constexpr datasource_action_t kActionListTables = 4;
constexpr datasource_action_t kActionSearch = 5;
constexpr datasource_action_t kActionAdd = 6;
constexpr datasource_action_t kActionUpdate = 7;
constexpr datasource_action_t kActionDelete = 8;
constexpr datasource_action_t kActionDescribe = 9;
constexpr datasource_action_t kActionExecute = 10;
constexpr datasource_action_t kActionListSchemas = 12;
constexpr datasource_action_t kActionCloseConnection = 13;
// A connector's administration actions, which the _jdbc_* tags send.
constexpr datasource_action_t kFirstAdminAction = 128;
constexpr datasource_action_t kLastAdminAction = 135;

// One pointer for empty name and data, so the value carries one Java string for both.
constexpr const char* kEmptyText = "";

// Prints and clears whatever a group of Java calls left pending.
void DescribePending(JNIEnv* env) {
  if (env->ExceptionCheck()) env->ExceptionDescribe();
}

// The innermost execution state of a request: its state, then the child links.
QPExecState* InnermostState(Request* request) {
  QPExecState* state = request != nullptr ? request->GetExecState() : nullptr;
  while (state != nullptr && state->child != nullptr) state = state->child;
  return state;
}

bool ReadBoolean(JNIEnv* env, jobject object, jclass cls, const char* field, bool* out) {
  jfieldID id = env->GetFieldID(cls, field, "Z");
  if (id == nullptr) {
    env->ExceptionClear();
    return false;
  }
  *out = env->GetBooleanField(object, id) != JNI_FALSE;
  return true;
}

// The field's UTF-8 text; false (member unchanged) when the field is missing or null.
bool ReadText(JNIEnv* env, jobject object, jclass cls, const char* field, std::string* out, bool* isNull) {
  jfieldID id = env->GetFieldID(cls, field, "Ljava/lang/String;");
  if (id == nullptr) {
    env->ExceptionClear();
    return false;
  }
  LocalRef<jstring> text(env, static_cast<jstring>(env->GetObjectField(object, id)));
  *isNull = !text;
  if (!text) return false;
  bridge::Utf8Chars chars(env, text.get());
  if (!chars) return false;
  *out = chars.get();
  return true;
}

}  // namespace

JavaDataSource::JavaDataSource(const char* sourceName, const char* text1, const char* text2, jobject instance,
                               jmethodID method, bool connector)
    : name(sourceName != nullptr ? sourceName : ""),
      extraText1(text1 != nullptr ? text1 : ""),
      extraText2(text2 != nullptr ? text2 : ""),
      isConnector(connector),
      javaInstance(instance),
      dispatchMethod(method) {
  JniAttachment attachment;
  if (JNIEnv* env = attachment.env(); env != nullptr && connector && instance != nullptr) {
    LocalRef<jclass> cls(env, env->GetObjectClass(instance));
    debuggingField_ = cls ? env->GetFieldID(cls.get(), "_debugging", "Z") : nullptr;
    if (debuggingField_ == nullptr) env->ExceptionClear();
    initOnActionField_ = cls ? env->GetFieldID(cls.get(), "_InitOnAction", "Z") : nullptr;
    if (initOnActionField_ == nullptr) env->ExceptionClear();
  }
}

JavaDataSource::~JavaDataSource() {
  JniAttachment attachment;
  if (JNIEnv* env = attachment.env()) {
    {
      TExecState state(nullptr);
      InvokeJavaAction(env, state, kActionTerminate, nullptr);
      DescribePending(env);
    }
    if (javaInstance != nullptr) env->DeleteGlobalRef(javaInstance);
  }
  javaInstance = nullptr;
  dispatchMethod = nullptr;
}

jint JavaDataSource::InvokeJavaAction(JNIEnv* env, TExecState& state, datasource_action_t action, jobject value) {
  if (state.currentDataSource == nullptr) state.currentDataSource = this;
  if (!gClassCache.complete || javaInstance == nullptr || dispatchMethod == nullptr) return -1;
  LocalRef<jobject> call(env, NewQuillCall(env, state.Token()));
  if (!call) {
    DescribePending(env);
    return -1;
  }
  const jint result = env->CallIntMethod(javaInstance, dispatchMethod, call.get(), action, value);
  DescribePending(env);
  return result;
}

jobject JavaDataSource::NewQuillValue(JNIEnv* env, const char* valueName, const char* data, jint type) {
  // Its constructors only assign the three fields, so it is allocated and filled like a record
  // a native hands back, without a call into Java.
  if (gClassCache.quillValue == nullptr) return nullptr;
  jobject value = env->AllocObject(gClassCache.quillValue);
  if (value != nullptr) bridge::FillQuillValue(env, quill_value_t{valueName, 0, data, 0, type}, value, true);
  DescribePending(env);
  return value;
}

namespace {

// The bound statement made by BoundStatement.fromAscii from its texts packed in one array; null
// (nothing pending) where a text is not ASCII or the VM cannot make it.
jobject PackedStatementValue(JNIEnv* env, const datasource::Statement& statement) {
  // A zero byte ends a host text: texts holding one go the way that reads them so.
  const auto plain = [](const std::string& text) {
    return bridge::IsAscii(text) && text.find('\0') == std::string::npos;
  };
  if (gClassCache.boundStatementFromAscii == nullptr || !plain(statement.text) || !plain(statement.boundText)) {
    return nullptr;
  }
  std::string packed;
  packed.reserve(statement.text.size() + statement.boundText.size() + 8 * statement.values.size());
  packed.append(statement.text).append(statement.boundText);
  for (const datasource::BoundValue& value : statement.values) {
    if (!plain(value.value)) return nullptr;
    packed.append(1, value.bare ? '1' : '0').append(value.value).push_back('\0');
  }
  const auto size = static_cast<jsize>(packed.size());
  LocalRef<jbyteArray> bytes(env, env->NewByteArray(size));
  jobject value = nullptr;
  if (bytes) {
    env->SetByteArrayRegion(bytes.get(), 0, size, reinterpret_cast<const jbyte*>(packed.data()));
    value = env->CallStaticObjectMethod(gClassCache.boundStatement, gClassCache.boundStatementFromAscii, bytes.get(),
                                        static_cast<jint>(statement.text.size()),
                                        static_cast<jint>(statement.boundText.size()), kTextType);
  }
  DescribePending(env);
  return value;
}

}  // namespace

jobject JavaDataSource::NewStatementValue(JNIEnv* env, const datasource::Statement& statement) {
  if (!statement.bound || !gClassCache.boundStatementReady) {
    return NewQuillValue(env, "SQL", statement.text.c_str(), kTextType);
  }
  if (jobject packed = PackedStatementValue(env, statement)) return packed;
  const jsize count = static_cast<jsize>(statement.values.size());
  LocalRef<jstring> nameText(env, bridge::KeptStringFromHost(env, "SQL"));
  LocalRef<jstring> text(env, bridge::NewStringFromHost(env, statement.text.c_str()));
  // The text with its values left out repeats with every run of the search.
  LocalRef<jstring> boundText(env, bridge::KeptStringFromHost(env, statement.boundText.c_str()));
  LocalRef<jobjectArray> values(env, env->NewObjectArray(count, gClassCache.string, nullptr));
  LocalRef<jbooleanArray> bare(env, env->NewBooleanArray(count));
  // The flags go over in one copy; the usual few fit on the stack.
  bridge::ShortArray<jboolean, 16> flags(static_cast<size_t>(count));
  jsize filled = 0;
  for (; filled < count && values && bare && !env->ExceptionCheck(); ++filled) {
    const datasource::BoundValue& value = statement.values[static_cast<size_t>(filled)];
    LocalRef<jstring> item(env, bridge::NewStringFromHost(env, value.value.c_str()));
    if (!item) break;
    env->SetObjectArrayElement(values.get(), filled, item.get());
    flags[filled] = value.bare ? JNI_TRUE : JNI_FALSE;
  }
  if (filled == count && bare && !env->ExceptionCheck()) env->SetBooleanArrayRegion(bare.get(), 0, count, flags.data());
  jobject value = nullptr;
  // Its constructor, like its parent's, only assigns the fields: allocated and filled here, as a
  // plain value is, without a call into Java on every search.
  if (!env->ExceptionCheck() && filled == count && nameText && text && boundText && values && bare) {
    value = env->AllocObject(gClassCache.boundStatement);
  }
  if (value != nullptr) {
    env->SetObjectField(value, gClassCache.quillValueName, nameText.get());
    env->SetObjectField(value, gClassCache.quillValueData, text.get());
    env->SetIntField(value, gClassCache.quillValueType, kTextType);
    env->SetObjectField(value, gClassCache.boundStatementBound, boundText.get());
    env->SetObjectField(value, gClassCache.boundStatementValues, values.get());
    env->SetObjectField(value, gClassCache.boundStatementBare, bare.get());
  }
  DescribePending(env);
  // A value left out would be bound as NULL: the statement goes as its text alone instead.
  return value != nullptr ? value : NewQuillValue(env, "SQL", statement.text.c_str(), kTextType);
}

bool JavaDataSource::ReadConnectorProperties(JNIEnv* env) {
  if (javaInstance == nullptr) return false;
  // Serialised: two threads reading at once would publish in either order.
  const std::lock_guard<std::mutex> reading(readLock_);
  // Fields that are missing or null keep their last value (a null catalog separator reads as ".").
  auto read = std::make_shared<ConnectorProperties>(*Properties());
  LocalRef<jclass> cls(env, env->GetObjectClass(javaInstance));
  ReadBoolean(env, javaInstance, cls.get(), "_Inited", &read->inited);
  if (read->inited) {
    ReadBoolean(env, javaInstance, cls.get(), "_SupportsSchemas", &read->supportsSchemas);
    ReadBoolean(env, javaInstance, cls.get(), "_SupportsCatalogs", &read->supportsCatalogs);
    ReadBoolean(env, javaInstance, cls.get(), "_SupportsConvert", &read->supportsConvert);
    ReadBoolean(env, javaInstance, cls.get(), "_BindsValues", &read->bindsValues);
    bool isNull = false;
    if (!ReadText(env, javaInstance, cls.get(), "_CatalogSeparator", &read->catalogSeparator, &isNull) && isNull) {
      read->catalogSeparator = ".";
    }
    ReadText(env, javaInstance, cls.get(), "_QuoteCharacter", &read->quoteCharacter, &isNull);
    ReadText(env, javaInstance, cls.get(), "_SchemaName", &read->schemaName, &isNull);
    ReadText(env, javaInstance, cls.get(), "_StatementTerminator", &read->statementTerminator, &isNull);
  }
  env->ExceptionClear();
  const bool inited = read->inited;
  if (inited) settledKept_.push_back(read);
  settled_.store(inited ? read.get() : nullptr, std::memory_order_release);
  properties_.store(std::move(read));
  return inited;
}

std::shared_ptr<const ConnectorProperties> JavaDataSource::Properties() const { return properties_.load(); }

JavaDataSource::PropertiesInUse JavaDataSource::SettledProperties(JNIEnv* env, TExecState& state) {
  // Every action but the first few: one load.
  if (const ConnectorProperties* settled = settled_.load(std::memory_order_acquire)) return {nullptr, settled};
  const auto held = [this] {
    std::shared_ptr<const ConnectorProperties> properties = Properties();
    const ConnectorProperties* raw = properties.get();
    return PropertiesInUse{std::move(properties), raw};
  };
  if (Properties()->inited || ReadConnectorProperties(env)) return held();
  if (initOnActionField_ != nullptr && env->GetBooleanField(javaInstance, initOnActionField_) != JNI_FALSE) {
    InvokeJavaAction(env, state, kActionInit, nullptr);
    DescribePending(env);
    ReadConnectorProperties(env);
  }
  return held();
}

void JavaDataSource::LogStatement(JNIEnv* env, const std::string& statement) {
  if (debuggingField_ == nullptr || env->GetBooleanField(javaInstance, debuggingField_) == JNI_FALSE) return;
  quill_log(2, "JDBC datasource \"%s\" SQL: %s\n", name.c_str(), statement.c_str());
}

void JavaDataSource::InitializeDataSource(JNIEnv* env) {
  (void)env;  // the operation attaches for itself: it may run on another thread than the caller's
  JniAttachment attachment;
  JNIEnv* own = attachment.env();
  if (own == nullptr) return;
  TExecState state(nullptr);
  InvokeJavaAction(own, state, kActionInit, nullptr);
  if (isConnector) ReadConnectorProperties(own);
}

// ---- name lists ----

void JavaDataSource::ListNames(datasource_action_t action, const DataSourceRec& source, const HostRec& host,
                               const DatabaseRec* database, std::vector<CharBuffer>* names, int* result) {
  Request* request = Request::GetCurrent();
  if (request == nullptr) {
    if (result != nullptr) *result = bridge::kNothingToDo;
    return;
  }
  request->SwapParams(kSwapInlineName);
  // Un-swapped on every path, an exception's too.
  struct UnSwap {
    Request* request;
    ~UnSwap() {
      request->DisposeInlineNoSave(request->GetInline(nullptr));
      request->UnSwapParams(kSwapInlineName);
    }
  } unswap{request};
  request->GetDataSourceRec() = source;
  request->GetHostRec() = host;
  if (database != nullptr) request->GetDatabaseRec() = *database;

  TExecState state(InnermostState(request));
  state.request = request;
  jint javaResult = -1;
  {
    JniAttachment attachment(request);
    JNIEnv* env = attachment.env();
    if (env == nullptr || !gClassCache.complete) {
      javaResult = kDataSourceUnavailable;
    } else {
      const char* databaseName = database != nullptr ? database->name.c_str() : nullptr;
      LocalRef<jobject> value(env, action == kActionListDatabases ? nullptr
                                   : action == kActionListTables ? NewQuillValue(env, databaseName, databaseName, kTextType)
                                                                 : NewQuillValue(env, kEmptyText, kEmptyText, kTextType));
      // A table list names its database: without the value Java is not asked, and the result is -1.
      if (value || action != kActionListTables) javaResult = InvokeJavaAction(env, state, action, value.get());
      DescribePending(env);
    }
  }
  if (names != nullptr && (action != kActionListTables || javaResult == 0)) {
    for (CharBuffer& entry : state.resultList) {
      names->emplace_back();
      names->back().StealBuffer(entry);
    }
  }
  if (result != nullptr) *result = javaResult;
}

void JavaDataSource::ListDatabaseNames(const DataSourceRec& source, const HostRec& host, std::vector<CharBuffer>* names,
                                       int* result) {
  ListNames(kActionListDatabases, source, host, nullptr, names, result);
}

void JavaDataSource::ListTableNames(const DataSourceRec& source, const HostRec& host, const DatabaseRec& database,
                                    std::vector<CharBuffer>* names, int* result) {
  ListNames(kActionListTables, source, host, &database, names, result);
}

void JavaDataSource::ListSchemaNames(const DataSourceRec& source, const HostRec& host, const DatabaseRec& database,
                                     std::vector<CharBuffer>* names, int* result) {
  ListNames(kActionListSchemas, source, host, &database, names, result);
}

// ---- record actions ----

datasource::Statement JavaDataSource::ConnectorStatement(JNIEnv* env, TExecState& state, datasource_action_t action,
                                                        std::string* cacheKey) {
  using namespace datasource;
  const quill_token token = state.Token();
  const PropertiesInUse properties = SettledProperties(env, state);
  const ActionInput input = ReadActionInput(token);
  const bool supportsConvert = properties->supportsConvert;
  // An update or a delete that no key can name is refused without a word to Java, so without
  // asking for columns either; its values, never sent, are then not looked up by type (each
  // lookup would report its column missing).
  const bool keyless = (action == kActionUpdate || action == kActionDelete) && !HasUsableKey(input);
  ConnectorSettings settings;
  settings.supportsCatalogs = properties->supportsCatalogs;
  settings.supportsSchemas = properties->supportsSchemas;
  settings.supportsConvert = supportsConvert || keyless;
  settings.bindsValues = properties->bindsValues;
  settings.quote = properties->quoteCharacter;
  settings.separator = properties->catalogSeparator;
  settings.terminator = properties->statementTerminator;
  settings.schemaName = properties->schemaName;
  WebOutputParams* output = nullptr;
  if (Variant* params = state.request != nullptr ? state.request->GetOutputParams(nullptr) : nullptr) {
    output = params->GetDBOutput();
  }
  OutputColumnTypes types(output);
  SqlBuilder builder(settings, &types);
  if (action == kActionDescribe) return builder.Describe(input);

  const ColumnList columns = GatherInputColumns(input);
  std::shared_ptr<const std::vector<DBColumnInfo>> keptColumns;  // read by types while the statement is written
  if (!supportsConvert && !keyless) {
    // The discovery's result columns tell the builder which values go bare. Kept columns are
    // found by the names the query would ask for, so that a repeated action writes no query.
    bool kept = false;
    if (output != nullptr && keepDiscoveredColumns) {
      const HostRec& host = state.request->GetHostRec();
      *cacheKey = ColumnCache::Key(host.id, host.name.c_str(), input.database.ok() ? input.database.value : "",
                                   builder.DiscoveryNames(input, columns));
      keptColumns = columnCache_.Find(*cacheKey);
      kept = keptColumns != nullptr;
      if (kept) types.ReadFrom(keptColumns.get());
    }
    const std::string query = kept ? std::string() : builder.DiscoveryQuery(input, columns);
    // Empty when a name cannot be written: the statement below is refused for it.
    if (!kept && query.empty()) cacheKey->clear();
    if (!query.empty()) {
      const size_t before = output != nullptr ? output->columns.size() : 0;
      LogStatement(env, query);
      LocalRef<jobject> value(env, NewQuillValue(env, "SQL", query.c_str(), kTextType));
      const jint found = InvokeJavaAction(env, state, kActionExecute, value.get());
      DescribePending(env);
      if (!cacheKey->empty() && found == 0 && output->columns.size() > before) {
        columnCache_.Keep(*cacheKey, {output->columns.begin() + static_cast<std::ptrdiff_t>(before), output->columns.end()});
      }
    }
  }
  Statement statement = action == kActionSearch   ? builder.Select(input)
                        : action == kActionAdd    ? builder.Insert(input, columns)
                        : action == kActionUpdate ? builder.Update(input, columns)
                                                  : builder.Delete(input);
  if (!supportsConvert && output != nullptr) output->Reset();
  if (!statement.message.empty()) {
    quill_setResultMessage(token, statement.message.c_str());
    // A refused name may be someone probing the page: a warning, where a refused value is news.
    quill_log(statement.code == kNameRefused ? 1 : 2, "%s: %s", name.c_str(), statement.message.c_str());
  }
  return statement;
}

osError JavaDataSource::RecordAction(Request* request, datasource_action_t action) {
  TExecState state(nullptr);
  state.request = request;
  JniAttachment attachment(request);
  JNIEnv* env = attachment.env();
  if (env == nullptr || !gClassCache.complete) return kDataSourceUnavailable;
  jobject value = nullptr;
  std::string cacheKey;  // of the discovered columns the statement used, when they are kept
  if (isConnector) {
    const datasource::Statement statement = ConnectorStatement(env, state, action, &cacheKey);
    if (!statement.send) return statement.code;
    LogStatement(env, statement.text);
    value = NewStatementValue(env, statement);
  }
  const LocalRef<jobject> held(env, value);
  const jint result = InvokeJavaAction(env, state, action, value);
  DescribePending(env);
  // Columns that misled a statement (the table changed since) are asked for again next time.
  if (result != 0 && !cacheKey.empty()) columnCache_.Drop(cacheKey);
  return result;
}

osError JavaDataSource::Search(Request* request) { return RecordAction(request, kActionSearch); }
osError JavaDataSource::Add(Request* request) { return RecordAction(request, kActionAdd); }
osError JavaDataSource::Update(Request* request) { return RecordAction(request, kActionUpdate); }
osError JavaDataSource::Delete(Request* request) { return RecordAction(request, kActionDelete); }
osError JavaDataSource::DescribeTable(Request* request) { return RecordAction(request, kActionDescribe); }

osError JavaDataSource::ExecuteStatement(Request* request) {
  TExecState state(nullptr);
  state.request = request;
  JniAttachment attachment(request);
  JNIEnv* env = attachment.env();
  if (env == nullptr || !gClassCache.complete) return kDataSourceUnavailable;
  const WebInputParams* input = nullptr;
  if (Variant* params = request != nullptr ? request->GetInputParams(nullptr) : nullptr) input = params->GetDBInput();
  LocalRef<jobject> value(env, NewQuillValue(env, "SQL", input != nullptr ? input->statement.c_str() : "", kTextType));
  if (!value) return -1;
  const jint result = InvokeJavaAction(env, state, kActionExecute, value.get());
  DescribePending(env);
  if (input != nullptr && datasource::MayChangeColumns(input->statement)) columnCache_.Clear();
  return result;
}

osError JavaDataSource::UnsupportedOperation1(void*) { return kUnsupportedOperation; }
osError JavaDataSource::UnsupportedOperation2(void*) { return kUnsupportedOperation; }
osError JavaDataSource::UnsupportedOperation3(void*) { return kUnsupportedOperation; }
bool JavaDataSource::UnsupportedQuery(void*, void*) { return false; }

// ---- the host's callback ----

osError DataSourceActionCallback(void* token, datasource_action_t action, const quill_value_t*) {
  if (action == kActionInit || action == kActionTerminate) return 0;
  const auto t = static_cast<quill_token>(reinterpret_cast<intptr_t>(token));
  TExecState* state = TExecState::FromToken(t);
  auto* source = state != nullptr ? dynamic_cast<JavaDataSource*>(state->currentDataSource) : nullptr;
  if (source == nullptr) return bridge::kNothingToDo;
  // A code sent by a script must not reach a connector's administration past the rights its tags need.
  if (source->isConnector && action >= kFirstAdminAction && action <= kLastAdminAction) {
    if (const osError refused = quill_dataSourceAllowed(t, QUILL_OP_ADMIN, source->name.c_str())) return refused;
  }

  JniAttachment attachment(state->request);
  JNIEnv* env = attachment.env();
  if (env == nullptr || !gClassCache.complete) return kDataSourceUnavailable;
  jint result;
  {
    LocalRef<jobject> value(env, source->NewQuillValue(env, kEmptyText, kEmptyText, kTextType));
    result = source->InvokeJavaAction(env, *state, action, value.get());
  }
  if (action == kActionCloseConnection) {
    void* connection = nullptr;
    if (quill_getDSConnection(t, &connection) == 0 && connection != nullptr) {
      env->DeleteGlobalRef(static_cast<jobject>(connection));
      // The slot must not hand out the deleted reference again.
      quill_setDSConnection(t, nullptr);
    }
  }
  return result;
}
