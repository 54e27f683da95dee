// QuillDSModule.registerDSModule: a Java module registers a data source served by a new instance
// of its class.
#include <jni.h>

#include <exception>

#include "bridge/jni_guards.h"
#include "com_ferngate_quillpro_QuillDSModule.h"
#include "datasource/JavaDataSource.h"

using bridge::LocalRef;
using bridge::Utf8Chars;

namespace {

constexpr const char* kDispatchSignatures[] = {
    "(Lcom/ferngate/quillpro/QuillCall;ILcom/ferngate/quillpro/QuillValue;)I",
    "(Lcom/marrowbay/quillpro/QuillCall;ILcom/marrowbay/quillpro/QuillValue;)I",
};

// A new instance of the registering object's class, or null when the class is not a
// data-source module or has no no-argument constructor.
jobject NewServingInstance(JNIEnv* env, jclass moduleClass) {
  LocalRef<jclass> base(env, env->FindClass("com/ferngate/quillpro/QuillDSModule"));
  if (!base) {
    env->ExceptionClear();
    return nullptr;
  }
  if (!env->IsAssignableFrom(moduleClass, base.get())) return nullptr;
  jmethodID constructor = env->GetMethodID(moduleClass, "<init>", "()V");
  if (constructor == nullptr) {
    env->ExceptionClear();
    return nullptr;
  }
  jobject instance = env->NewObject(moduleClass, constructor);
  if (env->ExceptionCheck()) env->ExceptionDescribe();
  return instance;
}

jmethodID FindDispatchMethod(JNIEnv* env, jclass moduleClass, const char* methodName) {
  for (const char* signature : kDispatchSignatures) {
    jmethodID method = env->GetMethodID(moduleClass, methodName, signature);
    if (method != nullptr) return method;
    env->ExceptionClear();
  }
  return nullptr;
}

void RegisterDataSource(JNIEnv* env, jobject self, jstring name, jstring methodName, jstring text1, jstring text2) {
  if (name == nullptr || methodName == nullptr) return;
  Request* request = Request::GetCurrent();
  static ModuleRecord outsideStartup{0, nullptr};
  ModuleRecord* record = request != nullptr ? request->GetModuleRecord() : &outsideStartup;
  DataSourceRegistry* registry = record->registry != nullptr ? record->registry : &DataSourceRegistry::Global();

  Utf8Chars nameText(env, name);
  Utf8Chars text1Chars(env, text1);
  Utf8Chars methodText(env, methodName);
  Utf8Chars text2Chars(env, text2);
  if (!nameText || !methodText) {
    env->ExceptionClear();
    return;
  }
  LocalRef<jclass> moduleClass(env, env->GetObjectClass(self));
  LocalRef<jobject> instance(env, NewServingInstance(env, moduleClass.get()));
  if (!instance) return;
  jmethodID method = FindDispatchMethod(env, moduleClass.get(), methodText.get());
  if (method == nullptr) return;

  jobject global = env->NewGlobalRef(instance.get());
  auto* source = new JavaDataSource(nameText.get(), text1Chars ? text1Chars.get() : "",
                                    text2Chars ? text2Chars.get() : "", global, method, false);
  source->SetCAPIFunc(DataSourceActionCallback);
  if (!registry->AddDataSource(record->id, source)) {
    quill_log(0, "    Failed to register datasource %s\n", nameText.get());
    delete source;
    return;
  }
  source->InitializeDataSource(env);
}

}  // namespace

extern "C" JNIEXPORT void JNICALL Java_com_ferngate_quillpro_QuillDSModule_registerDSModule(
    JNIEnv* env, jobject self, jstring name, jstring methodName, jint, jstring text1, jstring text2) {
  // Nothing may unwind into the VM.
  try {
    RegisterDataSource(env, self, name, methodName, text1, text2);
  } catch (const std::exception& e) {
    quill_log(0, "    Failed to register datasource: %s\n", e.what());
  }
}
