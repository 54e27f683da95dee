// JNI balance harness: counts what a native acquires from the VM and what it gives back.
//
// While a BalanceScope is open on a thread, that thread's JNIEnv runs on a copy of the VM's own
// function table in which every acquiring and releasing entry the bridge uses also keeps a tally:
//   string characters      GetStringChars / ReleaseStringChars
//   UTF characters         GetStringUTFChars / ReleaseStringUTFChars
//   array elements         GetByteArrayElements / ReleaseByteArrayElements
//   local references       every entry the bridge calls that returns a new local (NewLocalRef,
//                          AllocObject, NewObject*, NewString*, New*Array, FindClass, GetObjectClass,
//                          GetSuperclass, ToReflectedMethod, GetObjectField, GetObjectArrayElement,
//                          Call*ObjectMethod, ExceptionOccurred) / DeleteLocalRef
//   global references      NewGlobalRef / DeleteGlobalRef
// An entry the bridge starts to use that acquires something (a frame, a monitor, a critical
// region, a weak reference, another array type) needs its hook here before a fault in it shows.
// Entries the harness does not count are the VM's own, called with the same JNIEnv, so the VM
// (and -Xcheck:jni, whose table is the one copied when it is on) sees nothing different. Only
// calls made from this program and the module are counted: Java code run inside a scope (a tag
// called from a container's body, an exception being printed) may call the JDK's own natives,
// whose locals die with their own frames.
//
// When the scope closes, everything acquired must have been released. The allowances: a native
// that returns an object may leave that one local reference (the VM frees it with the frame), a
// row may declare global references that what it hands the host keeps (Keeps), and the strings
// the bridge keeps for every later call are not counted.
// Each imbalance becomes a violation naming the native, its result and what it left behind.
#pragma once

#include <jni.h>

#include <map>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace jni_balance {

// How one native call ended, for the record of which paths each native was seen on.
enum class Outcome { kSuccess, kNullArgument, kUnbound, kRefused, kReturned };

// How many global references a native may leave behind on purpose: those owned by what it
// hands the host (a registered tag keeps its module instance and class). Negative: how many it
// may release that an earlier call left (freeing a value's Java object).
using Keeps = int;

class BalanceScope {
 public:
  BalanceScope(JNIEnv* env, std::string what, Keeps keeps = 0);
  ~BalanceScope();
  BalanceScope(const BalanceScope&) = delete;
  BalanceScope& operator=(const BalanceScope&) = delete;

  // Checks the tallies, records any violation under `result` (a text for the message), and
  // restores the thread's own function table. Called once; the destructor calls it if needed.
  void Finish(const std::string& result, bool returnsLocal = false);

  struct Counts {
    long stringChars = 0, utfChars = 0, arrayElements = 0, locals = 0, globals = 0;
  };
  Counts& counts() { return counts_; }

 private:
  JNIEnv* env_;
  const JNINativeInterface_* saved_;
  BalanceScope* outer_;
  std::string what_;
  Keeps keeps_;
  long keptStrings_;  // bridge::KeptStringReferencesMadeHere() when the scope opened
  bool finished_ = false;
  Counts counts_;
};

// Violations recorded so far (and cleared): one line each, naming the native or routine.
std::vector<std::string> TakeViolations();

// The outcome of each call of a counted native, for the check that each ran on every path.
void RecordOutcome(const std::string& native, Outcome outcome);
std::map<std::string, std::set<Outcome>> Outcomes();

// Runs body() inside a scope named what; for marshalling routines called directly.
template <class Body>
void Balanced(JNIEnv* env, const std::string& what, Body&& body) {
  BalanceScope scope(env, what);
  body();
  scope.Finish("");
}

Outcome OutcomeOf(jint result);

// ---- the natives held to the harness (balanced_natives.cpp) ----

// The outcomes an int native must have been seen on. Natives that read no token cannot refuse an
// unbound call, and a placeholder may never succeed.
enum Paths : int { kSucceeds = 1, kRefusesUnbound = 2, kRefusesHostFailure = 4, kEveryPath = 7 };

struct BalancedNative {
  const char* symbol;   // the native's JNI symbol, short or long form
  void* counted;        // Counted<&symbol>::Call, bound in its place
  const void* native;   // the native itself
  const char *className, *method, *signature;  // where Java declares it
  Keeps keeps = 0;
  int paths = kEveryPath;
  std::string name = "(a native without a row)";  // Java's class.method, with the arguments of an overload
};

const std::vector<BalancedNative>& BalancedNatives();
// The row of a native, by its address.
const BalancedNative& NativeRow(const void* native);

// Binds every row's counted form in place of the native; one line per binding the VM refused.
std::vector<std::string> BindCountedNatives(JNIEnv* env);

// Counted<&Java_...>::Call has the native's own type; the VM is told to call it instead of the
// native, and it runs the native inside a BalanceScope.
template <auto Native>
struct Counted;

template <class R, class... A, R(JNICALL* Native)(JNIEnv*, A...)>
struct Counted<Native> {
  static R JNICALL Call(JNIEnv* env, A... args) {
    const BalancedNative& row = NativeRow(reinterpret_cast<const void*>(Native));
    BalanceScope scope(env, row.name, row.keeps);
    if constexpr (std::is_void_v<R>) {
      Native(env, args...);
      scope.Finish("(void)");
      RecordOutcome(row.name, Outcome::kReturned);
    } else {
      R result = Native(env, args...);
      if constexpr (std::is_same_v<R, jint>) {
        scope.Finish(std::to_string(result));
        RecordOutcome(row.name, OutcomeOf(result));
      } else if constexpr (std::is_pointer_v<R>) {
        scope.Finish(result != nullptr ? "an object" : "null", result != nullptr);
        RecordOutcome(row.name, Outcome::kReturned);
      } else {
        scope.Finish(std::to_string(result));
        RecordOutcome(row.name, Outcome::kReturned);
      }
      return result;
    }
  }
};

}  // namespace jni_balance
