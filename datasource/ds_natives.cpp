// QuillCall natives of data-source actions: the action's parameters, the connection slot, and
// the results (column descriptions, rows, rows found, statement, result names).
#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "bridge/marshal.h"
#include "com_ferngate_quillpro_QuillCall.h"
#include "host/datasource.h"

using namespace bridge;

namespace {

// Elements appended at the end, inside the object up to N, then on the heap (doubling).
template <class T, size_t N>
class GrowingBuffer {
 public:
  // n more elements at the end; null when the heap has none to give.
  T* Extend(size_t n) {
    if (capacity_ - size_ < n) {
      const size_t capacity = std::max(capacity_ * 2, size_ + n);
      std::unique_ptr<T[]> grown(new (std::nothrow) T[capacity]);
      if (!grown) return nullptr;
      std::copy(data_, data_ + size_, grown.get());
      heap_ = std::move(grown);
      data_ = heap_.get();
      capacity_ = capacity;
    }
    size_ += n;
    return data_ + size_ - n;
  }
  // Gives the last n elements back.
  void Drop(size_t n) { size_ -= n; }
  const T* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  T stack_[N];
  std::unique_ptr<T[]> heap_;
  T* data_ = stack_;
  size_t size_ = 0;
  size_t capacity_ = N;
};

// UTF-16 as the VM's modified UTF-8 (what GetStringUTFChars gives): character zero in two bytes,
// each surrogate on its own in three. out has room for 3 bytes per unit; answers the bytes written.
size_t EncodeModifiedUtf8(const jchar* units, size_t count, char* out) {
  size_t i = 0;
  // Text is mostly ASCII: one byte per unit until the first other one.
  for (; i < count && units[i] - 1u < 0x7Fu; ++i) out[i] = static_cast<char>(units[i]);
  char* p = out + i;
  for (; i < count; ++i) {
    const jchar u = units[i];
    if (u != 0 && u < 0x80) {
      *p++ = static_cast<char>(u);
    } else if (u < 0x800) {
      *p++ = static_cast<char>(0xC0 | (u >> 6));
      *p++ = static_cast<char>(0x80 | (u & 0x3F));
    } else {
      *p++ = static_cast<char>(0xE0 | (u >> 12));
      *p++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      *p++ = static_cast<char>(0x80 | (u & 0x3F));
    }
  }
  return static_cast<size_t>(p - out);
}

// Natives whose host call fills one 8-bit record, written into a QuillValue by fill.
template <class HostCall>
jint EightBitRecord(JNIEnv* env, jobject call, jobject out, bool withName, bool utf8, HostCall&& host) {
  return WithCall(env, call, {out}, [&](quill_token t) {
    quill_value_t record{};
    return OnSuccess(host(t, &record), [&] {
      if (utf8) FillQuillValueUtf8(env, record, out, withName);
      else FillQuillValue(env, record, out, withName);
    });
  });
}

// Optional out-parameters: the native refuses only when none is given.
bool NoneGiven(std::initializer_list<jobject> outs) {
  for (jobject out : outs) {
    if (out != nullptr) return false;
  }
  return true;
}

void FillIfGiven(JNIEnv* env, const quill_value_t& record, jobject out) {
  if (out != nullptr) FillQuillValue(env, record, out, true);
}

}  // namespace

extern "C" {

// ---- the action's parameters ----

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getDataSourceName(JNIEnv* env, jobject self,
                                                                               jobject name, jobject flag,
                                                                               jobject second) {
  if (NoneGiven({name, flag, second})) return kNullArgument;
  return WithCall(env, self, {}, [&](quill_token t) {
    quill_value_t database{}, source{};
    bool named = false;
    return OnSuccess(quill_getDataSourceName(t, &database, &named, &source), [&] {
      if (flag != nullptr) {
        const int32_t bit = named ? 1 : 0;
        SetIntValue(env, &bit, flag);
      }
      FillIfGiven(env, database, name);
      FillIfGiven(env, source, second);
    });
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getSchemaName(JNIEnv* env, jobject self, jobject schema) {
  return EightBitRecord(env, self, schema, false, false, quill_getSchemaName);
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getTableName(JNIEnv* env, jobject self, jobject table) {
  return EightBitRecord(env, self, table, false, false, quill_getTableName);
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getDataHostID(JNIEnv* env, jobject self, jobject id) {
  return WithCall(env, self, {id}, [&](quill_token t) -> jint {
    // The host's lookup of the token's state, never a cast of the token.
    TExecState* state = TExecState::FromToken(t);
    if (state == nullptr) return QUILL_ERR_BAD_TOKEN;
    if (state->request == nullptr) return kNothingToDo;
    const HostRec& host = state->request->GetHostRec();
    SetIntValue(env, &host.id, id);
    return 0;
  });
}

JNIEXPORT jint JNICALL
Java_com_ferngate_quillpro_QuillCall_getDataHost__Lcom_ferngate_quillpro_QuillValue_2Lcom_ferngate_quillpro_QuillValue_2(
    JNIEnv* env, jobject self, jobject first, jobject second) {
  if (NoneGiven({first, second})) return kNullArgument;
  return WithCall(env, self, {}, [&](quill_token t) {
    quill_value_t host{}, login{};
    return OnSuccess(quill_getDataHost(t, &host, &login), [&] {
      FillIfGiven(env, host, first);
      FillIfGiven(env, login, second);
    });
  });
}

JNIEXPORT jint JNICALL
Java_com_ferngate_quillpro_QuillCall_getDataHost__Lcom_ferngate_quillpro_QuillValue_2Lcom_ferngate_quillpro_QuillValue_2Lcom_ferngate_quillpro_QuillValue_2(
    JNIEnv* env, jobject self, jobject first, jobject second, jobject third) {
  if (NoneGiven({first, second, third})) return kNullArgument;
  return WithCall(env, self, {}, [&](quill_token t) {
    quill_value_t host{}, login{}, extra{};
    return OnSuccess(quill_getDataHost2(t, &host, &login, &extra), [&] {
      FillIfGiven(env, host, first);
      FillIfGiven(env, login, second);
      FillIfGiven(env, extra, third);
    });
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getSkipRows(JNIEnv* env, jobject self, jobject count) {
  return NumberToIntValue(env, self, {count}, count, quill_getSkipRows);
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getMaxRows(JNIEnv* env, jobject self, jobject count) {
  return NumberToIntValue(env, self, {count}, count, quill_getMaxRows);
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getRowID(JNIEnv* env, jobject self, jobject id) {
  return NumberToIntValue(env, self, {id}, id, quill_getRowID);
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_setRowID(JNIEnv* env, jobject self, jint id) {
  return WithCall(env, self, {}, [&](quill_token t) { return quill_setRowID(t, id); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getPrimaryKeyColumn(JNIEnv* env, jobject self,
                                                                                 jobject column) {
  return EightBitRecord(env, self, column, true, true, quill_getPrimaryKeyColumn);
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getInputColumnCount(JNIEnv* env, jobject self,
                                                                                jobject count) {
  return NumberToIntValue(env, self, {count}, count, quill_getInputColumnCount);
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getInputColumn(JNIEnv* env, jobject self, jint index,
                                                                           jobject column) {
  return EightBitRecord(env, self, column, true, true,
                        [index](quill_token t, quill_value_t* record) { return quill_getInputColumn(t, index, record); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_findInputColumn(JNIEnv* env, jobject self, jstring name,
                                                                            jobject column) {
  return WithCall(env, self, {column}, [&](quill_token t) -> jint {
    quill_value_t record{};
    osError result;
    {
      Utf16Chars units(env, name);  // released right after the host call
      if (!units) return kBadString;
      result = quill_findInputColumnW(t, units.get(), &record);
    }
    return OnSuccess(result, [&] { FillQuillValueUtf8(env, record, column, true); });
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getLogicalOp(JNIEnv* env, jobject self, jobject op) {
  return NumberToIntValue(env, self, {op}, op, quill_getLogicalOp);
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getSortColumnCount(JNIEnv* env, jobject self,
                                                                               jobject count) {
  return NumberToIntValue(env, self, {count}, count, quill_getSortColumnCount);
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getSortColumn(JNIEnv* env, jobject self, jint index,
                                                                          jobject column) {
  return EightBitRecord(env, self, column, true, false,
                        [index](quill_token t, quill_value_t* record) { return quill_getSortColumn(t, index, record); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getReturnColumnCount(JNIEnv* env, jobject self,
                                                                                 jobject count) {
  return NumberToIntValue(env, self, {count}, count, quill_getReturnColumnCount);
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getReturnColumn(JNIEnv* env, jobject self, jint index,
                                                                            jobject column) {
  return EightBitRecord(env, self, column, false, false, [index](quill_token t, quill_value_t* record) {
    return quill_getReturnColumn(t, index, record);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getDataSourceModuleName(JNIEnv* env, jobject self,
                                                                                    jobject name) {
  return EightBitRecord(env, self, name, false, false, quill_getDataSourceModuleName);
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_getIsStatementOnly(JNIEnv* env, jobject self) {
  return WithCall(env, self, {}, [&](quill_token t) -> jint {
    bool flag = false;
    const osError result = quill_getIsStatementOnly(t, &flag);
    if (result != 0) return result;
    return flag ? 0 : kNothingToDo;
  });
}

// ---- connection and results ----

JNIEXPORT jobject JNICALL Java_com_ferngate_quillpro_QuillCall_getDSConnection(JNIEnv* env, jobject self) {
  if (!gClassCache.complete) return nullptr;
  const quill_token t = GetRequestToken(env, self);
  if (t == 0) return nullptr;
  void* connection = nullptr;
  if (quill_getDSConnection(t, &connection) != 0 || connection == nullptr) return nullptr;
  return env->NewLocalRef(static_cast<jobject>(connection));
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_setDSConnection(JNIEnv* env, jobject self,
                                                                            jobject connection) {
  return WithCall(env, self, {}, [&](quill_token t) -> jint {
    void* previous = nullptr;
    if (quill_getDSConnection(t, &previous) != 0) previous = nullptr;
    jobject global = connection != nullptr ? env->NewGlobalRef(connection) : nullptr;
    const osError result = quill_setDSConnection(t, global);
    // A reference the slot does not hold, or no longer holds, would be lost: release it.
    if (result != 0) {
      if (global != nullptr) env->DeleteGlobalRef(global);
    } else if (previous != nullptr && previous != global) {
      env->DeleteGlobalRef(static_cast<jobject>(previous));
    }
    return result;
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_addDataSourceResult(JNIEnv* env, jobject self,
                                                                                jstring text) {
  return WithCall(env, self, {text}, [&](quill_token t) -> jint {
    Utf8Chars chars(env, text);
    if (!chars) return kBadString;
    return quill_addDataSourceResultUTF8(t, chars.get());
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_addColumnInfo(JNIEnv* env, jobject self, jstring name,
                                                                          jint a, jint b, jint c) {
  return WithCall(env, self, {}, [&](quill_token t) -> jint {
    Latin1Chars name8(env, name);
    if (!name8) return kBadString;
    return quill_addColumnInfo(t, name8.get(), a, b, c);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_addColumnInfo2(JNIEnv* env, jobject self, jstring name,
                                                                           jint a, jint b, jint c,
                                                                           jobjectArray values) {
  return WithCall(env, self, {}, [&](quill_token t) -> jint {
    Latin1Chars name8(env, name);
    if (!name8) return kBadString;
    // A null list is an empty one: no null reference reaches the VM's array functions.
    const jsize count = values != nullptr ? env->GetArrayLength(values) : 0;
    const Latin1List list(env, values, count);
    return quill_addColumnInfo2(t, name8.get(), a, b, c, list.data(), count);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_addColumnInfos(JNIEnv* env, jobject self,
                                                                           jobjectArray names, jintArray types,
                                                                           jintArray sizes, jintArray flags) {
  return WithCall(env, self, {names, types, sizes, flags}, [&](quill_token t) -> jint {
    // Every name is read before the first column is added: a name that cannot be read adds none.
    const ColumnArrays columns(env, names, types, sizes, flags);
    if (columns.code() != 0) return columns.code();
    for (jsize i = 0; i < columns.size(); ++i) {
      const osError result =
          quill_addColumnInfo(t, columns.name(i), columns.type(i), columns.columnSize(i), columns.flags(i));
      if (result != 0) return result;
    }
    return 0;
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_addResultRow___3Ljava_lang_String_2(JNIEnv* env,
                                                                                               jobject self,
                                                                                               jobjectArray row) {
  return WithCall(env, self, {row}, [&](quill_token t) -> jint {
    const jsize count = env->GetArrayLength(row);
    // A connector adds one row per result row, so this is the hot path of a large search. Every
    // JNI call costs a VM transition, so a cell takes four (element, length, characters, and the
    // element's local reference deleted) and its modified UTF-8 is written here, into one buffer
    // for the row, on the stack for the usual short row: no allocation, and no characters to
    // release, per cell.
    ShortArray<size_t, 32> offsets(static_cast<size_t>(count));
    ShortArray<int32_t, 32> lengths(static_cast<size_t>(count));
    ShortArray<const char*, 32> values(static_cast<size_t>(count));
    GrowingBuffer<char, 4096> bytes;
    GrowingBuffer<jchar, 1024> units;
    constexpr size_t kNull = static_cast<size_t>(-1);
    for (jsize i = 0; i < count; ++i) {
      const LocalRef<jstring> element(env, static_cast<jstring>(env->GetObjectArrayElement(row, i)));
      offsets[i] = kNull;
      lengths[i] = 0;
      if (!element) continue;
      const auto length = static_cast<size_t>(env->GetStringLength(element.get()));
      units.Drop(units.size());
      jchar* chars = units.Extend(length);
      char* into = bytes.Extend(3 * length);
      if (chars == nullptr || into == nullptr || 3 * length > INT32_MAX) return kGenericError;
      env->GetStringRegion(element.get(), 0, static_cast<jsize>(length), chars);
      const size_t written = EncodeModifiedUtf8(chars, length, into);
      bytes.Drop(3 * length - written);
      offsets[i] = bytes.size() - written;
      lengths[i] = static_cast<int32_t>(written);
    }
    if (env->ExceptionCheck()) return kBadString;
    for (jsize i = 0; i < count; ++i) values[i] = offsets[i] == kNull ? nullptr : bytes.data() + offsets[i];
    return quill_addResultRow(t, values.data(), lengths.data(), count);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_addResultRow___3_3B(JNIEnv* env, jobject self,
                                                                                jobjectArray row) {
  return WithCall(env, self, {row}, [&](quill_token t) -> jint {
    const jsize count = env->GetArrayLength(row);
    std::vector<std::unique_ptr<jbyte[]>> copies(static_cast<size_t>(count));
    std::unique_ptr<const char*[]> values(new const char*[static_cast<size_t>(count)]);
    std::unique_ptr<int32_t[]> lengths(new int32_t[static_cast<size_t>(count)]);
    for (jsize i = 0; i < count; ++i) {
      LocalRef<jbyteArray> element(env, static_cast<jbyteArray>(env->GetObjectArrayElement(row, i)));
      values[i] = nullptr;
      lengths[i] = 0;
      if (!element) continue;
      const jsize length = env->GetArrayLength(element.get());
      copies[static_cast<size_t>(i)].reset(new jbyte[static_cast<size_t>(length) + 1]);
      env->GetByteArrayRegion(element.get(), 0, length, copies[static_cast<size_t>(i)].get());
      values[i] = reinterpret_cast<const char*>(copies[static_cast<size_t>(i)].get());
      lengths[i] = length;
    }
    const osError result = quill_addResultRow(t, values.get(), lengths.get(), count);
    while (!copies.empty()) copies.pop_back();  // last to first
    return result;
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_addResultRows(JNIEnv* env, jobject self, jint columns,
                                                                          jint cellCount, jbyteArray data,
                                                                          jintArray lengths) {
  return WithCall(env, self, {data, lengths}, [&](quill_token t) -> jint {
    const jsize dataSize = env->GetArrayLength(data);
    if (columns <= 0 || cellCount < 0 || cellCount % columns != 0 || cellCount > env->GetArrayLength(lengths)) {
      return QUILL_ERR_INVALID;
    }
    // Copies, so the host is called with nothing of the VM's held; the buffers stay with the
    // thread, as a result arrives in many batches of about the same size.
    thread_local std::vector<jint> sizes;
    thread_local std::vector<char> bytes;
    sizes.resize(static_cast<size_t>(cellCount));
    env->GetIntArrayRegion(lengths, 0, cellCount, sizes.data());
    int64_t total = 0;
    for (const jint size : sizes) {
      if (size < -1) return QUILL_ERR_INVALID;
      total += size > 0 ? size : 0;
    }
    if (total > dataSize) return QUILL_ERR_INVALID;
    bytes.resize(static_cast<size_t>(total));
    env->GetByteArrayRegion(data, 0, static_cast<jsize>(total), reinterpret_cast<jbyte*>(bytes.data()));
    return quill_addResultRows(t, columns, cellCount / columns, bytes.data(), total, sizes.data());
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_setNumRowsFound(JNIEnv* env, jobject self, jint count) {
  return WithCall(env, self, {}, [&](quill_token t) { return quill_setNumRowsFound(t, count); });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_setActionStatement(JNIEnv* env, jobject self,
                                                                               jstring statement) {
  return WithCall(env, self, {statement}, [&](quill_token t) -> jint {
    Utf16Chars units(env, statement);
    if (!units) return kBadString;
    return quill_setActionStatementW(t, units.get());
  });
}

}  // extern "C"
