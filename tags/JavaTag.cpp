#include "tags/JavaTag.h"

#include <cstring>
#include <string>

#include "bridge/jni_guards.h"
#include "startup/attach.h"
#include "startup/class_cache.h"

using bridge::LocalRef;

namespace {

char* CopyText(const char* text) {
  if (text == nullptr) return nullptr;
  const size_t length = std::strlen(text);
  char* copy = new char[length + 1];
  std::memcpy(copy, text, length + 1);
  return copy;
}

// Prints the pending exception, clears it, and leaves its description as the call's result
// message so the script sees why the tag failed.
void ReportThrownException(JNIEnv* env, quill_token token) {
  LocalRef<jthrowable> thrown(env, env->ExceptionOccurred());
  env->ExceptionDescribe();
  std::u16string message = u"QJAPI: the Java tag method threw ";
  LocalRef<jclass> throwable(env, env->FindClass("java/lang/Throwable"));
  jmethodID toString =
      throwable ? env->GetMethodID(throwable.get(), "toString", "()Ljava/lang/String;") : nullptr;
  if (toString != nullptr) {
    LocalRef<jstring> text(env, static_cast<jstring>(env->CallObjectMethod(thrown.get(), toString)));
    if (env->ExceptionCheck()) {
      env->ExceptionClear();  // a toString that throws leaves the message without a description
    } else {
      bridge::Utf16Chars chars(env, text.get());
      if (chars) message.append(reinterpret_cast<const char16_t*>(chars.get()), chars.length());
    }
  }
  env->ExceptionClear();
  quill_setResultMessageW(token, reinterpret_cast<const quill_char*>(message.c_str()));
}

}  // namespace

JavaTag::JavaTag(const char* className, jobject moduleInstance, jmethodID tagMethod,
                 jmethodID constructor)
    : moduleInstance_(moduleInstance),
      moduleClass_(nullptr),
      tagMethod_(tagMethod),
      constructor_(constructor),
      className_(CopyText(className)) {
  if (moduleInstance_ == nullptr) return;  // a tag without an instance has no class to call
  JniAttachment attachment;
  if (JNIEnv* env = attachment.env()) {
    LocalRef<jclass> cls(env, env->GetObjectClass(moduleInstance_));
    moduleClass_ = static_cast<jclass>(env->NewGlobalRef(cls.get()));
  }
}

JavaTag::~JavaTag() {
  delete[] className_;
  JniAttachment attachment;
  if (JNIEnv* env = attachment.env()) {
    if (moduleInstance_ != nullptr) env->DeleteGlobalRef(moduleInstance_);
    if (moduleClass_ != nullptr) env->DeleteGlobalRef(moduleClass_);
  }
  moduleInstance_ = nullptr;
  moduleClass_ = nullptr;
  tagMethod_ = nullptr;
  constructor_ = nullptr;
  className_ = nullptr;
}

void JavaTag::Run(CallFrame* frame, Variant* result, Request* request) {
  QPExecState* caller = frame != nullptr ? frame->state : nullptr;
  TExecState state(caller);
  result->Init();
  osError code = 0;
  {
    JniAttachment attachment(request);
    JNIEnv* env = attachment.env();
    if (env == nullptr || !gClassCache.complete) {
      quill_setResultMessage(state.Token(), env == nullptr
                                                ? "QJAPI: the thread could not be attached to the Java VM"
                                                : "QJAPI: the bridge's Java classes are not loaded");
      code = kJavaUnavailable;
    } else {
      // Exceptions are printed and cleared only where a step reports failure: when every step
      // succeeds nothing can be pending, and the call makes no JNI calls beyond its work.
      bool objectMissing = true;
      LocalRef<jobject> call(env, NewQuillCall(env, state.Token()));
      // A tag made without its instance, constructor or method has nothing to run.
      if (call && moduleClass_ != nullptr && constructor_ != nullptr && tagMethod_ != nullptr) {
        // Every call runs on a fresh instance; module classes need not be thread-safe.
        LocalRef<jobject> instance(env, env->NewObject(moduleClass_, constructor_));
        if (instance) {
          objectMissing = false;
          code = env->CallIntMethod(instance.get(), tagMethod_, call.get(), jint{1});
          // The int JNI returns after an exception means nothing; the exception is the answer.
          if (env->ExceptionCheck()) {
            ReportThrownException(env, state.Token());
            code = kJavaTagThrew;
          }
        }
      }
      if (objectMissing) {
        env->ExceptionDescribe();
        env->ExceptionClear();
      }
    }
  }
  if (code == 0) return;

  request->SetResultCode(code);
  std::u16string message;
  if (Variant* text = request->GetResultMessage()) message = text->GetString(caller);
  const CharBuffer utf8(reinterpret_cast<const quill_char*>(message.c_str()), -1, "UTF-8");
  throw QPWhatShouldReallyBeAnQCAPIReturnCode(utf8.c_str(), code);
}
