// QuillCall natives for the running tag: its name, parameters, body, definition and value.
#include "bridge/marshal.h"
#include "com_ferngate_quillpro_QuillCall.h"

using namespace bridge;


extern "C" {

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getTagName(JNIEnv* env, jobject self,
                                                                        jobject name) {
  return RecordToValue(env, self, {name}, name, [](quill_token t, quill_wvalue_t* record) {
    return quill_getTagNameW(t, record);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getTagParamCount(JNIEnv* env,
                                                                              jobject self,
                                                                              jobject count) {
  return NumberToIntValue(env, self, {count}, count,
                          [](quill_token t, int32_t* n) { return quill_getTagParamCount(t, n); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getTagParam(JNIEnv* env, jobject self,
                                                                         jint index,
                                                                         jobject param) {
  return RecordToValue(env, self, {param}, param, [index](quill_token t, quill_wvalue_t* record) {
    return quill_getTagParamW(t, index, record);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_tagParamIsDefined(JNIEnv* env,
                                                                               jobject self,
                                                                               jstring name) {
  return WithCall(env, self, {name}, [&](quill_token t) {
    Utf16Chars nameChars(env, name);
    if (!nameChars) return kBadString;
    return quill_tagParamIsDefinedW(t, nameChars.get());
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_findTagParam(JNIEnv* env,
                                                                          jobject self,
                                                                          jstring name,
                                                                          jobject param) {
  return NamedRecordToValue(env, self, {param, name}, name, param,
                            [](quill_token t, const quill_char* units, quill_wvalue_t* record) {
                              return quill_findTagParamW(t, units, record);
                            });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getTagEncoding(JNIEnv* env,
                                                                            jobject self,
                                                                            jobject encoding) {
  return NumberToIntValue(env, self, {encoding}, encoding,
                          [](quill_token t, int32_t* n) { return quill_getTagEncoding(t, n); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getTagParam2(JNIEnv* env,
                                                                          jobject self, jint index,
                                                                          jobject param) {
  return HandleToTypeRef(env, self, {param}, param, [index](quill_token t, quill_type* handle) {
    return quill_getTagParam2(t, index, handle);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_findTagParam2(JNIEnv* env,
                                                                           jobject self,
                                                                           jstring name,
                                                                           jobject param) {
  return HandleToTypeRef(env, self, {name, param}, param, [&](quill_token t, quill_type* handle) {
    // The name is released before the out-parameter is written.
    Utf16Chars nameChars(env, name);
    if (!nameChars) return kBadString;
    return quill_findTagParam2W(t, nameChars.get(), handle);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getTagSelf(JNIEnv* env, jobject self,
                                                                        jobject out) {
  return HandleToTypeRef(env, self, {out}, out,
                         [](quill_token t, quill_type* handle) { return quill_getTagSelf(t, handle); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_childrenRun(JNIEnv* env, jobject self,
                                                                         jobject result) {
  return HandleToTypeRef(env, self, {result}, result, [](quill_token t, quill_type* handle) {
    return quill_childrenRun(t, handle);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_findTag(JNIEnv* env, jobject self,
                                                                     jstring name, jobject tag,
                                                                     jboolean flag) {
  return HandleToTypeRef(env, self, {name, tag}, tag, [&](quill_token t, quill_type* handle) {
    Utf16Chars nameChars(env, name);
    if (!nameChars) return kBadString;
    return quill_findTagW(t, nameChars.get(), handle, flag != 0);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_tagGetReturnType(JNIEnv* env,
                                                                              jobject self,
                                                                              jobject tag,
                                                                              jobject type) {
  return RecordToValue(env, self, {type}, type, [&](quill_token t, quill_wvalue_t* record) {
    return quill_tagGetReturnTypeW(t, GetTypeRef(env, tag), record);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_tagSetReturnType(JNIEnv* env,
                                                                              jobject self,
                                                                              jobject tag,
                                                                              jstring typeName) {
  return WithCall(env, self, {typeName}, [&](quill_token t) {
    Utf16Chars typeChars(env, typeName);
    if (!typeChars) return kBadString;
    return quill_tagSetReturnTypeW(t, GetTypeRef(env, tag), typeChars.get());
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_tagGetExpectedParamCount(
    JNIEnv* env, jobject self, jobject tag, jobject count) {
  return NumberToIntValue(env, self, {count}, count, [&](quill_token t, int32_t* n) {
    return quill_tagGetExpectedParamCount(t, GetTypeRef(env, tag), n);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_tagGetExpectedParam(
    JNIEnv* env, jobject self, jobject tag, jint index, jobject param, jobject number) {
  return WithCall(env, self, {}, [&](quill_token t) {
    quill_wvalue_t record{};
    int32_t n = 0;
    return OnSuccess(quill_tagGetExpectedParamW(t, GetTypeRef(env, tag), index, &record, &n), [&] {
      if (param != nullptr) FillQuillValueW(env, record, param);
      if (number != nullptr) SetIntValue(env, &n, number);
    });
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_returnTagValue(JNIEnv* env,
                                                                            jobject self,
                                                                            jobject value) {
  return WithCall(env, self, {value}, [&](quill_token t) {
    return quill_returnTagValue(t, GetTypeRef(env, value));
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_returnTagValueBoolean(JNIEnv* env,
                                                                                   jobject self,
                                                                                   jboolean value) {
  return WithCall(env, self, {},
                  [&](quill_token t) { return quill_returnTagValueBoolean(t, value != 0); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_returnTagValueInteger(JNIEnv* env,
                                                                                   jobject self,
                                                                                   jlong value) {
  return WithCall(env, self, {},
                  [&](quill_token t) { return quill_returnTagValueInteger(t, value); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_returnTagValueDecimal(JNIEnv* env,
                                                                                   jobject self,
                                                                                   jdouble value) {
  return WithCall(env, self, {},
                  [&](quill_token t) { return quill_returnTagValueDecimal(t, value); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_returnTagValueString(JNIEnv* env,
                                                                                  jobject self,
                                                                                  jstring value) {
  return WithCall(env, self, {value}, [&](quill_token t) {
    Utf16Chars units(env, value);
    if (!units) return kBadString;
    return quill_returnTagValueStringW(t, units.get(), units.length());
  });
}

}  // extern "C"
