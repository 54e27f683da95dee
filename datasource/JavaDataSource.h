// A data source whose actions are served by a Java object: every database action the host runs
// on it is one call of the object's dispatch method with a request object, an action code and a
// value object.
#pragma once

#include <jni.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "datasource/column_cache.h"
#include "datasource/sql_builder.h"
#include "host/datasource.h"

// The connector properties of a source as one value: read from the Java object's fields at once
// and published whole, so that a statement is built from one consistent set.
struct ConnectorProperties {
  bool inited = false;
  bool supportsSchemas = false;
  bool supportsCatalogs = false;
  bool supportsConvert = true;
  bool bindsValues = false;
  std::string schemaName;
  std::string quoteCharacter;
  std::string catalogSeparator;
  std::string statementTerminator;
};

class JavaDataSource : public CAPIDataSourceProxy {
 public:
  // Takes ownership of the global reference javaInstance. A null text2 is empty.
  JavaDataSource(const char* name, const char* text1, const char* text2, jobject javaInstance,
                 jmethodID dispatchMethod, bool isConnector);
  // Sends action 1, then releases the Java object.
  ~JavaDataSource() override;

  const char* GetModuleName() override { return name.c_str(); }
  void ListDatabaseNames(const DataSourceRec& source, const HostRec& host, std::vector<CharBuffer>* names,
                         int* result) override;
  void ListTableNames(const DataSourceRec& source, const HostRec& host, const DatabaseRec& database,
                      std::vector<CharBuffer>* names, int* result) override;
  osError Search(Request* request) override;
  osError Add(Request* request) override;
  osError UnsupportedOperation1(void* argument) override;
  osError Update(Request* request) override;
  osError Delete(Request* request) override;
  osError DescribeTable(Request* request) override;
  osError UnsupportedOperation2(void* argument) override;
  osError ExecuteStatement(Request* request) override;
  osError UnsupportedOperation3(void* argument) override;
  bool UnsupportedQuery(void* first, void* second) override;
  void ListSchemaNames(const DataSourceRec& source, const HostRec& host, const DatabaseRec& database,
                       std::vector<CharBuffer>* names, int* result) override;

  // One call of the dispatch method on the execution state; binds the state to this source
  // when it names none yet. -1 when no request object could be made.
  jint InvokeJavaAction(JNIEnv* env, TExecState& state, datasource_action_t action, jobject value);
  // A new QuillValue (local reference) or null. data equal to name is one string.
  jobject NewQuillValue(JNIEnv* env, const char* name, const char* data, jint type);
  // The value ("SQL", text) of a record action's statement (local reference) or null: for a
  // statement with its values bound, the BoundStatement that also carries that form.
  jobject NewStatementValue(JNIEnv* env, const datasource::Statement& statement);
  // Reads the connector properties from the Java object's fields and publishes them; false when
  // it is not inited (then only that is published).
  bool ReadConnectorProperties(JNIEnv* env);
  // The properties last published. Each action holds its own reference, so a later read by
  // another thread never changes text a builder is reading.
  std::shared_ptr<const ConnectorProperties> Properties() const;
  // Action 0, then (connectors) the connector properties.
  void InitializeDataSource(JNIEnv* env);

  // Registration texts. Connector sources (registered by the JDBC connector) get the SQL of each
  // record action from the statement builder.
  CharBuffer name;
  CharBuffer extraText1;
  CharBuffer extraText2;
  bool isConnector = false;
  // Discovered columns are kept (java_column_cache, read when the source is registered).
  bool keepDiscoveredColumns = datasource::gColumnCacheEnabled.load(std::memory_order_relaxed);
  jobject javaInstance;  // global reference
  jmethodID dispatchMethod;

 private:
  osError RecordAction(Request* request, datasource_action_t action);
  // The statement of a connector source's record action (after the column discovery, when the
  // driver does not convert); not to be sent when the builder refused or found no key.
  // cacheKey receives the key of the discovered columns when they are kept (or were found kept).
  datasource::Statement ConnectorStatement(JNIEnv* env, TExecState& state, datasource_action_t action,
                                           std::string* cacheKey);
  void ListNames(datasource_action_t action, const DataSourceRec& source, const HostRec& host,
                 const DatabaseRec* database, std::vector<CharBuffer>* names, int* result);
  // Logs a statement the module wrote while the connector's boolean field "_debugging" is true.
  void LogStatement(JNIEnv* env, const std::string& statement);
  // The properties an action reads: a settled snapshot through its pointer alone, one still being
  // settled held for the action.
  struct PropertiesInUse {
    std::shared_ptr<const ConnectorProperties> held;
    const ConnectorProperties* properties;
    const ConnectorProperties* operator->() const { return properties; }
  };
  // The connector properties, read again until the connector reports them final: from what it
  // published, then, for a connector whose boolean field "_InitOnAction" is true, after action 0
  // on the action's own state, which lets it learn its settings from the action's database
  // before the first statement is written.
  PropertiesInUse SettledProperties(JNIEnv* env, TExecState& state);
  std::mutex readLock_;  // one reader of the Java fields at a time
  std::atomic<std::shared_ptr<const ConnectorProperties>> properties_{std::make_shared<const ConnectorProperties>()};
  // The last inited snapshot, for actions to read without taking properties_'s lock and count:
  // with every worker's action taking them, their cache lines went back and forth between the
  // cores. Each inited snapshot is kept in settledKept_ (under readLock_) until the source goes,
  // so the pointer never dangles; a connector is inited once per initialisation, so they are few.
  std::atomic<const ConnectorProperties*> settled_{nullptr};
  std::vector<std::shared_ptr<const ConnectorProperties>> settledKept_;
  // The connector object's "_debugging" field (null when it has none); its class lives as long
  // as the object this source holds.
  jfieldID debuggingField_ = nullptr;
  // Its "_InitOnAction" field (null when it has none).
  jfieldID initOnActionField_ = nullptr;
  datasource::ColumnCache columnCache_;
};

// The callback registered on every Java data source: any action code the host sends (but 0
// and 1, answered at once) goes to the Java object of the state's current data source.
osError DataSourceActionCallback(void* token, datasource_action_t action, const quill_value_t* value);

// What a data-source operation answers when the thread cannot reach the VM or the bridge's
// classes are missing.
inline constexpr osError kDataSourceUnavailable = -10997;
inline constexpr osError kUnsupportedOperation = -802;
inline constexpr const char* kSwapInlineName = "_______CAPIDataSourceProxy_temp_yo";
inline constexpr jint kTextType = QUILL_TYPE_TEXT;
