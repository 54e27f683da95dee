// QuillCall natives for the server's general services: semaphores, formatting, stored data,
// users, constants, the log, paths, raw inclusion, the site, and runRequest; and
// QuillLogging.setDestination. Most pass text to the host as ISO-8859-1; several need no token.
#include "bridge/java_types.h"
#include "bridge/marshal.h"
#include "com_ferngate_quillpro_QuillCall.h"
#include "com_ferngate_quillpro_QuillLogging.h"
#include "host/request.h"
#include "host/site.h"
#include "tags/JavaTag.h"

using namespace bridge;

namespace {

// The host writes zero-terminated 8-bit paths into a buffer of this size.
constexpr int32_t kPathBufferSize = 1024;

// The start of a native that needs no request: required arguments first (-10999), then the
// body, with nothing the host throws reaching the VM.
template <class Body>
jint WithoutCall(std::initializer_list<const void*> required, Body&& body) {
  for (const void* argument : required) {
    if (argument == nullptr) return kNullArgument;
  }
  if (!gClassCache.complete) return kGenericError;
  try {
    return body();
  } catch (const osException& e) {
    return e.GetCode() != 0 ? e.GetCode() : kGenericError;
  } catch (...) {
    return kGenericError;
  }
}

// Natives that hand the host one ISO-8859-1 text (a semaphore name, a target).
template <class HostCall>
jint Latin1Call(JNIEnv* env, jobject self, std::initializer_list<const void*> required, jstring text,
                HostCall&& host) {
  return WithCall(env, self, required, [&](quill_token t) {
    Latin1Chars latin1(env, text);
    if (!latin1) return kBadString;
    return host(t, latin1.get());
  });
}

// The path natives: null for a null path (or, where the host needs the request, an unbound
// call), the path itself when it cannot be converted, else the host's path. When the host
// fails it has written nothing, and the answer is null.
template <class HostCall>
jstring PathCall(JNIEnv* env, jstring path, HostCall&& host) {
  if (path == nullptr) return nullptr;
  Latin1Chars latin1(env, path);
  if (!latin1) return path;
  char buffer[kPathBufferSize] = {};
  if (host(latin1.get(), buffer) != 0) return nullptr;
  const jstring result = NewStringFromHost(env, buffer);
  env->ExceptionDescribe();
  return result;
}

template <class HostCall>
jstring TokenPathCall(JNIEnv* env, jobject self, jstring path, HostCall&& host) {
  if (path == nullptr || !gClassCache.complete) return nullptr;
  const quill_token t = GetRequestToken(env, self);
  if (t == 0) return nullptr;
  return PathCall(env, path, [&](const char* latin1, char* buffer) { return host(t, latin1, buffer); });
}

// runRequest's work once its state and request exist: the method's result, -10998 when it
// threw, or -9956 when it cannot be run.
jint RunModuleMethod(JNIEnv* env, quill_token token, jstring className, jstring methodName,
                     jint argument) {
  Utf8Chars classChars(env, className);
  Utf8Chars methodChars(env, methodName);
  jint result = kNothingToDo;
  if (!classChars || !methodChars) return result;
  LocalRef<jobject> call(env, NewQuillCall(env, token));
  if (!call) return result;
  LocalRef<jclass> cls(env, CallerClass(env, classChars.get()));
  if (!cls) return result;
  if (!env->IsAssignableFrom(cls.get(), gClassCache.tagModule)) {
    // Without the module contract there is no constructor to trust: nothing is run.
    quill_log(2, "%s is not a subclass of QuillTagModule class.", classChars.get());
    return result;
  }
  const jmethodID ctor = env->GetMethodID(cls.get(), "<init>", "()V");
  if (ctor == nullptr) return result;
  const jmethodID method = FindTagMethod(env, cls.get(), methodChars.get());
  if (method == nullptr) return result;
  LocalRef<jobject> instance(env, env->NewObject(cls.get(), ctor));
  env->ExceptionDescribe();
  if (!instance) return result;
  result = env->CallIntMethod(instance.get(), method, call.get(), argument);
  // The int a call that threw returns means nothing: such a call has a code of its own.
  if (env->ExceptionCheck()) result = kJavaTagThrew;
  return result;
}

}  // namespace

extern "C" {

// ---- semaphores, formatting, stored data ----

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_createSem(JNIEnv* env, jobject self, jstring name) {
  return Latin1Call(env, self, {name}, name, [](quill_token t, const char* n) { return quill_createSem(t, n); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_destroySem(JNIEnv* env, jobject self, jstring name) {
  return Latin1Call(env, self, {name}, name, [](quill_token t, const char* n) { return quill_destroySem(t, n); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_acquireSem(JNIEnv* env, jobject self, jstring name) {
  return Latin1Call(env, self, {name}, name, [](quill_token t, const char* n) { return quill_acquireSem(t, n); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_releaseSem(JNIEnv* env, jobject self, jstring name) {
  return Latin1Call(env, self, {name}, name, [](quill_token t, const char* n) { return quill_releaseSem(t, n); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_formatBuffer(JNIEnv* env, jobject self, jstring text,
                                                                          jobject result) {
  return Latin1Call(env, self, {text}, text, [&](quill_token t, const char* latin1) {
    quill_value_t record{};
    return OnSuccess(quill_formatBuffer(t, latin1, &record), [&] {
      if (result != nullptr) FillQuillValueUtf8(env, record, result, false);
    });
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_storeHasData(JNIEnv* env, jobject self, jstring key,
                                                                          jobject present) {
  return Latin1Call(env, self, {key}, key, [&](quill_token t, const char* latin1) {
    int32_t flag = 0;
    return OnSuccess(quill_storeHasData(t, latin1, &flag), [&] {
      if (present != nullptr) SetIntValue(env, &flag, present);
    });
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_storePutData__Ljava_lang_String_2Ljava_lang_String_2(
    JNIEnv* env, jobject self, jstring key, jstring value) {
  return Latin1Call(env, self, {key}, key, [&](quill_token t, const char* latin1Key) {
    Latin1Chars latin1Value(env, value);
    if (!latin1Value) return kBadString;
    return quill_storePutData(t, latin1Key, latin1Value.get(), latin1Value.length());
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_storePutData__Ljava_lang_String_2_3B(JNIEnv* env,
                                                                                              jobject self,
                                                                                              jstring key,
                                                                                              jbyteArray value) {
  return Latin1Call(env, self, {key, value}, key, [&](quill_token t, const char* latin1Key) {
    ByteElements bytes(env, value);
    if (!bytes) return kGenericError;
    return quill_storePutData(t, latin1Key, bytes.get(), env->GetArrayLength(value));
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_storeGetData(JNIEnv* env, jobject self, jstring key,
                                                                          jobject value) {
  return Latin1Call(env, self, {value}, key, [&](quill_token t, const char* latin1) {
    quill_value_t record{};
    int32_t extra = 0;
    return OnSuccess(quill_storeGetData(t, latin1, &record, &extra),
                     [&] { FillQuillValueUtf8(env, record, value, false); });
  });
}

// ---- users and rights ----

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_isAdministrator(JNIEnv* env, jobject self) {
  return WithCall(env, self, {}, [](quill_token t) { return quill_isAdministrator(t); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_isAnonymous(JNIEnv* env, jobject self) {
  return WithCall(env, self, {}, [](quill_token t) { return quill_isAnonymous(t); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_operationAllowed(JNIEnv* env, jobject self,
                                                                              jint operation, jstring target) {
  return Latin1Call(env, self, {}, target,
                    [operation](quill_token t, const char* latin1) { return quill_operationAllowed(t, operation, latin1); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_switchToUser(JNIEnv* env, jobject self, jstring user,
                                                                          jstring second) {
  return Latin1Call(env, self, {}, user, [&](quill_token t, const char* latin1User) {
    Latin1Chars latin1Second(env, second);  // null or unreadable: passed as no text
    return quill_switchToUser(t, latin1User, latin1Second.get());
  });
}

// ---- constants and logging (no token) ----

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_registerConstant(JNIEnv* env, jobject, jstring name,
                                                                              jobject value) {
  return WithoutCall({value, name}, [&] {
    Utf16Chars units(env, name);
    if (!units) return kBadString;
    return quill_registerConstantW(units.get(), GetTypeRef(env, value));
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_registerConstant2(JNIEnv* env, jobject, jstring first,
                                                                               jstring second, jobject value) {
  return WithoutCall({value, first, second}, [&] {
    Utf16Chars firstUnits(env, first);
    Utf16Chars secondUnits(env, second);
    if (!firstUnits || !secondUnits) return kBadString;
    return quill_registerConstant2W(firstUnits.get(), secondUnits.get(), GetTypeRef(env, value));
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_log(JNIEnv* env, jobject, jint level, jstring message) {
  return WithoutCall({}, [&] {
    Latin1Chars text(env, message);
    if (!text) return kBadString;
    return quill_log(level, "%s", text.get());  // the message is data, never a format
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillLogging_setDestination(JNIEnv*, jclass, jint first,
                                                                               jint second) {
  return quill_logSetDestination(first, second);
}

// ---- paths ----

JNIEXPORT jstring JNICALL Java_com_ferngate_quillpro_QuillCall_getPlatformSpecificPath(JNIEnv* env, jobject,
                                                                                       jstring path) {
  return PathCall(env, path, [](const char* p, char* buffer) {
    return quill_getPlatformSpecificPath(p, buffer, kPathBufferSize);
  });
}

JNIEXPORT jstring JNICALL Java_com_ferngate_quillpro_QuillCall_getInternalPath(JNIEnv* env, jobject, jstring path) {
  return PathCall(env, path,
                  [](const char* p, char* buffer) { return quill_getInternalPath(p, buffer, kPathBufferSize); });
}

JNIEXPORT jstring JNICALL Java_com_ferngate_quillpro_QuillCall_fullyQualifyPath(JNIEnv* env, jobject self,
                                                                                jstring path) {
  return TokenPathCall(env, self, path, [](quill_token t, const char* p, char* buffer) {
    return quill_fullyQualifyPath(t, p, buffer, kPathBufferSize);
  });
}

JNIEXPORT jstring JNICALL Java_com_ferngate_quillpro_QuillCall_resolvePath(JNIEnv* env, jobject self, jstring path) {
  return TokenPathCall(env, self, path, [](quill_token t, const char* p, char* buffer) {
    return quill_resolvePath(t, p, buffer, kPathBufferSize);
  });
}

JNIEXPORT jstring JNICALL Java_com_ferngate_quillpro_QuillCall_resolveIncludePath(JNIEnv* env, jobject self,
                                                                                  jstring path) {
  return TokenPathCall(env, self, path, [](quill_token t, const char* p, char* buffer) {
    return quill_resolveIncludePath(t, p, buffer, kPathBufferSize);
  });
}

JNIEXPORT jstring JNICALL Java_com_ferngate_quillpro_QuillCall_internalToFullPlatformPath(JNIEnv* env, jobject self,
                                                                                          jstring path) {
  return TokenPathCall(env, self, path, [](quill_token t, const char* p, char* buffer) {
    return quill_internalToFullPlatformPath(t, p, buffer, kPathBufferSize);
  });
}

JNIEXPORT jboolean JNICALL Java_com_ferngate_quillpro_QuillCall_isFullInternalPath(JNIEnv* env, jobject,
                                                                                   jstring path) {
  Latin1Chars latin1(env, path);
  return latin1 && quill_isFullInternalPath(latin1.get()) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_setAutoResolveFullPaths(JNIEnv* env, jobject self,
                                                                                     jboolean enable) {
  return WithCall(env, self, {}, [enable](quill_token t) { return quill_setAutoResolveFullPaths(t, enable != 0); });
}

JNIEXPORT jboolean JNICALL Java_com_ferngate_quillpro_QuillCall_getAutoResolveFullPaths(JNIEnv* env, jobject self) {
  if (!gClassCache.complete) return JNI_FALSE;
  const quill_token t = GetRequestToken(env, self);
  if (t == 0) return JNI_FALSE;
  bool flag = false;
  quill_getAutoResolveFullPaths(t, &flag);  // the flag stays false when the host fails
  return flag ? JNI_TRUE : JNI_FALSE;
}

// ---- other services ----

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_includeRaw(JNIEnv* env, jobject self, jstring path,
                                                                        jobject content) {
  return Latin1Call(env, self, {content}, path, [&](quill_token t, const char* latin1) {
    quill_value_t record{};
    return OnSuccess(quill_includeRaw(t, latin1, &record),
                     [&] { FillQuillValueUtf8(env, record, content, false); });
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getSiteID(JNIEnv* env, jobject self) {
  return WithCall(env, self, {}, [](quill_token t) {
    int32_t id = 0;
    const osError result = quill_getSiteID(t, &id);
    return result == 0 ? id : result;  // site ids are positive, the host's codes negative
  });
}

JNIEXPORT jstring JNICALL Java_com_ferngate_quillpro_QuillCall_getSiteName(JNIEnv* env, jobject self) {
  if (!gClassCache.complete) return nullptr;
  const quill_token t = GetRequestToken(env, self);
  if (t == 0) return nullptr;
  const quill_char* units = nullptr;
  int32_t length = 0;
  if (quill_getSiteNameW(t, &units, &length) != 0 || units == nullptr || length <= 0) return nullptr;
  const jstring name = env->NewString(reinterpret_cast<const jchar*>(units), length);
  env->ExceptionDescribe();
  return name;
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_outputTagDataF(JNIEnv*, jobject, jint, jint) {
  return kGenericError;
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_runRequest(JNIEnv* env, jobject, jstring className,
                                                                        jstring methodName, jint argument, jint) {
  if (className == nullptr || methodName == nullptr) return kNullArgument;
  if (!gClassCache.complete) return kNothingToDo;
  jint result = kNothingToDo;
  try {
    TExecState state(nullptr);
    // A thread with no request of its own (a timer, a start-up job) gets one for the call.
    Request* request = Request::GetCurrent();
    std::unique_ptr<Request> owned;
    if (request == nullptr) {
      owned = std::make_unique<Request>();
      owned->SetSite(SiteMapper::FindByID(1));
      request = owned.get();
    }
    state.request = request;
    result = RunModuleMethod(env, state.Token(), className, methodName, argument);
    env->ExceptionDescribe();
    env->ExceptionClear();
  } catch (...) {
    result = kNothingToDo;  // the host could not make the state or the request
  }
  return result;
}

}  // extern "C"
