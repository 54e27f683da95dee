// StoreManExecute: one statement on the host's internal database, the rows back as String[][].
// The connector's loader and its data-source class both declare it and behave identically.
#include <jni.h>

#include <memory>

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
      const bridge::LocalRef<jstring> cell(env, bridge::NewStringFromHost(env, row[c]->c_str()));
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
