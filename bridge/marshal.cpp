#include "bridge/marshal.h"

#include <unicode/unistr.h>

#include "host/os.h"

namespace bridge {

char* JStringToLatin1(JNIEnv* env, jstring text, int* outLength) {
  if (text == nullptr) return nullptr;
  const jchar* units = env->GetStringChars(text, nullptr);
  if (units == nullptr) return nullptr;
  const jsize length = env->GetStringLength(text);
  char* latin1 = nullptr;
  try {
    latin1 = CharBuffer(reinterpret_cast<const quill_char*>(units), length, "ISO-8859-1").ReleaseBuffer();
  } catch (const osException&) {
    // Reported as an unreadable string; nothing may unwind into the VM.
  }
  env->ReleaseStringChars(text, units);
  if (latin1 != nullptr && outLength != nullptr) *outLength = length;
  return latin1;
}

Latin1Chars::Latin1Chars(JNIEnv* env, jstring text)
    : chars_(JStringToLatin1(env, text, &length_)) {}

namespace {

void SetNameUtf(JNIEnv* env, const quill_value_t& record, jobject value, bool withName) {
  if (withName && record.name != nullptr) {
    LocalRef<jstring> name(env, env->NewStringUTF(record.name));
    env->SetObjectField(value, gClassCache.quillValueName, name.get());
  }
}

}  // namespace

void FillQuillValue(JNIEnv* env, const quill_value_t& record, jobject value, bool withName) {
  SetNameUtf(env, record, value, withName);
  LocalRef<jstring> data(env, record.data != nullptr ? env->NewStringUTF(record.data) : nullptr);
  env->SetObjectField(value, gClassCache.quillValueData, data.get());
  env->SetIntField(value, gClassCache.quillValueType, record.type);
  env->ExceptionDescribe();
}

void FillQuillValueUtf8(JNIEnv* env, const quill_value_t& record, jobject value, bool withName) {
  SetNameUtf(env, record, value, withName);
  if (record.data != nullptr) {
    const icu::UnicodeString text(record.data, static_cast<int32_t>(record.dataSize), "UTF-8");
    LocalRef<jstring> data(
        env, env->NewString(reinterpret_cast<const jchar*>(text.getBuffer()), text.length()));
    if (data) env->SetObjectField(value, gClassCache.quillValueData, data.get());
  }
  env->SetIntField(value, gClassCache.quillValueType, record.type);
  env->ExceptionDescribe();
}

void FillQuillValueW(JNIEnv* env, const quill_wvalue_t& record, jobject value) {
  // Positional parameters have empty names: they share one string instead of a new one each.
  const bool sharedName = record.nameSize == 0 && gClassCache.emptyString != nullptr;
  LocalRef<jstring> newName(env, record.name != nullptr && !sharedName
                                     ? env->NewString(reinterpret_cast<const jchar*>(record.name),
                                                      record.nameSize)
                                     : nullptr);
  const jstring name = sharedName ? gClassCache.emptyString : newName.get();
  if (record.name != nullptr) env->SetObjectField(value, gClassCache.quillValueName, name);
  if (record.data != nullptr) {
    if (record.data == record.name) {
      env->SetObjectField(value, gClassCache.quillValueData, name);
    } else {
      LocalRef<jstring> data(
          env, env->NewString(reinterpret_cast<const jchar*>(record.data), record.dataSize));
      env->SetObjectField(value, gClassCache.quillValueData, data.get());
    }
  }
  env->SetIntField(value, gClassCache.quillValueType, record.type);
  env->ExceptionDescribe();
}

}  // namespace bridge
