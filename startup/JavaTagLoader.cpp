#include "startup/JavaTagLoader.h"

#include "host/storage.h"
#include "startup/attach.h"
#include "startup/class_cache.h"
#include "startup/globals.h"

namespace {

constexpr const char* kCreateDriverTable =
    "CREATE TABLE jdbc_drivers ("
    "id integer primary key,"
    "driver_name varchar(255),"
    "file_name varchar(255),"
    "vendor_name varchar(255),"
    "vendor_url varchar(255),"
    "driver_type integer,"
    "api_version integer,"
    "connection_string varchar(255),"
    "required_properties varchar(255),"
    "version_major integer,"
    "version_minor integer,"
    "last_updated varchar(31),"
    "certified varchar(1),"
    "notes varchar(255),"
    "catalogs_supported varchar(1),"
    "schemas_supported varchar(1),"
    "quote_identifier varchar(1),"
    "quote_escape varchar(1),"
    "catalog_separator varchar(1),"
    "statement_terminator varchar(1),"
    "typeconvert_supported varchar(1),"
    "rdbms varchar(20)"
    ");";

// True when the driver table is known to be missing: the count query worked and answered 0.
bool DriverTableMissing() {
  StorageManager::Rows rows;
  bool missing = StorageManager::Execute(
                     "quill_internal",
                     "SELECT COUNT(*) FROM sqlite_master WHERE type='table' AND name='jdbc_drivers'",
                     &rows, nullptr) == 0 &&
                 !rows.empty() && !rows[0].empty() && rows[0][0] != nullptr &&
                 rows[0][0]->c_str()[0] == '0';
  StorageManager::KillRows(&rows);
  return missing;
}

}  // namespace

JavaTagLoader::JavaTagLoader(JNIEnv* startupEnv) : env(startupEnv) { gTagLoader = this; }

void JavaTagLoader::LoadModules(TagRegistry* /*registry*/) {
  JniAttachment attachment;
  JNIEnv* jni = attachment.env();
  if (jni == nullptr) return;
  jni->ExceptionClear();

  // All three are looked up even when one is missing; the VM prints why each one failed.
  bool present = true;
  for (const char* name : {"com/ferngate/quillpro/QuillJavaModule",
                           "com/ferngate/quillpro/QuillTagModule",
                           "com/ferngate/quillpro/QuillDSModule"}) {
    present = jni->FindClass(name) != nullptr && present;
    jni->ExceptionDescribe();
  }
  if (!present) {
    quill_log(2, "Unable to load Quill Java classes. Make sure the %s file is installed properly.",
              gBridgeJarName.c_str());
    return;
  }

  CacheJavaClasses(jni);

  bool loaderRan = false;
  jclass nativeLoader = jni->FindClass("com/marrowbay/util/NativeLoader");
  if (nativeLoader == nullptr) {
    // Its NoClassDefFoundError stays pending, so the description below prints why.
    quill_log(0, "%s", kNativeLoaderMissing);
  } else {
    jmethodID loadModules = jni->GetStaticMethodID(nativeLoader, "loadQuillModules", "()V");
    if (loadModules != nullptr) {
      jni->CallStaticVoidMethod(nativeLoader, loadModules);
      loaderRan = true;
    }
  }
  // Whatever a module threw is printed here and goes no further.
  jni->ExceptionDescribe();
  jni->ExceptionClear();

  if (loaderRan) LoadJdbcConnector(jni);
}

void JavaTagLoader::LoadJdbcConnector(JNIEnv* jni) {
  if (DriverTableMissing()) StorageManager::Execute("quill_internal", kCreateDriverTable, nullptr, nullptr);

  jclass loaderClass = jni->FindClass("com/marrowbay/jdbc/JDBCLoader");
  if (loaderClass == nullptr) {
    quill_log(2,
              "Could not find JDBCLoader.class. Make sure the JDBCConnector.jar is located in "
              "QuillModules folder.");
    jni->ExceptionClear();
    return;
  }
  quill_log(2, "Loading JDBC connector...");
  jobject loader = nullptr;
  jmethodID constructor = jni->GetMethodID(loaderClass, "<init>", "()V");
  if (constructor != nullptr) loader = jni->NewObject(loaderClass, constructor);
  jni->ExceptionDescribe();
  if (loader == nullptr) {
    quill_log(2, "Unable to instantiate JDBCLoader.class");
  } else {
    jmethodID registerModule = jni->GetMethodID(loaderClass, "registerQuillModule", "()V");
    if (registerModule != nullptr) jni->CallVoidMethod(loader, registerModule);
    jni->ExceptionDescribe();
    quill_log(2, "JDBC load complete.");
  }
  jni->ExceptionClear();
}
