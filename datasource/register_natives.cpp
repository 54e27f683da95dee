// QuillDSModule.registerDSModule: a Java module registers a data source served by a new instance
// of its class.
#include <jni.h>

#include <exception>
#include <string>

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

// The class's binary name ("a.b.C"), or empty.
std::string ClassName(JNIEnv* env, jclass cls) {
  LocalRef<jclass> classClass(env, env->GetObjectClass(cls));
  jmethodID getName = classClass ? env->GetMethodID(classClass.get(), "getName", "()Ljava/lang/String;") : nullptr;
  LocalRef<jstring> name(env, getName != nullptr ? static_cast<jstring>(env->CallObjectMethod(cls, getName)) : nullptr);
  Utf8Chars text(env, name.get());
  env->ExceptionClear();
  return text ? text.get() : "";
}

// Whether moduleClass is a reloaded copy of the class serving the registered source: same name,
// another class (another class loader). Only then may a registration take an existing name.
bool ReloadOf(JNIEnv* env, DataSource* registered, jclass moduleClass) {
  auto* java = dynamic_cast<JavaDataSource*>(registered);
  if (java == nullptr || java->isConnector) return false;
  LocalRef<jclass> earlier(env, env->GetObjectClass(java->javaInstance));
  return earlier && !env->IsSameObject(earlier.get(), moduleClass) &&
         ClassName(env, earlier.get()) == ClassName(env, moduleClass);
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
    // A reloaded module takes its source's place; actions already running finish on the old one.
    if (!ReloadOf(env, registry->Find(nameText.get()), moduleClass.get()) || !registry->Replace(source)) {
      quill_log(0, "    Failed to register datasource %s\n", nameText.get());
      delete source;
      return;
    }
    quill_log(2, "    Data source %s is served by the reloaded module from now on.", nameText.get());
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
