#include "tests/bridge/jni_balance.h"

#include <link.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "bridge/marshal.h"

namespace jni_balance {
namespace {

// The table every thread's JNIEnv used when the first scope opened (the checked one under
// -Xcheck:jni), and the counting copy of it.
std::once_flag gTablesMade;
const JNINativeInterface_* gVmTable = nullptr;
JNINativeInterface_ gOriginal;
JNINativeInterface_ gCounting;

thread_local BalanceScope* tCurrent = nullptr;

// The code whose JNI calls are counted: this program (where the natives under test are linked)
// and the module. While a scope is open, Java code it calls may run natives of the JDK's own
// libraries through the same table; their locals die with their own frames, so they are not
// counted.
std::vector<std::pair<uintptr_t, uintptr_t>> gCountedCode;

int NoteCountedCode(dl_phdr_info* info, size_t, void*) {
  const std::string name = info->dlpi_name != nullptr ? info->dlpi_name : "";
  const bool counted = name.empty() || name.ends_with("/libQJAPI.so");
  for (int i = 0; counted && i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD || (segment.p_flags & PF_X) == 0) continue;
    const uintptr_t start = info->dlpi_addr + segment.p_vaddr;
    gCountedCode.emplace_back(start, start + segment.p_memsz);
  }
  return 0;
}

bool Counts(const void* caller) {
  const auto address = reinterpret_cast<uintptr_t>(caller);
  return std::any_of(gCountedCode.begin(), gCountedCode.end(),
                     [address](const auto& range) { return address >= range.first && address < range.second; });
}

#define QJ_CALLER __builtin_return_address(0)

std::mutex gMutex;
std::vector<std::string> gViolations;
std::map<std::string, std::set<Outcome>> gOutcomes;

enum class Tally { kStringChars, kUtfChars, kArrayElements, kLocals, kGlobals };

void Add(const void* caller, Tally tally, long delta) {
  if (tCurrent == nullptr || !Counts(caller)) return;
  BalanceScope::Counts& c = tCurrent->counts();
  long* counts[] = {&c.stringChars, &c.utfChars, &c.arrayElements, &c.locals, &c.globals};
  *counts[static_cast<int>(tally)] += delta;
}

template <class... A>
bool FirstIsSet(const void* first, A...) {
  return first != nullptr;
}

// Hook<&JNINativeInterface_::X, decltype(X)>: counting versions of entry X that forward to the
// VM's own entry with the same JNIEnv.
template <auto Member, class Sig>
struct Hook;

template <auto Member, class R, class... A>
struct Hook<Member, R(JNICALL*)(JNIEnv*, A...)> {
  // X hands out something (a pointer or a reference) to be given back later.
  template <Tally T>
  static R JNICALL Acquire(JNIEnv* env, A... a) {
    R result = (gOriginal.*Member)(env, a...);
    if (result != nullptr) Add(QJ_CALLER, T, +1);
    return result;
  }
  // X gives back what its first argument after the JNIEnv acquired (chars, elements, a
  // reference); giving back null is a no-op.
  template <Tally T>
  static R JNICALL Release(JNIEnv* env, A... a) {
    if (FirstIsSet(a...)) Add(QJ_CALLER, T, -1);
    return (gOriginal.*Member)(env, a...);
  }
};

#define QJ_HOOK(entry, kind, tally) \
  gCounting.entry = &Hook<&JNINativeInterface_::entry, decltype(gCounting.entry)>::template kind<Tally::tally>

void MakeTables(const JNINativeInterface_* vmTable) {
  gVmTable = vmTable;
  dl_iterate_phdr(NoteCountedCode, nullptr);
  gOriginal = *vmTable;
  gCounting = *vmTable;

  QJ_HOOK(GetStringChars, Acquire, kStringChars);
  QJ_HOOK(ReleaseStringChars, Release, kStringChars);
  QJ_HOOK(GetStringUTFChars, Acquire, kUtfChars);
  QJ_HOOK(ReleaseStringUTFChars, Release, kUtfChars);
  QJ_HOOK(GetByteArrayElements, Acquire, kArrayElements);
  QJ_HOOK(ReleaseByteArrayElements, Release, kArrayElements);
  // Entries that return a new local reference.
  QJ_HOOK(NewLocalRef, Acquire, kLocals);
  QJ_HOOK(NewObjectA, Acquire, kLocals);
  QJ_HOOK(AllocObject, Acquire, kLocals);
  QJ_HOOK(FindClass, Acquire, kLocals);
  QJ_HOOK(GetObjectClass, Acquire, kLocals);
  QJ_HOOK(GetSuperclass, Acquire, kLocals);
  QJ_HOOK(ExceptionOccurred, Acquire, kLocals);
  QJ_HOOK(GetObjectField, Acquire, kLocals);
  QJ_HOOK(NewString, Acquire, kLocals);
  QJ_HOOK(NewStringUTF, Acquire, kLocals);
  QJ_HOOK(NewObjectArray, Acquire, kLocals);
  QJ_HOOK(GetObjectArrayElement, Acquire, kLocals);
  QJ_HOOK(NewByteArray, Acquire, kLocals);
  QJ_HOOK(NewBooleanArray, Acquire, kLocals);
  QJ_HOOK(ToReflectedMethod, Acquire, kLocals);
  QJ_HOOK(DeleteLocalRef, Release, kLocals);
  // C++ callers reach the variadic entries through their va_list forms.
  QJ_HOOK(NewObjectV, Acquire, kLocals);
  QJ_HOOK(CallObjectMethodV, Acquire, kLocals);
  QJ_HOOK(CallStaticObjectMethodV, Acquire, kLocals);
  QJ_HOOK(NewGlobalRef, Acquire, kGlobals);
  QJ_HOOK(DeleteGlobalRef, Release, kGlobals);
}

#undef QJ_HOOK

void Record(std::string violation) {
  std::lock_guard lock(gMutex);
  gViolations.push_back(std::move(violation));
}

void Left(std::vector<std::string>& left, long n, const char* acquire, const char* release) {
  if (n > 0) left.push_back(std::to_string(n) + " " + acquire + " without " + release);
  if (n < 0) left.push_back(std::to_string(-n) + " " + release + " more than " + acquire);
}

}  // namespace

BalanceScope::BalanceScope(JNIEnv* env, std::string what, Keeps keeps)
    : env_(env),
      saved_(env->functions),
      outer_(tCurrent),
      what_(std::move(what)),
      keeps_(keeps),
      keptStrings_(bridge::KeptStringReferencesMadeHere()) {
  if (saved_ != &gCounting) {
    std::call_once(gTablesMade, MakeTables, saved_);
    if (saved_ != gVmTable) {
      Record(what_ + ": its JNIEnv has a function table the harness did not copy");
    } else {
      env_->functions = &gCounting;
    }
  }
  tCurrent = this;
}

BalanceScope::~BalanceScope() { Finish("(scope left)"); }

void BalanceScope::Finish(const std::string& result, bool returnsLocal) {
  if (finished_) return;
  finished_ = true;
  env_->functions = saved_;
  tCurrent = outer_;

  Counts c = counts_;
  // The strings the bridge keeps for every later call are no native's to give back.
  c.globals -= bridge::KeptStringReferencesMadeHere() - keptStrings_;
  std::vector<std::string> left;
  Left(left, c.stringChars, "GetStringChars", "ReleaseStringChars");
  Left(left, c.utfChars, "GetStringUTFChars", "ReleaseStringUTFChars");
  Left(left, c.arrayElements, "GetByteArrayElements", "ReleaseByteArrayElements");
  Left(left, c.locals - (returnsLocal && c.locals > 0 ? 1 : 0), "local reference(s) created", "DeleteLocalRef");
  // keeps > 0: up to that many references may stay; keeps < 0: up to that many may be released.
  const long globals = keeps_ >= 0 ? (c.globals > 0 ? std::max(0L, c.globals - keeps_) : c.globals)
                                   : (c.globals < 0 ? std::min(0L, c.globals - keeps_) : c.globals);
  Left(left, globals, "NewGlobalRef", "DeleteGlobalRef");
  if (left.empty()) return;
  std::string text = what_ + (result.empty() ? "" : " returned " + result) + " leaving ";
  for (size_t i = 0; i < left.size(); ++i) text += (i == 0 ? "" : ", ") + left[i];
  Record(std::move(text));
}

std::vector<std::string> TakeViolations() {
  std::lock_guard lock(gMutex);
  return std::exchange(gViolations, {});
}

void RecordOutcome(const std::string& native, Outcome outcome) {
  std::lock_guard lock(gMutex);
  gOutcomes[native].insert(outcome);
}

std::map<std::string, std::set<Outcome>> Outcomes() {
  std::lock_guard lock(gMutex);
  return gOutcomes;
}

Outcome OutcomeOf(jint result) {
  switch (result) {
    case -10999: return Outcome::kNullArgument;
    case -11000: return Outcome::kUnbound;
    default: return result >= 0 ? Outcome::kSuccess : Outcome::kRefused;
  }
}

}  // namespace jni_balance
