// The module's entry: decides whether the bridge runs, starts the VM and loads the Java modules.
#include <jni.h>

#include "bridge/marshal.h"
#include "datasource/JDBCTags.h"
#include "datasource/column_cache.h"
#include "host/request.h"
#include "host/storage.h"
#include "startup/JavaTagLoader.h"
#include "startup/JavaVMLauncher.h"
#include "startup/attach.h"
#include "startup/globals.h"

JavaVM* gJavaVM = nullptr;
JavaTagLoader* gTagLoader = nullptr;
CharBuffer gBridgeJarName("QJAPI.jar");

namespace {

// The switch is on unless the preference exists and does not begin with an upper-case Y.
bool BridgeEnabled() {
  bool enabled = true;
  StorageManager::Rows rows;
  if (StorageManager::Execute("quill_internal",
                              "SELECT data FROM global_prefs WHERE store_key = 'java_qjapi_enabled'",
                              &rows, nullptr) == 0 &&
      !rows.empty()) {
    const CharBuffer* value = rows[0].empty() ? nullptr : rows[0][0];
    enabled = value != nullptr && value->c_str()[0] == 'Y';
  }
  StorageManager::KillRows(&rows);
  return enabled;
}

// Has the Java side load this library, so the VM binds the natives by their JNI names. A failed
// lookup's exception stays pending: module loading clears it before its own lookups.
void BindNatives(JNIEnv* env) {
  jclass loader = env->FindClass("com/marrowbay/util/NativeLoader");
  if (loader == nullptr) {
    quill_log(0, "%s", kNativeLoaderMissing);
    return;
  }
  jmethodID loadLibrary = env->GetStaticMethodID(loader, "loadLibrary", "(Ljava/lang/String;)Z");
  if (loadLibrary == nullptr) return;
  jstring name = env->NewStringUTF("QJAPI");
  env->CallStaticBooleanMethod(loader, loadLibrary, name);
  env->DeleteLocalRef(name);
}

bool StartJavaBridge() {
  if (!BridgeEnabled()) {
    quill_log(2, "QJAPI is OFF.");
    return false;
  }
  gLauncher.Start();
  gJavaVM = gLauncher.vm;
  if (gLauncher.env != nullptr) {
    ConfigureAttachScope();
    datasource::gColumnCacheEnabled.store(SwitchPreferenceOn("java_column_cache"), std::memory_order_relaxed);
    bridge::gKeptStringsShared.store(SwitchPreferenceOn("java_shared_strings"), std::memory_order_relaxed);
    new JavaTagLoader(gLauncher.env);
    BindNatives(gLauncher.env);
  }
  return gTagLoader != nullptr;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int RegisterQuillTags(TagRegistry* registry) {
  if (Quill::Instance()->Settings().suppressModules) return 0;
  // The host calls the entry once. Were it called again, starting a second VM would fail and
  // take the running bridge down with it: a bridge already running stays as it is.
  if (gTagLoader != nullptr) return 1;
  if (!StartJavaBridge()) return 0;
  gTagLoader->LoadModules(registry);
  RegisterJDBCTags(registry);
  return 1;
}
