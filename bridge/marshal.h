// What every native shares: the bridge's error codes, the request token, and the routines
// that move values between host records and the Java out-parameter objects.
#pragma once

#include <jni.h>

#include <algorithm>
#include <atomic>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/jni_guards.h"
#include "host/os.h"
#include "host/qcapi.h"
#include "startup/class_cache.h"

namespace bridge {

inline constexpr jint kNoCall = -11000;        // the QuillCall has no host call bound
inline constexpr jint kNullArgument = -10999;  // a required object argument is null
inline constexpr jint kBadString = -9995;      // a Java string could not be read
inline constexpr jint kNothingToDo = -9956;    // nothing to work on
inline constexpr jint kGenericError = -1;

// The pointer member in which a value keeps a 32-bit number (typeSetCustomPtr) or its Java object.
inline constexpr quill_char kPrivateMember[] = {'_', 'q', 'j', 'a', 'p', 'i', '_', 'p', 'r', 'i', 'v', 'a', 't', 'e', 0};

// The instance method methodName of cls with a tag method's signature: "(QuillCall;I)I" of the
// com/ferngate package, else of com/marrowbay (the first lookup's exception cleared); or null,
// with the second lookup's exception left pending.
jmethodID FindTagMethod(JNIEnv* env, jclass cls, const char* methodName);

inline quill_token GetRequestToken(JNIEnv* env, jobject call) {
  return env->GetIntField(call, gClassCache.quillCallToken);
}

// A new[] ISO-8859-1 copy of text (characters it cannot hold substituted), or null for a null
// or unreadable string. outLength, when given, receives the length in UTF-16 code units.
char* JStringToLatin1(JNIEnv* env, jstring text, int* outLength);

// Every element's Latin-1 copy of a string array of count elements (null for a null or
// unreadable one), freed last to first.
class Latin1List {
 public:
  Latin1List(JNIEnv* env, jobjectArray array, jsize count) {
    texts_.reserve(static_cast<size_t>(count));
    for (jsize i = 0; i < count; ++i) {
      LocalRef<jstring> element(env, static_cast<jstring>(env->GetObjectArrayElement(array, i)));
      texts_.push_back(JStringToLatin1(env, element.get(), nullptr));
    }
  }
  ~Latin1List() {
    for (auto it = texts_.rbegin(); it != texts_.rend(); ++it) delete[] *it;
  }
  Latin1List(const Latin1List&) = delete;
  Latin1List& operator=(const Latin1List&) = delete;
  const char* const* data() const { return texts_.data(); }
  bool AllRead() const { return std::find(texts_.begin(), texts_.end(), nullptr) == texts_.end(); }

 private:
  std::vector<char*> texts_;
};

// A column list handed over as four arrays of one length (names, types, sizes, flags), read at
// once: code() is 0, or QUILL_ERR_INVALID when the lengths differ, or kBadString when a name
// cannot be read (then no name is given out).
class ColumnArrays {
 public:
  ColumnArrays(JNIEnv* env, jobjectArray names, jintArray types, jintArray sizes, jintArray flags)
      : count_(env->GetArrayLength(names)), numbers_(3 * static_cast<size_t>(count_)) {
    if (env->GetArrayLength(types) != count_ || env->GetArrayLength(sizes) != count_ ||
        env->GetArrayLength(flags) != count_) {
      code_ = QUILL_ERR_INVALID;
      return;
    }
    names_.emplace(env, names, count_);
    if (!names_->AllRead()) {
      code_ = kBadString;
      return;
    }
    env->GetIntArrayRegion(types, 0, count_, numbers_.data());
    env->GetIntArrayRegion(sizes, 0, count_, numbers_.data() + count_);
    env->GetIntArrayRegion(flags, 0, count_, numbers_.data() + 2 * count_);
  }
  jint code() const { return code_; }
  jsize size() const { return count_; }
  const char* name(jsize i) const { return names_->data()[i]; }
  jint type(jsize i) const { return numbers_[i]; }
  jint columnSize(jsize i) const { return numbers_[count_ + i]; }
  jint flags(jsize i) const { return numbers_[2 * count_ + i]; }

 private:
  jsize count_;
  jint code_ = 0;
  std::optional<Latin1List> names_;
  ShortArray<jint, 96> numbers_;
};

// True when the length bytes at text are valid modified UTF-8, the only text the VM's UTF
// readers (NewStringUTF and the like) are defined for: one-byte characters 1 to 127, the
// two-byte forms (C0 80 being character zero) and the three-byte forms (surrogates included).
// Four-byte characters, stray or missing continuation bytes and overlong forms are not.
bool IsModifiedUtf8(const char* text, size_t length);

// Whether every byte of text is below 0x80.
bool IsAscii(std::string_view text);

// A new Java string from host text (zero-terminated UTF-8), or null when the VM cannot make one.
// ASCII goes to NewStringUTF as it is. Other text is decoded by ICU (characters beyond the Basic
// Multilingual Plane become surrogate pairs, ill-formed bytes U+FFFD) and handed over as UTF-16,
// unless it is modified UTF-8 that standard UTF-8 rejects (C0 80, surrogates in three bytes),
// which NewStringUTF reads as it always did. Valid UTF-8 gives the same string either way. Every
// native making a Java string from host 8-bit text goes through here.
jstring NewStringFromHost(JNIEnv* env, const char* text);

// NewStringFromHost's string (a new local reference) for a text that comes back on every
// action: names, a host's URL, a statement's text with its values left out. With sharing on
// (gKeptStringsShared) equal texts of up to 512 bytes share one string, made once and kept (at
// most 64 of them, all dropped when more come), and the empty text is the class cache's one
// string; Java strings cannot change, so only a comparison by identity tells the shared string
// from a new one. With it off (the default) every call makes a new string.
jstring KeptStringFromHost(JNIEnv* env, const char* text);
// Set at start-up from the preference java_shared_strings (quill serve reads yes).
extern std::atomic<bool> gKeptStringsShared;
// The global references this thread's calls added to the kept strings less those they dropped:
// what a check that every native gives back its references counts as kept on purpose.
long KeptStringReferencesMadeHere();

// The text of a Java string as the host reads 8-bit text: zero-terminated UTF-8. The VM's
// modified UTF-8 is the same bytes except for characters beyond the Basic Multilingual Plane
// (six bytes there, four here) and character zero (C0 80 there); only text that can hold the
// former (it has an ED byte) is re-encoded from its UTF-16, where character zero ends it.
class HostUtf8Chars {
 public:
  HostUtf8Chars(JNIEnv* env, jstring text);
  HostUtf8Chars(const HostUtf8Chars&) = delete;
  HostUtf8Chars& operator=(const HostUtf8Chars&) = delete;

  explicit operator bool() const { return chars_ != nullptr; }
  const char* get() const { return chars_; }

 private:
  Utf8Chars modified_;
  std::string converted_;
  const char* chars_ = nullptr;
};

void FillQuillValue(JNIEnv* env, const quill_value_t& record, jobject value, bool withName);
void FillQuillValueUtf8(JNIEnv* env, const quill_value_t& record, jobject value, bool withName);
void FillQuillValueW(JNIEnv* env, const quill_wvalue_t& record, jobject value);

inline void SetTypeRef(JNIEnv* env, quill_type handle, jobject ref) {
  env->SetIntField(ref, gClassCache.typeRefHandle, handle);
}
inline quill_type GetTypeRef(JNIEnv* env, jobject ref) {
  return ref == nullptr ? 0 : env->GetIntField(ref, gClassCache.typeRefHandle);
}
inline void SetIntValue(JNIEnv* env, const int32_t* number, jobject out) {
  env->SetLongField(out, gClassCache.intValueValue, static_cast<jlong>(*number));
}
inline void SetFloatValue(JNIEnv* env, const double* number, jobject out) {
  env->SetDoubleField(out, gClassCache.floatValueValue, *number);
}

// The common start of a QuillCall native: required arguments are checked first (-10999), then
// the call's token (-11000); body(token) does the rest and gives the result.
template <class Body>
inline jint WithCall(JNIEnv* env, jobject call, std::initializer_list<const void*> required,
                     Body&& body) {
  for (const void* argument : required) {
    if (argument == nullptr) return kNullArgument;
  }
  if (!gClassCache.complete) return kNoCall;  // no call can have been bound without the classes
  const quill_token token = GetRequestToken(env, call);
  if (token == 0) return kNoCall;
  // Nothing may unwind into the VM: a failure the host throws becomes its code.
  try {
    return body(token);
  } catch (const osException& e) {
    return e.GetCode() != 0 ? e.GetCode() : kGenericError;
  } catch (...) {
    return kGenericError;
  }
}

// Host results pass through; out-parameters are written only when the host succeeded.
template <class Fill>
inline jint OnSuccess(osError result, Fill&& fill) {
  if (result == 0) fill();
  return result;
}

// Natives whose host call hands back one UTF-16 record, written into a QuillValue.
template <class HostCall>
inline jint RecordToValue(JNIEnv* env, jobject call, std::initializer_list<const void*> required,
                          jobject out, HostCall&& host) {
  return WithCall(env, call, required, [&](quill_token t) {
    quill_wvalue_t record{};
    return OnSuccess(host(t, &record), [&] { FillQuillValueW(env, record, out); });
  });
}

// The same for host calls that look a record up by a name: the name's characters stay held
// until the record has been written, since the host may hand the name itself back in it.
template <class HostCall>
inline jint NamedRecordToValue(JNIEnv* env, jobject call, std::initializer_list<const void*> required,
                               jstring name, jobject out, HostCall&& host) {
  return WithCall(env, call, required, [&](quill_token t) {
    Utf16Chars nameChars(env, name);
    if (!nameChars) return kBadString;
    quill_wvalue_t record{};
    return OnSuccess(host(t, nameChars.get(), &record), [&] { FillQuillValueW(env, record, out); });
  });
}

// Natives whose host call hands back one 32-bit number, written sign-extended into an IntValue.
template <class HostCall>
inline jint NumberToIntValue(JNIEnv* env, jobject call, std::initializer_list<const void*> required,
                             jobject out, HostCall&& host) {
  return WithCall(env, call, required, [&](quill_token t) {
    int32_t number = 0;
    return OnSuccess(host(t, &number), [&] { SetIntValue(env, &number, out); });
  });
}

// Natives whose host call hands back one type handle, written into a QuillTypeRef. Texts the
// host call acquires are released before the out-parameter is written.
template <class HostCall>
inline jint HandleToTypeRef(JNIEnv* env, jobject call, std::initializer_list<const void*> required,
                            jobject out, HostCall&& host) {
  return WithCall(env, call, required, [&](quill_token t) {
    quill_type handle = 0;
    return OnSuccess(host(t, &handle), [&] { SetTypeRef(env, handle, out); });
  });
}

}  // namespace bridge
