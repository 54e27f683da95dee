// JDBCDataSource.registerJDBCModule: the JDBC connector registers one of its own objects as a
// connector data source, whose record actions reach it as SQL the module writes.
#include <jni.h>

#include <exception>
#include <new>

#include "bridge/jni_guards.h"
#include "com_marrowbay_jdbc_JDBCDataSource.h"
#include "datasource/JavaDataSource.h"
#include "datasource/connector_natives.h"

using bridge::LocalRef;
using bridge::Utf8Chars;

namespace {

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
  BindConnectorNatives(env, cls.get());
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
