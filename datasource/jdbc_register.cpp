// JDBCDataSource.registerJDBCModule: the JDBC connector registers one of its own objects as a
// connector data source, whose record actions reach it as SQL the module writes.
#include <jni.h>

#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

#include "bridge/jni_guards.h"
#include "bridge/marshal.h"
#include "com_marrowbay_jdbc_JDBCDataSource.h"
#include "datasource/JavaDataSource.h"

using bridge::LocalRef;
using bridge::Utf8Chars;

namespace {

// The stamps of host records and databases: one number per distinct (host id, URL, user,
// password, database), handed out in order and never again, so that a stamp a connector kept
// can only match the same five. Emptied when full; what comes after gets new numbers.
class RouteStamps {
 public:
  jlong Of(const std::string& key) {
    const std::lock_guard guard(lock_);
    if (const auto found = byKey_.find(key); found != byKey_.end()) return found->second;
    if (byKey_.size() >= kMostKept) byKey_.clear();
    return byKey_.emplace(key, ++last_).first->second;
  }

 private:
  static constexpr size_t kMostKept = 256;
  std::mutex lock_;
  std::unordered_map<std::string, jlong> byKey_;
  jlong last_ = 0;
};

// JDBCConnector.routeStamp(QuillCall): the stamp of the action's host record and database, read
// as the host, host id and database natives read them; 0 for a call that has no action.
jlong JNICALL RouteStamp(JNIEnv* env, jclass, jobject call) {
  static auto* stamps = new RouteStamps();  // used by actions until the process ends
  jlong stamp = 0;
  bridge::WithCall(env, call, {}, [&](quill_token t) -> jint {
    TExecState* state = TExecState::FromToken(t);
    if (state == nullptr || state->request == nullptr) return bridge::kNothingToDo;
    quill_value_t host{}, login{}, database{};
    if (quill_getDataHost(t, &host, &login) != 0 || quill_getDataSourceName(t, &database, nullptr, nullptr) != 0) {
      return bridge::kNothingToDo;
    }
    // Nul cannot occur inside a host text, so it parts the five unambiguously.
    std::string key = std::to_string(state->request->GetHostRec().id);
    for (const char* part : {host.data, login.name, login.data, database.data}) {
      key += '\0';
      if (part != nullptr) key += part;
    }
    stamp = stamps->Of(key);
    return 0;
  });
  return stamp;
}

// Bound on the class that declares it, from the connector's own object: the module's class
// loader does not look natives up in this library by name. A connector class without it
// compares its routes field by field.
void BindRouteStamp(JNIEnv* env, jclass connectorClass) {
  static const JNINativeMethod method{const_cast<char*>("routeStamp"),
                                      const_cast<char*>("(Lcom/ferngate/quillpro/QuillCall;)J"),
                                      reinterpret_cast<void*>(&RouteStamp)};
  LocalRef<jclass> at(env, static_cast<jclass>(env->NewLocalRef(connectorClass)));
  while (at) {
    if (env->RegisterNatives(at.get(), &method, 1) == 0) return;
    env->ExceptionClear();
    at = LocalRef<jclass>(env, env->GetSuperclass(at.get()));
  }
}

constexpr const char* kConnectorDispatch =
    "(Lcom/marrowbay/quillpro/QuillCall;ILcom/marrowbay/quillpro/QuillValue;)I";

void RegisterConnector(JNIEnv* env, jobject self, jstring name, jstring methodName) {
  if (name == nullptr || methodName == nullptr) return;
  Request* request = Request::GetCurrent();
  static ModuleRecord outsideStartup{0, nullptr};
  ModuleRecord* record = request != nullptr ? request->GetModuleRecord() : &outsideStartup;
  DataSourceRegistry* registry = record->registry != nullptr ? record->registry : &DataSourceRegistry::Global();

  LocalRef<jclass> base(env, env->FindClass("com/marrowbay/jdbc/JDBCDataSource"));
  Utf8Chars nameText(env, name);
  Utf8Chars methodText(env, methodName);
  if (!base || !nameText || !methodText) {
    env->ExceptionClear();
    return;
  }
  LocalRef<jclass> cls(env, env->GetObjectClass(self));
  if (!env->IsAssignableFrom(cls.get(), base.get())) return;
  jmethodID method = env->GetMethodID(cls.get(), methodText.get(), kConnectorDispatch);
  if (method == nullptr) {
    env->ExceptionClear();
    return;
  }
  jobject global = env->NewGlobalRef(self);
  auto* source = global != nullptr ? new (std::nothrow) JavaDataSource(nameText.get(), "", "", global, method, true)
                                   : nullptr;
  if (source == nullptr || source->javaInstance == nullptr) {
    quill_log(0, "    Failed to create new Java intance (%s)\n", nameText.get());
    if (source != nullptr) {
      delete source;
    } else if (global != nullptr) {
      env->DeleteGlobalRef(global);
    }
    return;
  }
  BindRouteStamp(env, cls.get());
  source->SetCAPIFunc(DataSourceActionCallback);
  if (!registry->AddDataSource(record->id, source)) {
    quill_log(0, "    Failed to register JDBC datasource %s\n", nameText.get());
    delete source;
    return;
  }
  source->InitializeDataSource(env);
}

}  // namespace

extern "C" JNIEXPORT void JNICALL Java_com_marrowbay_jdbc_JDBCDataSource_registerJDBCModule(
    JNIEnv* env, jobject self, jstring name, jstring methodName, jint) {
  try {
    RegisterConnector(env, self, name, methodName);
  } catch (const std::exception& e) {
    quill_log(0, "    Failed to register JDBC datasource: %s\n", e.what());
  } catch (...) {
  }
}
