// QuillCall natives for script values: creating, relating, reading, changing and freeing them.
#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "bridge/marshal.h"
#include "com_ferngate_quillpro_QuillCall.h"

using namespace bridge;

namespace {

constexpr char kBinary[] = "BINARY";

// The handles of a QuillTypeRef[], in element order (0 for a null element). Each element's
// local reference is deleted as soon as its handle is read, so any length fits the VM's local
// reference capacity. A null array gives count 0 and a null pointer.
class HandleArray {
 public:
  HandleArray(JNIEnv* env, jobjectArray refs) {
    if (refs == nullptr) return;
    const jsize n = env->GetArrayLength(refs);
    handles_.resize(static_cast<size_t>(n));
    for (jsize i = 0; i < n; ++i) {
      LocalRef<> element(env, env->GetObjectArrayElement(refs, i));
      handles_[static_cast<size_t>(i)] = GetTypeRef(env, element.get());
    }
  }
  // keys and values interleaved: key 0, value 0, key 1, ...; the count comes from keys.
  HandleArray(JNIEnv* env, jobjectArray keys, jobjectArray values) {
    if (keys == nullptr || values == nullptr) return;
    const jsize n = env->GetArrayLength(keys);
    const jsize available = env->GetArrayLength(values);
    handles_.resize(2 * static_cast<size_t>(n));
    for (jsize i = 0; i < n; ++i) {
      LocalRef<> key(env, env->GetObjectArrayElement(keys, i));
      handles_[2 * static_cast<size_t>(i)] = GetTypeRef(env, key.get());
      // A values array shorter than keys: the missing values are null.
      if (i >= available) continue;
      LocalRef<> value(env, env->GetObjectArrayElement(values, i));
      handles_[2 * static_cast<size_t>(i) + 1] = GetTypeRef(env, value.get());
    }
  }

  int32_t count() const { return static_cast<int32_t>(handles_.size()); }
  const quill_type* data() const { return handles_.empty() ? nullptr : handles_.data(); }

 private:
  std::vector<quill_type> handles_;
};

// A byte array's length and, when positive, its elements (released with JNI_ABORT).
struct BytesArg {
  BytesArg(JNIEnv* env, jbyteArray array)
      : length(array == nullptr ? 0 : env->GetArrayLength(array)), elements(env, length > 0 ? array : nullptr) {}
  bool unreadable() const { return length > 0 && !elements; }
  const void* data() const { return length > 0 ? elements.get() : nullptr; }

  jsize length;
  ByteElements elements;
};

// A new byte[] from the bytes the host put into record.name / record.nameSize, or null.
jbyteArray RecordBytes(JNIEnv* env, const quill_value_t& record) {
  const auto size = static_cast<jsize>(record.nameSize);
  jbyteArray array = env->NewByteArray(size);
  if (array == nullptr) return nullptr;
  if (size > 0) env->SetByteArrayRegion(array, 0, size, reinterpret_cast<const jbyte*>(record.name));
  return array;
}

// The byte[] natives: null arguments, an unbound call and host failures all give null.
template <class HostCall>
jbyteArray BytesFromHost(JNIEnv* env, jobject call, std::initializer_list<const void*> required, HostCall&& host) {
  jbyteArray result = nullptr;
  WithCall(env, call, required, [&](quill_token t) {
    quill_value_t record{};
    return OnSuccess(host(t, &record), [&] { result = RecordBytes(env, record); });
  });
  return result;
}

// Allocators whose result reference is written only for a non-zero handle.
template <class HostCall>
jint NonZeroHandleToTypeRef(JNIEnv* env, jobject call, std::initializer_list<const void*> required, jobject out,
                            HostCall&& host) {
  return WithCall(env, call, required, [&](quill_token t) {
    quill_type handle = 0;
    return OnSuccess(host(t, &handle), [&] {
      if (handle != 0) SetTypeRef(env, handle, out);
    });
  });
}

// typeFree and typeCollect: the reference is cleared once the value is gone.
template <class HostCall>
jint Release(JNIEnv* env, jobject call, jobject value, HostCall&& host) {
  return WithCall(env, call, {value}, [&](quill_token t) {
    return OnSuccess(host(t, GetTypeRef(env, value)), [&] { SetTypeRef(env, 0, value); });
  });
}

// The natives that pass one Java string as UTF-16 with its length.
template <class HostCall>
jint WithText(JNIEnv* env, jobject call, std::initializer_list<const void*> required, jstring text, HostCall&& host) {
  return WithCall(env, call, required, [&](quill_token t) {
    Utf16Chars chars(env, text);
    if (!chars) return kBadString;
    return host(t, chars.get(), static_cast<int32_t>(chars.length()));
  });
}

// The natives that pass one Java string as zero-terminated UTF-16 and write a handle.
template <class HostCall>
jint NamedToTypeRef(JNIEnv* env, jobject call, std::initializer_list<const void*> required, jstring name, jobject out,
                    HostCall&& host) {
  return HandleToTypeRef(env, call, required, out, [&](quill_token t, quill_type* handle) {
    Utf16Chars chars(env, name);
    if (!chars) return kBadString;
    return host(t, chars.get(), handle);
  });
}

}  // namespace

extern "C" {

// ---- creating values ----

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeAlloc(JNIEnv* env, jobject self, jstring typeName,
                                                                       jobjectArray params, jobject result) {
  return NamedToTypeRef(env, self, {result, typeName}, typeName, result,
                        [&](quill_token t, const quill_char* name, quill_type* handle) {
                          HandleArray handles(env, params);
                          return quill_typeAllocW(t, name, handles.count(), handles.data(), handle);
                        });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeAllocNull(JNIEnv* env, jobject self, jobject result) {
  return HandleToTypeRef(env, self, {result}, result, [](quill_token t, quill_type* h) { return quill_typeAllocNull(t, h); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeAllocString__Lcom_ferngate_quillpro_QuillTypeRef_2Ljava_lang_String_2(
    JNIEnv* env, jobject self, jobject result, jstring text) {
  return HandleToTypeRef(env, self, {result}, result, [&](quill_token t, quill_type* h) {
    if (text == nullptr) return quill_typeAllocStringW(t, h, nullptr, 0);
    Utf16Chars chars(env, text);
    if (!chars) return kBadString;
    return quill_typeAllocStringW(t, h, chars.get(), static_cast<int32_t>(chars.length()));
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeAllocString__Lcom_ferngate_quillpro_QuillTypeRef_2_3B(
    JNIEnv* env, jobject self, jobject result, jbyteArray bytes) {
  return HandleToTypeRef(env, self, {result}, result, [&](quill_token t, quill_type* h) {
    BytesArg arg(env, bytes);
    if (arg.unreadable()) return kBadString;
    return quill_typeAllocStringConv(t, h, arg.data(), arg.length, kBinary);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeAllocInteger(JNIEnv* env, jobject self, jobject result,
                                                                              jlong value) {
  return HandleToTypeRef(env, self, {result}, result,
                         [&](quill_token t, quill_type* h) { return quill_typeAllocInteger(t, h, value); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeAllocDecimal__Lcom_ferngate_quillpro_QuillTypeRef_2D(
    JNIEnv* env, jobject self, jobject result, jdouble value) {
  return HandleToTypeRef(env, self, {result}, result,
                         [&](quill_token t, quill_type* h) { return quill_typeAllocDecimal(t, h, value); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeAllocDecimal__Lcom_ferngate_quillpro_QuillTypeRef_2DI(
    JNIEnv* env, jobject self, jobject result, jdouble value, jint extra) {
  return HandleToTypeRef(env, self, {result}, result,
                         [&](quill_token t, quill_type* h) { return quill_typeAllocDecimal2(t, h, value, extra); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeAllocBoolean(JNIEnv* env, jobject self, jobject result,
                                                                              jboolean value) {
  return HandleToTypeRef(env, self, {result}, result,
                         [&](quill_token t, quill_type* h) { return quill_typeAllocBoolean(t, h, value != 0); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeAllocPair(JNIEnv* env, jobject self, jobject result,
                                                                           jobject first, jobject second) {
  return HandleToTypeRef(env, self, {result}, result, [&](quill_token t, quill_type* h) {
    return quill_typeAllocPair(t, h, GetTypeRef(env, first), GetTypeRef(env, second));
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeAllocReference(JNIEnv* env, jobject self,
                                                                                jobject result, jobject target) {
  return HandleToTypeRef(env, self, {result}, result, [&](quill_token t, quill_type* h) {
    return quill_typeAllocReference(t, h, GetTypeRef(env, target));
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeAllocArray(JNIEnv* env, jobject self, jobject result,
                                                                            jobjectArray elements) {
  return HandleToTypeRef(env, self, {result}, result, [&](quill_token t, quill_type* h) {
    HandleArray handles(env, elements);
    return quill_typeAllocArray(t, h, handles.count(), handles.data());
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeAllocMap__Lcom_ferngate_quillpro_QuillTypeRef_2_3Lcom_ferngate_quillpro_QuillTypeRef_2(
    JNIEnv* env, jobject self, jobject result, jobjectArray items) {
  return HandleToTypeRef(env, self, {result}, result, [&](quill_token t, quill_type* h) {
    HandleArray handles(env, items);
    return quill_typeAllocMap(t, h, handles.count(), handles.data());
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeAllocMap__Lcom_ferngate_quillpro_QuillTypeRef_2_3Lcom_ferngate_quillpro_QuillTypeRef_2_3Lcom_ferngate_quillpro_QuillTypeRef_2(
    JNIEnv* env, jobject self, jobject result, jobjectArray keys, jobjectArray values) {
  return HandleToTypeRef(env, self, {result}, result, [&](quill_token t, quill_type* h) {
    HandleArray handles(env, keys, values);
    return quill_typeAllocMap(t, h, handles.count(), handles.data());
  });
}

// The host reads the source as UTF-8 behind a byte-order mark, with a terminating zero that its
// length does not count. Empty source compiles nothing.
JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeAllocTagFromSource(JNIEnv* env, jobject self,
                                                                                    jobject result, jstring source) {
  return WithCall(env, self, {result, source}, [&](quill_token t) -> jint {
    const jsize n = env->GetStringUTFLength(source);
    if (n == 0) return 0;
    Utf8Chars chars(env, source);
    if (!chars) return kBadString;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[static_cast<size_t>(n) + 4]);
    if (!buffer) return kBadString;
    buffer[0] = '\xEF';
    buffer[1] = '\xBB';
    buffer[2] = '\xBF';
    std::copy(chars.get(), chars.get() + n, buffer.get() + 3);
    buffer[static_cast<size_t>(n) + 3] = 0;
    quill_type handle = 0;
    return OnSuccess(quill_typeAllocTagFromSource(t, &handle, buffer.get(), n + 3),
                     [&] { SetTypeRef(env, handle, result); });
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeAllocCustom(JNIEnv* env, jobject self, jobject result,
                                                                             jstring typeName) {
  return NamedToTypeRef(env, self, {result, typeName}, typeName, result,
                        [](quill_token t, const quill_char* name, quill_type* h) { return quill_typeAllocCustomW(t, h, name); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeAllocFromProto(JNIEnv* env, jobject self, jobject proto,
                                                                                jobject result) {
  return NonZeroHandleToTypeRef(env, self, {result, proto}, result, [&](quill_token t, quill_type* h) {
    return quill_typeAllocFromProto(t, GetTypeRef(env, proto), h);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeAllocOneOff(JNIEnv* env, jobject self, jstring first,
                                                                             jstring second, jobject result) {
  return NonZeroHandleToTypeRef(env, self, {result, first, second}, result, [&](quill_token t, quill_type* h) {
    Utf16Chars firstChars(env, first);
    if (!firstChars) return kBadString;
    Utf16Chars secondChars(env, second);
    if (!secondChars) return kBadString;
    return quill_typeAllocOneOffW(t, firstChars.get(), secondChars.get(), h);
  });
}

// ---- freeing, relating and copying values ----

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeFree(JNIEnv* env, jobject self, jobject value) {
  return Release(env, self, value, quill_typeFree);
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeCollect(JNIEnv* env, jobject self, jobject value) {
  return Release(env, self, value, quill_typeCollect);
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeDetach(JNIEnv* env, jobject self, jobject value) {
  return WithCall(env, self, {value}, [&](quill_token t) { return quill_typeDetach(t, GetTypeRef(env, value)); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeAssign(JNIEnv* env, jobject self, jobject target,
                                                                        jobject source) {
  return WithCall(env, self, {target, source}, [&](quill_token t) {
    return quill_typeAssign(t, GetTypeRef(env, target), GetTypeRef(env, source));
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeInheritFrom(JNIEnv* env, jobject self, jobject value,
                                                                             jobject parent) {
  return WithCall(env, self, {value, parent}, [&](quill_token t) {
    return quill_typeInheritFrom(t, GetTypeRef(env, value), GetTypeRef(env, parent));
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeStealValue(JNIEnv* env, jobject self, jobject target,
                                                                            jobject source) {
  return WithCall(env, self, {target, source}, [&](quill_token t) {
    return quill_typeStealValue(t, GetTypeRef(env, target), GetTypeRef(env, source));
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeGetParent(JNIEnv* env, jobject self, jobject value,
                                                                           jobject result) {
  return HandleToTypeRef(env, self, {value, result}, result, [&](quill_token t, quill_type* h) {
    return quill_typeGetParent(t, GetTypeRef(env, value), h);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeGetChild(JNIEnv* env, jobject self, jobject value,
                                                                          jobject result) {
  return HandleToTypeRef(env, self, {value, result}, result, [&](quill_token t, quill_type* h) {
    return quill_typeGetChild(t, GetTypeRef(env, value), h);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeGetProperties(JNIEnv* env, jobject self, jobject value,
                                                                               jobject result) {
  return HandleToTypeRef(env, self, {result, value}, result, [&](quill_token t, quill_type* h) {
    return quill_typeGetProperties(t, GetTypeRef(env, value), h);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeGetMember(JNIEnv* env, jobject self, jobject value,
                                                                           jstring memberName, jobject result) {
  return NamedToTypeRef(env, self, {result, memberName, value}, memberName, result,
                        [&](quill_token t, const quill_char* name, quill_type* h) {
                          return quill_typeGetMemberW(t, GetTypeRef(env, value), name, h);
                        });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeIsA__Lcom_ferngate_quillpro_QuillTypeRef_2Ljava_lang_String_2(
    JNIEnv* env, jobject self, jobject value, jstring typeName) {
  return WithCall(env, self, {typeName}, [&](quill_token t) {
    Utf16Chars chars(env, typeName);
    if (!chars) return kBadString;
    return quill_typeIsA2W(t, GetTypeRef(env, value), chars.get());
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeIsA__Lcom_ferngate_quillpro_QuillTypeRef_2Lcom_ferngate_quillpro_QuillTypeRef_2(
    JNIEnv* env, jobject self, jobject value, jobject other) {
  return WithCall(env, self, {value}, [&](quill_token t) {
    return quill_typeIsA3(t, GetTypeRef(env, value), GetTypeRef(env, other));
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeRunTag__Lcom_ferngate_quillpro_QuillTypeRef_2Ljava_lang_String_2_3Lcom_ferngate_quillpro_QuillTypeRef_2Lcom_ferngate_quillpro_QuillTypeRef_2Lcom_ferngate_quillpro_QuillTypeRef_2(
    JNIEnv* env, jobject self, jobject value, jstring tagName, jobjectArray params, jobject result, jobject extra) {
  return HandleToTypeRef(env, self, {result, params}, result, [&](quill_token t, quill_type* h) {
    Utf16Chars name(env, tagName);
    if (tagName != nullptr && !name) return kBadString;
    HandleArray handles(env, params);
    return quill_typeRunTagW(t, name.get(), GetTypeRef(env, value), handles.count(), handles.data(), h,
                             GetTypeRef(env, extra));
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeRunTag__Lcom_ferngate_quillpro_QuillTypeRef_2Ljava_lang_String_2Lcom_ferngate_quillpro_QuillTypeRef_2Lcom_ferngate_quillpro_QuillTypeRef_2Lcom_ferngate_quillpro_QuillTypeRef_2(
    JNIEnv* env, jobject self, jobject value, jstring tagName, jobject param, jobject result, jobject extra) {
  return HandleToTypeRef(env, self, {result, param}, result, [&](quill_token t, quill_type* h) {
    Latin1Chars name(env, tagName);
    if (tagName != nullptr && !name) return kBadString;
    const quill_type handle = GetTypeRef(env, param);
    return quill_typeRunTag(t, name.get(), GetTypeRef(env, value), 1, &handle, h, GetTypeRef(env, extra));
  });
}

// ---- reading values ----

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeGetString(JNIEnv* env, jobject self, jobject value,
                                                                           jobject out) {
  return RecordToValue(env, self, {out, value}, out, [&](quill_token t, quill_wvalue_t* record) {
    return quill_typeGetStringW(t, GetTypeRef(env, value), record);
  });
}

// The charset is only checked: the text comes back as UTF-16 whatever it names.
JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeGetStringConv(JNIEnv* env, jobject self, jobject value,
                                                                               jobject out, jstring charset) {
  return RecordToValue(env, self, {out, value, charset}, out, [&](quill_token t, quill_wvalue_t* record) {
    return quill_typeGetStringW(t, GetTypeRef(env, value), record);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeGetName(JNIEnv* env, jobject self, jobject value,
                                                                         jobject out) {
  return RecordToValue(env, self, {out, value}, out, [&](quill_token t, quill_wvalue_t* record) {
    return quill_typeGetNameW(t, GetTypeRef(env, value), record);
  });
}

JNIEXPORT jbyteArray JNICALL Java_com_ferngate_quillpro_QuillCall_typeGetBytes(JNIEnv* env, jobject self, jobject value) {
  return BytesFromHost(env, self, {value}, [&](quill_token t, quill_value_t* record) {
    return quill_typeGetStringConv(t, GetTypeRef(env, value), record, kBinary);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeGetInteger(JNIEnv* env, jobject self, jobject value,
                                                                            jobject out) {
  return WithCall(env, self, {out, value}, [&](quill_token t) {
    int64_t number = 0;
    return OnSuccess(quill_typeGetInteger(t, GetTypeRef(env, value), &number),
                     [&] { env->SetLongField(out, gClassCache.intValueValue, static_cast<jlong>(number)); });
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeGetDecimal(JNIEnv* env, jobject self, jobject value,
                                                                            jobject out) {
  return WithCall(env, self, {out, value}, [&](quill_token t) {
    double number = 0;
    return OnSuccess(quill_typeGetDecimal(t, GetTypeRef(env, value), &number), [&] { SetFloatValue(env, &number, out); });
  });
}

// The member holds a 32-bit number; it comes back sign-extended.
JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeGetCustomPtr(JNIEnv* env, jobject self, jobject value,
                                                                              jobject out) {
  return NumberToIntValue(env, self, {out, value}, out, [&](quill_token t, int32_t* number) {
    void* pointer = nullptr;
    const osError code = quill_getPtrMemberW(t, GetTypeRef(env, value), kPrivateMember, &pointer);
    if (code == 0) *number = static_cast<int32_t>(reinterpret_cast<intptr_t>(pointer));
    return code;
  });
}

// ---- changing values ----

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeSetString(JNIEnv* env, jobject self, jobject value,
                                                                           jstring text) {
  return WithText(env, self, {value, text}, text, [&](quill_token t, const quill_char* units, int32_t length) {
    return quill_typeSetStringW(t, GetTypeRef(env, value), units, length);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeAppendString(JNIEnv* env, jobject self, jobject value,
                                                                              jstring text) {
  return WithText(env, self, {value, text}, text, [&](quill_token t, const quill_char* units, int32_t length) {
    return quill_typeAppendStringW(t, GetTypeRef(env, value), units, length);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeSetStringConv(JNIEnv* env, jobject self, jobject value,
                                                                               jbyteArray bytes, jstring charset) {
  return WithCall(env, self, {value, bytes, charset}, [&](quill_token t) {
    BytesArg arg(env, bytes);
    if (arg.length == 0 || arg.unreadable()) return kBadString;
    Utf8Chars name(env, charset);
    if (!name) return kBadString;
    return quill_typeSetStringConv(t, GetTypeRef(env, value), arg.data(), arg.length, name.get());
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeSetBytes(JNIEnv* env, jobject self, jobject value,
                                                                          jbyteArray bytes) {
  return WithCall(env, self, {value, bytes}, [&](quill_token t) {
    BytesArg arg(env, bytes);
    if (arg.unreadable()) return kBadString;
    return quill_typeSetStringConv(t, GetTypeRef(env, value), arg.data(), arg.length, kBinary);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeSetInteger(JNIEnv* env, jobject self, jobject value,
                                                                            jlong number) {
  return WithCall(env, self, {value}, [&](quill_token t) { return quill_typeSetInteger(t, GetTypeRef(env, value), number); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeSetDecimal__Lcom_ferngate_quillpro_QuillTypeRef_2D(
    JNIEnv* env, jobject self, jobject value, jdouble number) {
  return WithCall(env, self, {value}, [&](quill_token t) { return quill_typeSetDecimal(t, GetTypeRef(env, value), number); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeSetDecimal__Lcom_ferngate_quillpro_QuillTypeRef_2DI(
    JNIEnv* env, jobject self, jobject value, jdouble number, jint extra) {
  return WithCall(env, self, {value},
                  [&](quill_token t) { return quill_typeSetDecimal2(t, GetTypeRef(env, value), number, extra); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeSetBoolean(JNIEnv* env, jobject self, jobject value,
                                                                            jboolean flag) {
  return WithCall(env, self, {value}, [&](quill_token t) { return quill_typeSetBoolean(t, GetTypeRef(env, value), flag != 0); });
}

// The number is stored as given (zero-extended to the pointer's width) and never interpreted.
JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeSetCustomPtr(JNIEnv* env, jobject self, jobject value,
                                                                              jint pointer) {
  return WithCall(env, self, {value}, [&](quill_token t) {
    void* stored = reinterpret_cast<void*>(static_cast<uintptr_t>(static_cast<uint32_t>(pointer)));
    return quill_setPtrMemberW(t, GetTypeRef(env, value), kPrivateMember, stored);
  });
}

#define QJAPI_FLAG_NATIVE(javaName, hostName)                                                               \
  JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_##javaName(JNIEnv* env, jobject self,         \
                                                                         jobject value, jint flag) {        \
    return WithCall(env, self, {value}, [&](quill_token t) { return hostName(t, GetTypeRef(env, value), flag); }); \
  }
QJAPI_FLAG_NATIVE(typeSetFlag, quill_typeSetFlag)
QJAPI_FLAG_NATIVE(typeHasFlag, quill_typeHasFlag)
QJAPI_FLAG_NATIVE(typeClearFlag, quill_typeClearFlag)
QJAPI_FLAG_NATIVE(tagSetFlag, quill_tagSetFlag)
QJAPI_FLAG_NATIVE(tagHasFlag, quill_tagHasFlag)
QJAPI_FLAG_NATIVE(tagClearFlag, quill_tagClearFlag)
#undef QJAPI_FLAG_NATIVE

// ---- arrays, maps and pairs ----

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_arrayGetSize(JNIEnv* env, jobject self, jobject array,
                                                                          jobject out) {
  return NumberToIntValue(env, self, {out, array}, out,
                          [&](quill_token t, int32_t* n) { return quill_arrayGetSize(t, GetTypeRef(env, array), n); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_arrayGetElement(JNIEnv* env, jobject self, jobject array,
                                                                             jint index, jobject result) {
  return HandleToTypeRef(env, self, {result, array}, result, [&](quill_token t, quill_type* h) {
    return quill_arrayGetElement(t, GetTypeRef(env, array), index, h);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_arraySetElement(JNIEnv* env, jobject self, jobject array,
                                                                             jint index, jobject element) {
  return WithCall(env, self, {array}, [&](quill_token t) {
    return quill_arraySetElement(t, GetTypeRef(env, array), index, GetTypeRef(env, element));
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_arrayRemoveElement(JNIEnv* env, jobject self, jobject array,
                                                                                jint index) {
  return WithCall(env, self, {array}, [&](quill_token t) { return quill_arrayRemoveElement(t, GetTypeRef(env, array), index); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_mapGetSize(JNIEnv* env, jobject self, jobject map,
                                                                        jobject out) {
  return NumberToIntValue(env, self, {out, map}, out,
                          [&](quill_token t, int32_t* n) { return quill_mapGetSize(t, GetTypeRef(env, map), n); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_mapFindElement(JNIEnv* env, jobject self, jobject map,
                                                                            jobject key, jobject result) {
  return HandleToTypeRef(env, self, {result, map}, result, [&](quill_token t, quill_type* h) {
    return quill_mapFindElement(t, GetTypeRef(env, map), GetTypeRef(env, key), h);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_mapGetElement(JNIEnv* env, jobject self, jobject map,
                                                                           jint index, jobject result) {
  return HandleToTypeRef(env, self, {result, map}, result, [&](quill_token t, quill_type* h) {
    return quill_mapGetNthElement(t, GetTypeRef(env, map), index, h);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_mapSetElement(JNIEnv* env, jobject self, jobject map,
                                                                           jobject key, jobject value) {
  return WithCall(env, self, {map}, [&](quill_token t) {
    return quill_mapSetElement(t, GetTypeRef(env, map), GetTypeRef(env, key), GetTypeRef(env, value));
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_mapRemoveElement(JNIEnv* env, jobject self, jobject map,
                                                                              jobject key) {
  return WithCall(env, self, {map}, [&](quill_token t) {
    return quill_mapRemoveElement(t, GetTypeRef(env, map), GetTypeRef(env, key));
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_pairGetFirst(JNIEnv* env, jobject self, jobject pair,
                                                                          jobject result) {
  return HandleToTypeRef(env, self, {result, pair}, result,
                         [&](quill_token t, quill_type* h) { return quill_pairGetFirst(t, GetTypeRef(env, pair), h); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_pairGetSecond(JNIEnv* env, jobject self, jobject pair,
                                                                           jobject result) {
  return HandleToTypeRef(env, self, {result, pair}, result,
                         [&](quill_token t, quill_type* h) { return quill_pairGetSecond(t, GetTypeRef(env, pair), h); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_pairSetFirst(JNIEnv* env, jobject self, jobject pair,
                                                                          jobject value) {
  return WithCall(env, self, {pair}, [&](quill_token t) {
    return quill_pairSetFirst(t, GetTypeRef(env, pair), GetTypeRef(env, value));
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_pairSetSecond(JNIEnv* env, jobject self, jobject pair,
                                                                           jobject value) {
  return WithCall(env, self, {pair}, [&](quill_token t) {
    return quill_pairSetSecond(t, GetTypeRef(env, pair), GetTypeRef(env, value));
  });
}

// ---- external byte forms ----

JNIEXPORT jbyteArray JNICALL Java_com_ferngate_quillpro_QuillCall_handleExternalConversion(JNIEnv* env, jobject self,
                                                                                          jobject value, jstring name) {
  return BytesFromHost(env, self, {value, name}, [&](quill_token t, quill_value_t* record) {
    Utf8Chars chars(env, name);
    if (!chars) return kBadString;
    return quill_handleExternalConversion(t, GetTypeRef(env, value), chars.get(), record);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_handleInternalConversion(JNIEnv* env, jobject self,
                                                                                      jbyteArray data, jstring name,
                                                                                      jint extra, jobject result) {
  return WithCall(env, self, {data, result, name}, [&](quill_token t) -> jint {
    BytesArg arg(env, data);
    if (arg.length == 0) return 0;  // nothing to convert: no host call, result unchanged
    if (arg.unreadable()) return kBadString;
    Utf8Chars chars(env, name);
    if (!chars) return kBadString;
    quill_type handle = 0;
    return OnSuccess(quill_handleInternalConversion(t, arg.data(), arg.length, chars.get(), extra, &handle),
                     [&] { SetTypeRef(env, handle, result); });
  });
}

}  // extern "C"
