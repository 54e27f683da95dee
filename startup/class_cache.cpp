#include "startup/class_cache.h"

#include "host/qcapi.h"

ClassCache gClassCache;

namespace {

// An optional class's absence is not logged: the bridge works without it.
jclass GlobalClass(JNIEnv* env, const char* name, bool optional = false) {
  jclass local = env->FindClass(name);
  if (local == nullptr) {
    env->ExceptionClear();
    if (!optional) quill_log(2, "[QJAPI] Java class %s could not be found.", name);
    return nullptr;
  }
  return static_cast<jclass>(env->NewGlobalRef(local));
}

// IDs of a class that was not found stay null rather than being looked up on a null class.
jfieldID Field(JNIEnv* env, jclass cls, const char* name, const char* signature) {
  if (cls == nullptr) return nullptr;
  jfieldID id = env->GetFieldID(cls, name, signature);
  if (id == nullptr) env->ExceptionClear();
  return id;
}

jmethodID StaticMethod(JNIEnv* env, jclass cls, const char* name, const char* signature) {
  if (cls == nullptr) return nullptr;
  jmethodID id = env->GetStaticMethodID(cls, name, signature);
  if (id == nullptr) env->ExceptionClear();
  return id;
}

}  // namespace

void CacheJavaClasses(JNIEnv* env) {
  ClassCache& c = gClassCache;
  c.quillCall = GlobalClass(env, "com/marrowbay/quillpro/QuillCall");
  c.quillCallToken = Field(env, c.quillCall, "nativeRef", "I");
  c.typeRef = GlobalClass(env, "com/ferngate/quillpro/QuillTypeRef");
  c.typeRefHandle = Field(env, c.typeRef, "nativeRef", "I");
  c.quillValue = GlobalClass(env, "com/ferngate/quillpro/QuillValue");
  c.quillValueName = Field(env, c.quillValue, "name", "Ljava/lang/String;");
  c.quillValueData = Field(env, c.quillValue, "data", "Ljava/lang/String;");
  c.quillValueType = Field(env, c.quillValue, "type", "I");
  c.intValue = GlobalClass(env, "com/ferngate/quillpro/IntValue");
  c.intValueValue = Field(env, c.intValue, "value", "J");
  c.floatValue = GlobalClass(env, "com/ferngate/quillpro/FloatValue");
  c.floatValueValue = Field(env, c.floatValue, "value", "D");
  c.tagModule = GlobalClass(env, "com/ferngate/quillpro/QuillTagModule");
  c.string = GlobalClass(env, "java/lang/String");
  c.boundStatement = GlobalClass(env, "com/marrowbay/jdbc/BoundStatement");
  c.boundStatementBound = Field(env, c.boundStatement, "bound", "Ljava/lang/String;");
  c.boundStatementValues = Field(env, c.boundStatement, "values", "[Ljava/lang/String;");
  c.boundStatementBare = Field(env, c.boundStatement, "bare", "[Z");
  c.boundStatementFromAscii =
      StaticMethod(env, c.boundStatement, "fromAscii", "([BIII)Lcom/marrowbay/jdbc/BoundStatement;");
  c.boundStatementReady = c.string && c.boundStatement && c.boundStatementBound && c.boundStatementValues &&
                          c.boundStatementBare;
  c.moduleReloader = GlobalClass(env, "com/marrowbay/util/ModuleReloader", true);
  c.classOfReloadedCaller = StaticMethod(env, c.moduleReloader, "classOfReloadedCaller",
                                         "(Ljava/lang/String;)Ljava/lang/Class;");
  // Java strings are immutable: one empty string serves every empty name.
  jstring empty = env->NewString(nullptr, 0);
  if (empty != nullptr) c.emptyString = static_cast<jstring>(env->NewGlobalRef(empty));
  env->ExceptionClear();
  c.complete = c.quillCall && c.quillCallToken && c.typeRef && c.typeRefHandle &&
               c.quillValue && c.quillValueName && c.quillValueData && c.quillValueType &&
               c.intValue && c.intValueValue && c.floatValue && c.floatValueValue && c.tagModule &&
               c.emptyString;
}

jobject NewQuillCall(JNIEnv* env, jint token) {
  jobject call = env->AllocObject(gClassCache.quillCall);
  if (call != nullptr) env->SetIntField(call, gClassCache.quillCallToken, token);  // raises nothing
  return call;
}
