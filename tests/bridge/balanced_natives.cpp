// The natives held to the JNI balance harness: every native the bridge's classes declare, read
// from the javac-generated headers at build time (native_rows.cmake writes balanced_natives.inc).
//
// Adding a native needs no row here, only one entry in fixtures.NativeWalk.NATIVES, which calls it
// with null arguments, unbound, with a stale token and, prepared, with success. bridge_tests binds
// each row's counted form in place of the native, so every call of it in that program is checked,
// and fails when a native returning an int code was not seen succeeding, refusing an unbound call
// and refusing a host failure (the coverage case that runs the walk). A native without a
// code to tell its paths apart (void, or returning an object) needs a case that calls
// Counted<&symbol>::Call on each path and checks after each call, as RegisterOnEveryPath in
// bridge_tests.cpp does for the registration natives; the coverage check then only asks that it
// was called. A native that reads no token, or that keeps global references in what it hands the
// host, is named in kExceptions below.
#include "tests/bridge/jni_balance.h"

#include <algorithm>
#include <string_view>

#include "com_ferngate_quillpro_QuillCall.h"
#include "com_ferngate_quillpro_QuillDSModule.h"
#include "com_ferngate_quillpro_QuillLogging.h"
#include "com_ferngate_quillpro_QuillTagModule.h"
#include "com_marrowbay_jdbc_JDBCDataSource.h"
#include "com_marrowbay_quillpro_QuillTagModule.h"
#include "com_marrowbay_util_ModuleReloader.h"

namespace jni_balance {
namespace {

#define QJ_NATIVE(fn, cls, method, signature)                                                                   \
  BalancedNative{#fn, reinterpret_cast<void*>(&Counted<&fn>::Call), reinterpret_cast<const void*>(&fn), cls, method, \
                 signature},

// Natives whose symbol ends in "_<name>" and differ from the rule (keep nothing, every path).
const struct {
  const char* name;
  Keeps keeps;
  int paths;
} kExceptions[] = {
    // a copy of a value that carries a Java object keeps a clone of it (its type's onassign)
    {"QuillCall_returnTagValue", 1, kEveryPath},
    {"QuillCall_setVariable2", 1, kEveryPath},
    // natives that read no token; outputTagDataF always answers -1
    {"QuillCall_registerConstant", 0, kSucceeds | kRefusesHostFailure},
    {"QuillCall_registerConstant2", 0, kSucceeds | kRefusesHostFailure},
    {"QuillCall_log", 0, kSucceeds | kRefusesHostFailure},
    {"QuillLogging_setDestination", 0, kSucceeds | kRefusesHostFailure},
    {"QuillCall_runRequest", 0, kSucceeds | kRefusesHostFailure},
    {"QuillCall_outputTagDataF", 0, kRefusesHostFailure},
    // an object stored or a class kept for a member holds one global reference; freeing an object
    // releases one
    {"QuillCall_typeSetCustomJavaObject", 1, kEveryPath},
    {"QuillCall_typeFreeCustomJavaObject", -1, kEveryPath},
    {"QuillCall_typeAllocTag", 1, kEveryPath},
    {"QuillCall_typeAddMemberTag", 1, kEveryPath},
    // the connection slot, a registered data source and connector keep the object they are given
    {"QuillCall_setDSConnection", 1, kEveryPath},
    {"QuillDSModule_registerDSModule", 1, kEveryPath},
    {"JDBCDataSource_registerJDBCModule", 1, kEveryPath},
    // a registered tag keeps its module instance and class
    {"QuillTagModule_registerTagModule", 2, kEveryPath},
};

}  // namespace

const std::vector<BalancedNative>& BalancedNatives() {
  static const std::vector<BalancedNative> natives = [] {
    std::vector<BalancedNative> all = {
#include "balanced_natives.inc"
    };
    for (BalancedNative& native : all) {
      for (const auto& e : kExceptions) {
        if (std::string_view(native.symbol).ends_with(std::string("_") + e.name)) {
          native.keeps = e.keeps;
          native.paths = e.paths;
        }
      }
      // Overloads are told apart by their arguments; classes by their package.
      const std::string_view signature = native.signature;
      native.name = std::string(native.className) + "." + native.method;
      if (std::string_view(native.symbol).find("__") != std::string_view::npos) {
        native.name += signature.substr(0, signature.find(')') + 1);
      }
      for (char& c : native.name) c = c == '/' ? '.' : c;
    }
    return all;
  }();
  return natives;
}

const BalancedNative& NativeRow(const void* native) {
  static const BalancedNative unknown{};
  const std::vector<BalancedNative>& rows = BalancedNatives();
  const auto found = std::find_if(rows.begin(), rows.end(), [native](const auto& row) { return row.native == native; });
  return found != rows.end() ? *found : unknown;
}

std::vector<std::string> BindCountedNatives(JNIEnv* env) {
  std::vector<std::string> problems;
  for (const BalancedNative& row : BalancedNatives()) {
    env->PushLocalFrame(4);
    jclass owner = env->FindClass(row.className);
    const JNINativeMethod method{const_cast<char*>(row.method), const_cast<char*>(row.signature), row.counted};
    if (owner == nullptr || env->RegisterNatives(owner, &method, 1) != JNI_OK) {
      env->ExceptionDescribe();
      problems.push_back(std::string("the counted form of ") + row.symbol + " could not be bound");
    }
    env->PopLocalFrame(nullptr);
  }
  return problems;
}

}  // namespace jni_balance
