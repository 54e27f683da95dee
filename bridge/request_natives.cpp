// QuillCall natives for the request: parameters, result code and message, output, headers, cookies.
#include "bridge/marshal.h"
#include "com_ferngate_quillpro_QuillCall.h"

using namespace bridge;

extern "C" {

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getRequestParam(JNIEnv* env,
                                                                             jobject self,
                                                                             jint which,
                                                                             jobject value) {
  return WithCall(env, self, {value}, [&](quill_token t) {
    LocalRef<jstring> name(
        env, static_cast<jstring>(env->GetObjectField(value, gClassCache.quillValueName)));
    HostUtf8Chars nameChars(env, name.get());
    if (name && !nameChars) return kBadString;  // the VM left its exception for the caller
    quill_value_t record{};
    record.name = nameChars.get();
    return OnSuccess(quill_getRequestParam(t, which, &record),
                     [&] { FillQuillValue(env, record, value, false); });
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getQuillParam(JNIEnv* env,
                                                                           jobject self,
                                                                           jint which,
                                                                           jobject value) {
  return WithCall(env, self, {value}, [&](quill_token t) {
    quill_value_t record{};
    return OnSuccess(quill_getQuillParam(t, which, &record),
                     [&] { FillQuillValue(env, record, value, false); });
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_setResultCode(JNIEnv* env,
                                                                           jobject self,
                                                                           jint code) {
  return WithCall(env, self, {}, [&](quill_token t) { return quill_setResultCode(t, code); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_setResultMessage(JNIEnv* env,
                                                                              jobject self,
                                                                              jstring message) {
  return WithCall(env, self, {message}, [&](quill_token t) {
    Utf16Chars text(env, message);
    if (!text) return kBadString;
    return quill_setResultMessageW(t, text.get());
  });
}

JNIEXPORT jint JNICALL
Java_com_ferngate_quillpro_QuillCall_outputTagData__Ljava_lang_String_2(JNIEnv* env, jobject self,
                                                                         jstring text) {
  return WithCall(env, self, {text}, [&](quill_token t) {
    Utf16Chars units(env, text);
    if (!units) return kBadString;
    return quill_outputTagData2W(t, units.get(), units.length());
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_outputTagData___3B(JNIEnv* env,
                                                                                 jobject self,
                                                                                 jbyteArray data) {
  return WithCall(env, self, {data}, [&](quill_token t) {
    const jsize length = env->GetArrayLength(data);
    if (length <= 0) return 0;
    ByteElements bytes(env, data);
    if (!bytes) {
      quill_setResultMessage(t, "QJAPI error in outputTagData: could not get byte array elements");
      return kGenericError;
    }
    return quill_outputTagBytes(t, bytes.get(), length);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getResultHeader(JNIEnv* env,
                                                                             jobject self,
                                                                             jobject header) {
  return RecordToValue(env, self, {header}, header, [](quill_token t, quill_wvalue_t* record) {
    return quill_getResultHeaderW(t, record);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_setResultHeader(JNIEnv* env,
                                                                             jobject self,
                                                                             jstring header) {
  return WithCall(env, self, {header}, [&](quill_token t) {
    Utf16Chars text(env, header);
    if (!text) return kBadString;
    return quill_setResultHeaderW(t, text.get());
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_addResultHeader(JNIEnv* env,
                                                                             jobject self,
                                                                             jstring header) {
  return WithCall(env, self, {header}, [&](quill_token t) {
    Utf16Chars text(env, header);
    if (!text) return kBadString;
    return quill_addResultHeaderW(t, text.get());
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getCookieValue(JNIEnv* env,
                                                                            jobject self,
                                                                            jstring name,
                                                                            jobject cookie) {
  return NamedRecordToValue(env, self, {cookie, name}, name, cookie,
                            [](quill_token t, const quill_char* units, quill_wvalue_t* record) {
                              return quill_getCookieValueW(t, units, record);
                            });
}

}  // extern "C"
