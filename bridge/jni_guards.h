// Scoped JNI acquisitions: whatever is obtained is released on every path, by construction.
#pragma once

#include <jni.h>

#include <cstddef>
#include <memory>
#include <utility>

#include "host/qcapi.h"

namespace bridge {

// The UTF-16 characters of a Java string, followed by a zero unit (the VM's own copy of a long
// text carries one too), so the pointer serves both the zero-terminated and the counted host
// functions.
class Utf16Chars {
 public:
  Utf16Chars(JNIEnv* env, jstring text) : env_(env), text_(text) {
    if (text_ == nullptr) return;
    length_ = env_->GetStringLength(text_);
    // A short text is copied onto the stack in one call, where the VM would allocate a copy
    // and free it again.
    if (length_ < kOnStack) {
      env_->GetStringRegion(text_, 0, length_, onStack_);
      onStack_[length_] = 0;
      chars_ = onStack_;
      return;
    }
    chars_ = env_->GetStringChars(text_, nullptr);
    if (chars_ == nullptr) length_ = 0;
  }
  ~Utf16Chars() {
    if (chars_ != nullptr && chars_ != onStack_) env_->ReleaseStringChars(text_, chars_);
  }
  Utf16Chars(const Utf16Chars&) = delete;
  Utf16Chars& operator=(const Utf16Chars&) = delete;

  explicit operator bool() const { return chars_ != nullptr; }
  const quill_char* get() const { return reinterpret_cast<const quill_char*>(chars_); }
  jsize length() const { return length_; }

 private:
  static constexpr jsize kOnStack = 128;
  JNIEnv* env_;
  jstring text_;
  const jchar* chars_ = nullptr;
  jsize length_ = 0;
  jchar onStack_[kOnStack];
};

// The modified UTF-8 bytes of a Java string, zero-terminated.
class Utf8Chars {
 public:
  Utf8Chars(JNIEnv* env, jstring text) : env_(env), text_(text) {
    if (text_ != nullptr) chars_ = env_->GetStringUTFChars(text_, nullptr);
  }
  ~Utf8Chars() {
    if (chars_ != nullptr) env_->ReleaseStringUTFChars(text_, chars_);
  }
  Utf8Chars(const Utf8Chars&) = delete;
  Utf8Chars& operator=(const Utf8Chars&) = delete;

  explicit operator bool() const { return chars_ != nullptr; }
  const char* get() const { return chars_; }

 private:
  JNIEnv* env_;
  jstring text_;
  const char* chars_ = nullptr;
};

// A Java string re-encoded as ISO-8859-1 (see JStringToLatin1).
class Latin1Chars {
 public:
  Latin1Chars(JNIEnv* env, jstring text);
  ~Latin1Chars() { delete[] chars_; }
  Latin1Chars(const Latin1Chars&) = delete;
  Latin1Chars& operator=(const Latin1Chars&) = delete;

  explicit operator bool() const { return chars_ != nullptr; }
  const char* get() const { return chars_; }
  int length() const { return length_; }

 private:
  char* chars_;
  int length_ = 0;
};

// The elements of a byte array, released without copying back: the host only reads them.
class ByteElements {
 public:
  ByteElements(JNIEnv* env, jbyteArray array) : env_(env), array_(array) {
    if (array_ != nullptr) bytes_ = env_->GetByteArrayElements(array_, nullptr);
  }
  ~ByteElements() {
    if (bytes_ != nullptr) env_->ReleaseByteArrayElements(array_, bytes_, JNI_ABORT);
  }
  ByteElements(const ByteElements&) = delete;
  ByteElements& operator=(const ByteElements&) = delete;

  explicit operator bool() const { return bytes_ != nullptr; }
  const jbyte* get() const { return bytes_; }

 private:
  JNIEnv* env_;
  jbyteArray array_;
  jbyte* bytes_ = nullptr;
};

// A local reference deleted when the scope ends, for code that runs in loops on threads that
// stay attached (where locals would otherwise pile up until the thread detaches).
template <class T = jobject>
class LocalRef {
 public:
  LocalRef(JNIEnv* env, T ref) : env_(env), ref_(ref) {}
  ~LocalRef() {
    if (ref_ != nullptr) env_->DeleteLocalRef(ref_);
  }
  LocalRef(const LocalRef&) = delete;
  LocalRef& operator=(const LocalRef&) = delete;
  LocalRef(LocalRef&& other) noexcept : env_(other.env_), ref_(std::exchange(other.ref_, nullptr)) {}
  LocalRef& operator=(LocalRef&& other) noexcept {
    if (this != &other) {
      if (ref_ != nullptr) env_->DeleteLocalRef(ref_);
      env_ = other.env_;
      ref_ = std::exchange(other.ref_, nullptr);
    }
    return *this;
  }

  T get() const { return ref_; }
  T release() { return std::exchange(ref_, nullptr); }  // the caller deletes it from now on
  explicit operator bool() const { return ref_ != nullptr; }

 private:
  JNIEnv* env_;
  T ref_;
};

// An array of n elements, inside the object up to N (a region copied in or out in one call).
template <class T, size_t N>
class ShortArray {
 public:
  explicit ShortArray(size_t n) : heap_(n > N ? new T[n] : nullptr), data_(heap_ ? heap_.get() : stack_) {}
  T* data() { return data_; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }

 private:
  T stack_[N];
  std::unique_ptr<T[]> heap_;
  T* data_;
};

}  // namespace bridge
