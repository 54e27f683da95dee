// StoreManExecute: one statement on the host's internal database, the rows back as String[][].
// The connector's loader and its data-source class both declare it and behave identically.
#include <jni.h>

#include <cstring>
#include <memory>
#include <string>

#include "bridge/jni_guards.h"
#include "bridge/marshal.h"
#include "com_marrowbay_jdbc_JDBCDataSource.h"
#include "host/storage.h"

namespace {

constexpr const char* kInternalDatabase = "quill_internal";

// Prints and clears what a failed step left pending, so the next JNI call is legal.
void ClearException(JNIEnv* env) {
  if (env->ExceptionCheck()) {
    env->ExceptionDescribe();
    env->ExceptionClear();
  }
}

// A cell as Java reads it: its UTF-8, modified or not, decoded (character zero as C0 80, a character
// beyond the Basic Multilingual Plane as four bytes or as its two surrogates of three bytes each),
// and any byte that starts no such sequence taken as the character of its value, as the VM's
// NewStringUTF takes it. The ISO-8859-1 text a statement wrote so comes back as it went in.
jstring CellString(JNIEnv* env, const char* text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  const size_t length = std::strlen(text);
  const auto continues = [&](size_t i) { return i < length && (bytes[i] & 0xC0) == 0x80; };
  std::u16string units;
  units.reserve(length);
  for (size_t i = 0; i < length;) {
    const unsigned lead = bytes[i];
    if (lead >= 0xC0 && lead <= 0xDF && continues(i + 1) && (lead >= 0xC2 || (lead == 0xC0 && bytes[i + 1] == 0x80))) {
      units.push_back(static_cast<char16_t>(((lead & 0x1F) << 6) | (bytes[i + 1] & 0x3F)));
      i += 2;
    } else if ((lead & 0xF0) == 0xE0 && continues(i + 1) && continues(i + 2) &&
               (lead != 0xE0 || bytes[i + 1] >= 0xA0)) {
      units.push_back(
          static_cast<char16_t>(((lead & 0x0F) << 12) | ((bytes[i + 1] & 0x3F) << 6) | (bytes[i + 2] & 0x3F)));
      i += 3;
    } else if (lead >= 0xF0 && lead <= 0xF4 && continues(i + 1) && continues(i + 2) && continues(i + 3) &&
               (lead != 0xF0 || bytes[i + 1] >= 0x90) && (lead != 0xF4 || bytes[i + 1] < 0x90)) {
      const unsigned code = ((lead & 0x07) << 18) | ((bytes[i + 1] & 0x3F) << 12) | ((bytes[i + 2] & 0x3F) << 6) |
                            (bytes[i + 3] & 0x3F);
      units.push_back(static_cast<char16_t>(0xD7C0 + (code >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 | (code & 0x3FF)));
      i += 4;
    } else {
      units.push_back(static_cast<char16_t>(lead));
      ++i;
    }
  }
  return env->NewString(reinterpret_cast<const jchar*>(units.data()), static_cast<jsize>(units.size()));
}

// Frees the rows however the function ends.
class RowsGuard {
 public:
  ~RowsGuard() { StorageManager::KillRows(&rows); }
  StorageManager::Rows rows;
};

jobjectArray StoreManExecute(JNIEnv* env, jstring sql) {
  if (sql == nullptr) return nullptr;
  int length = 0;
  const std::unique_ptr<char[]> text(bridge::JStringToLatin1(env, sql, &length));
  if (text == nullptr || length == 0) return nullptr;
  RowsGuard result;
  try {
    if (StorageManager::Execute(kInternalDatabase, text.get(), &result.rows, nullptr) != 0) {
      return nullptr;
    }
  } catch (...) {
    return nullptr;  // nothing the host throws may unwind into the VM
  }
  if (result.rows.empty()) return nullptr;

  const bridge::LocalRef<jclass> stringClass(env, env->FindClass("java/lang/String"));
  const bridge::LocalRef<jclass> rowClass(env, env->FindClass("[Ljava/lang/String;"));
  jobjectArray table = nullptr;
  if (stringClass && rowClass) {
    table = env->NewObjectArray(static_cast<jsize>(result.rows.size()), rowClass.get(), nullptr);
  }
  for (jsize r = 0; table != nullptr && r < static_cast<jsize>(result.rows.size()); ++r) {
    const StorageManager::Row& row = result.rows[r];
    const bridge::LocalRef<jobjectArray> cells(
        env, env->NewObjectArray(static_cast<jsize>(row.size()), stringClass.get(), nullptr));
    if (!cells) {
      ClearException(env);  // the row's slot stays null
      continue;
    }
    for (jsize c = 0; c < static_cast<jsize>(row.size()); ++c) {
      if (row[c] == nullptr) continue;  // SQL NULL
      const bridge::LocalRef<jstring> cell(env, CellString(env, row[c]->c_str()));
      if (cell) {
        env->SetObjectArrayElement(cells.get(), c, cell.get());
      } else {
        ClearException(env);
      }
    }
    env->SetObjectArrayElement(table, r, cells.get());
  }
  ClearException(env);
  return table;
}

}  // namespace

extern "C" JNIEXPORT jobjectArray JNICALL
Java_com_marrowbay_jdbc_JDBCDataSource_StoreManExecute(JNIEnv* env, jclass, jstring sql) {
  return StoreManExecute(env, sql);
}

// The loader's class lives in the connector's own jar; its declaration may be static or not, and
// the object or class it is called on is not read.
extern "C" JNIEXPORT jobjectArray JNICALL
Java_com_marrowbay_jdbc_JDBCLoader_StoreManExecute(JNIEnv* env, jobject, jstring sql) {
  return StoreManExecute(env, sql);
}
