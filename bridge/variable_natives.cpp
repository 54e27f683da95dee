// QuillCall natives for script variables.
#include "bridge/marshal.h"
#include "com_ferngate_quillpro_QuillCall.h"

using namespace bridge;

extern "C" {

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getVariableCount(JNIEnv* env,
                                                                              jobject self,
                                                                              jstring name,
                                                                              jobject count) {
  return NumberToIntValue(env, self, {count, name}, count, [&](quill_token t, int32_t* n) {
    Utf16Chars nameChars(env, name);
    if (!nameChars) return kBadString;
    return quill_getVariableCountW(t, nameChars.get(), n);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getVariable(JNIEnv* env,
                                                                         jobject self,
                                                                         jstring name, jint index,
                                                                         jobject value) {
  return NamedRecordToValue(env, self, {value, name}, name, value,
                            [index](quill_token t, const quill_char* units, quill_wvalue_t* record) {
                              return quill_getVariableW(t, units, index, record);
                            });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_setVariable(JNIEnv* env,
                                                                         jobject self,
                                                                         jstring name,
                                                                         jstring value, jint mode) {
  return WithCall(env, self, {name, value}, [&](quill_token t) {
    // Destruction order releases the value before the name.
    Utf16Chars nameChars(env, name);
    if (!nameChars) return kBadString;
    Utf16Chars valueChars(env, value);
    if (!valueChars) return kBadString;
    return quill_setVariableW(t, nameChars.get(), valueChars.get(), mode);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_removeVariable(JNIEnv* env,
                                                                            jobject self,
                                                                            jstring name,
                                                                            jint mode) {
  return WithCall(env, self, {name}, [&](quill_token t) {
    Utf16Chars nameChars(env, name);
    if (!nameChars) return kBadString;
    return quill_removeVariableW(t, nameChars.get(), mode);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getVariable2(JNIEnv* env,
                                                                          jobject self,
                                                                          jstring name,
                                                                          jobject value) {
  return HandleToTypeRef(env, self, {name, value}, value, [&](quill_token t, quill_type* handle) {
    Utf16Chars nameChars(env, name);
    if (!nameChars) return kBadString;
    return quill_getVariable2W(t, nameChars.get(), handle);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_setVariable2(JNIEnv* env,
                                                                          jobject self,
                                                                          jstring name,
                                                                          jobject value) {
  return WithCall(env, self, {name, value}, [&](quill_token t) {
    Utf16Chars nameChars(env, name);
    if (!nameChars) return kBadString;
    return quill_setVariable2W(t, nameChars.get(), GetTypeRef(env, value));
  });
}

}  // extern "C"
