// The natives the bridge tests run under the JNI balance harness (see jni_balance.h).
#pragma once

#include <jni.h>

#include <string>
#include <vector>

#include "tests/bridge/jni_balance.h"

namespace jni_balance {

// The outcomes an int native must have been seen on. Natives that read no token cannot refuse an
// unbound call, and a placeholder may never succeed.
enum Paths : int { kSucceeds = 1, kRefusesUnbound = 2, kRefusesHostFailure = 4, kEveryPath = 7 };

struct BalancedNative {
  const char* symbol;   // the native's JNI symbol, short or long form
  void* counted;        // Counted<&symbol>::Call, bound in its place
  const void* native;   // the native itself
  Keeps keeps;
  int paths = kEveryPath;
};

const std::vector<BalancedNative>& BalancedNatives();

// Binds every row's counted form in place of the native; one line per binding the VM refused.
std::vector<std::string> BindCountedNatives(JNIEnv* env);

}  // namespace jni_balance
