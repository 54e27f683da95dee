#include "bridge/marshal.h"

#include <unicode/unistr.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "host/os.h"

namespace bridge {

char* JStringToLatin1(JNIEnv* env, jstring text, int* outLength) {
  if (text == nullptr) return nullptr;
  const jsize length = env->GetStringLength(text);
  std::unique_ptr<char[]> latin1(new (std::nothrow) char[static_cast<size_t>(length) + 1]);
  if (!latin1) return nullptr;
  // Read through the stack a chunk at a time: no copy of the VM's and no converter.
  constexpr jsize kChunk = 256;
  jchar units[kChunk];
  for (jsize from = 0; from < length; from += kChunk) {
    const jsize n = std::min(kChunk, length - from);
    env->GetStringRegion(text, from, n, units);
    Latin1Into(units, static_cast<size_t>(n), latin1.get() + from);
  }
  latin1[length] = '\0';
  if (outLength != nullptr) *outLength = length;
  return latin1.release();
}

// Converted in the body: length_ is initialised after chars_, and would undo what the
// conversion wrote into it.
Latin1Chars::Latin1Chars(JNIEnv* env, jstring text) : chars_(nullptr) {
  chars_ = JStringToLatin1(env, text, &length_);
}

namespace {

// How many bytes at the start of bytes[0, length) are below 0x80, a word at a time: the
// callers have made sure that no zero byte lies in that range.
size_t AsciiPrefix(const unsigned char* bytes, size_t length) {
  constexpr uint64_t kHighBits = 0x8080808080808080ULL;
  size_t i = 0;
  for (uint64_t w[4]; i + sizeof w <= length; i += sizeof w) {
    std::memcpy(w, bytes + i, sizeof w);
    if (((w[0] | w[1] | w[2] | w[3]) & kHighBits) != 0) break;
  }
  for (uint64_t word; i + 8 <= length; i += 8) {
    std::memcpy(&word, bytes + i, 8);
    if ((word & kHighBits) != 0) break;
  }
  while (i < length && bytes[i] < 0x80) ++i;
  return i;
}

}  // namespace

bool IsAscii(std::string_view text) {
  return AsciiPrefix(reinterpret_cast<const unsigned char*>(text.data()), text.size()) == text.size();
}

bool IsModifiedUtf8(const char* text, size_t length) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  const auto continues = [bytes](size_t i) { return (bytes[i] & 0xC0) == 0x80; };
  if (std::memchr(text, 0, length) != nullptr) return false;  // character zero is C0 80 here
  for (size_t i = AsciiPrefix(bytes, length); i < length; i += AsciiPrefix(bytes + i, length - i)) {
    const unsigned lead = bytes[i];
    if (lead >= 0xC2 && lead <= 0xDF) {
      if (i + 1 >= length || !continues(i + 1)) return false;
      i += 2;
    } else if (lead == 0xC0) {  // character zero
      if (i + 1 >= length || bytes[i + 1] != 0x80) return false;
      i += 2;
    } else if ((lead & 0xF0) == 0xE0) {
      if (i + 2 >= length || !continues(i + 1) || !continues(i + 2)) return false;
      if (lead == 0xE0 && bytes[i + 1] < 0xA0) return false;  // overlong
      i += 3;
    } else {
      return false;  // a continuation byte, a four-byte lead or no UTF-8 at all
    }
  }
  return true;
}

jstring NewStringFromHost(JNIEnv* env, const char* text) {
  const size_t length = std::strlen(text);
  if (length > INT32_MAX) return nullptr;
  const size_t ascii = AsciiPrefix(reinterpret_cast<const unsigned char*>(text), length);
  if (ascii == length) return env->NewStringUTF(text);
  // Decoding once with ICU and handing over UTF-16 costs the VM less than its own two passes
  // over multi-byte text. Only text that ICU had to repair may still be modified UTF-8 (C0 80,
  // surrogates in three bytes each), which the VM reads as it always did.
  const auto size = static_cast<int32_t>(length);
  std::unique_ptr<UChar[]> heap;
  UChar stack[256];
  UChar* units = size <= 256 ? stack : (heap = std::make_unique<UChar[]>(static_cast<size_t>(size))).get();
  int32_t unitCount = 0;
  int32_t substitutions = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(units, size, &unitCount, text, size, 0xFFFD, &substitutions, &status);
  if (U_FAILURE(status)) return nullptr;
  if (substitutions > 0 && IsModifiedUtf8(text + ascii, length - ascii)) return env->NewStringUTF(text);
  return env->NewString(reinterpret_cast<const jchar*>(units), unitCount);
}

namespace {

// The strings KeptStringFromHost hands out, by their host text: a table of global references,
// at most half full so that every probe meets an empty slot; emptied when it would fill further.
struct KeptStrings {
  static constexpr size_t kSlots = 128;
  static constexpr size_t kLongestText = 512;
  struct Slot {
    size_t hash = 0;
    std::string text;
    jstring string = nullptr;  // global reference; null: the slot is free
  };
  std::mutex lock;
  Slot slots[kSlots];
  size_t used = 0;
};

thread_local long tKeptMadeHere = 0;

KeptStrings& Kept() {
  static auto* kept = new KeptStrings();  // its references live as long as the VM
  return *kept;
}

}  // namespace

std::atomic<bool> gKeptStringsShared{false};

jstring KeptStringFromHost(JNIEnv* env, const char* text) {
  if (!gKeptStringsShared.load(std::memory_order_relaxed)) return NewStringFromHost(env, text);
  const std::string_view view(text);
  // The empty text is the class cache's one string.
  if (view.empty() && gClassCache.emptyString != nullptr) {
    return static_cast<jstring>(env->NewLocalRef(gClassCache.emptyString));
  }
  if (view.size() > KeptStrings::kLongestText) return NewStringFromHost(env, text);
  const size_t hash = std::hash<std::string_view>{}(view);
  constexpr size_t kMask = KeptStrings::kSlots - 1;
  KeptStrings& kept = Kept();
  const std::lock_guard guard(kept.lock);
  size_t at = hash & kMask;
  for (; kept.slots[at].string != nullptr; at = (at + 1) & kMask) {
    const KeptStrings::Slot& slot = kept.slots[at];
    if (slot.hash == hash && slot.text == view) return static_cast<jstring>(env->NewLocalRef(slot.string));
  }
  const jstring made = NewStringFromHost(env, text);
  if (made == nullptr) return nullptr;
  if (2 * (kept.used + 1) > KeptStrings::kSlots) {
    for (KeptStrings::Slot& slot : kept.slots) {
      if (slot.string != nullptr) {
        env->DeleteGlobalRef(slot.string);
        --tKeptMadeHere;
      }
      slot = KeptStrings::Slot{};
    }
    kept.used = 0;
    at = hash & kMask;
  }
  const auto global = static_cast<jstring>(env->NewGlobalRef(made));
  if (global != nullptr) {
    kept.slots[at] = KeptStrings::Slot{hash, std::string(view), global};
    ++kept.used;
    ++tKeptMadeHere;
  }
  return made;
}

long KeptStringReferencesMadeHere() { return tKeptMadeHere; }

HostUtf8Chars::HostUtf8Chars(JNIEnv* env, jstring text) : modified_(env, text), chars_(modified_.get()) {
  if (chars_ == nullptr || std::strchr(chars_, '\xED') == nullptr) return;
  const Utf16Chars units(env, text);
  if (!units) {
    chars_ = nullptr;
    return;
  }
  icu::UnicodeString(false, reinterpret_cast<const UChar*>(units.get()), units.length()).toUTF8String(converted_);
  chars_ = converted_.c_str();
}

namespace {

// The name's string, set when asked for (null otherwise).
LocalRef<jstring> NameString(JNIEnv* env, const quill_value_t& record, jobject value, bool withName) {
  if (!withName || record.name == nullptr) return LocalRef<jstring>(env, nullptr);
  LocalRef<jstring> name(env, KeptStringFromHost(env, record.name));
  env->SetObjectField(value, gClassCache.quillValueName, name.get());
  return name;
}

}  // namespace

void FillQuillValue(JNIEnv* env, const quill_value_t& record, jobject value, bool withName) {
  const LocalRef<jstring> name = NameString(env, record, value, withName);
  // A record whose data repeats its name (a host's URL, a database's name) hands over one string.
  const bool repeated =
      name && record.data != nullptr && (record.data == record.name || std::strcmp(record.data, record.name) == 0);
  LocalRef<jstring> data(env, record.data != nullptr && !repeated ? NewStringFromHost(env, record.data) : nullptr);
  env->SetObjectField(value, gClassCache.quillValueData, repeated ? name.get() : data.get());
  env->SetIntField(value, gClassCache.quillValueType, record.type);
  env->ExceptionDescribe();
}

void FillQuillValueUtf8(JNIEnv* env, const quill_value_t& record, jobject value, bool withName) {
  NameString(env, record, value, withName);
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

jmethodID FindTagMethod(JNIEnv* env, jclass cls, const char* methodName) {
  jmethodID method = env->GetMethodID(cls, methodName, "(Lcom/ferngate/quillpro/QuillCall;I)I");
  if (method != nullptr) return method;
  env->ExceptionClear();
  return env->GetMethodID(cls, methodName, "(Lcom/marrowbay/quillpro/QuillCall;I)I");
}

}  // namespace bridge
