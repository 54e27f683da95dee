// What a Java tag call costs through the module, beside the raw JNI work any such call must do.
//
// main() lays out a server root, starts the host and loads the module on the start-up thread
// (which stays attached to the VM), then runs every benchmark on a thread of its own that the VM
// does not know, the way a host worker thread meets the module. Tags are called as the host
// calls them: found in the tag table and run with a call frame, a result and a request.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <jni.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/qcapi.h"
#include "host/request.h"
#include "service/core/current_request.h"
#include "service/core/host.h"
#include "service/core/internal_db.h"
#include "service/script/script.h"
#include "service/values/request_data.h"
#include "service/values/tag_call.h"
#include "service/values/tag_table.h"
#include "service/values/variant_data.h"
#include "tests/cleanup_on_exit.h"
#include "bridge/java_member_table.h"

namespace fs = std::filesystem;

namespace {

constexpr jint kJniVersion = JNI_VERSION_1_2;
constexpr int kLongTextLength = 4096;
// A fixed heap: every thread attach retires a TLAB, so the attach benchmarks would otherwise make
// the VM grow its heap, and later benchmarks would pay for faulting in the fresh pages. With the
// heap fixed, the warm-up touches all of it once and every benchmark sees the same steady state.
// QJAPI_BENCH_VM_OPTIONS replaces these (an empty value: the VM's own defaults).
constexpr const char* kDefaultVmOptions = "-Xms512m -Xmx512m";

JavaVM* gVm = nullptr;

// Text of kLongTextLength ASCII characters, as a script would pass a page fragment.
std::u16string LongText() {
  std::u16string text(kLongTextLength, u' ');
  for (int i = 0; i < kLongTextLength; ++i) text[i] = static_cast<char16_t>(u'a' + i % 26);
  return text;
}

// What the floor benchmarks call directly, looked up once on the start-up thread.
struct FloorRefs {
  jclass quillCall = nullptr;  // the class the module instantiates for every call
  jfieldID nativeRef = nullptr;
  jclass module = nullptr;
  jmethodID moduleCtor = nullptr;
  jmethodID emptyTag = nullptr;
  jstring longText = nullptr;  // a kLongTextLength-character Java string
  std::u16string longUnits;
  // What the floor natives of the value workloads touch.
  jfieldID typeRef = nullptr;        // QuillTypeRef.nativeRef
  jfieldID intValue = nullptr;       // IntValue.value
  jfieldID valueName = nullptr;      // QuillValue.name, data, type
  jfieldID valueData = nullptr;
  jfieldID valueType = nullptr;
};
FloorRefs gFloor;

bool ThreadAttached() {
  void* env = nullptr;
  return gVm->GetEnv(&env, kJniVersion) == JNI_OK && env != nullptr;
}

// Keeps the calling thread attached for its scope, as a request-scoped attachment would.
class ScopedAttach {
 public:
  ScopedAttach() {
    JavaVMAttachArgs args{kJniVersion, const_cast<char*>("bridge_bench"), nullptr};
    if (gVm->AttachCurrentThread(reinterpret_cast<void**>(&env_), &args) != JNI_OK) env_ = nullptr;
  }
  ~ScopedAttach() {
    if (env_ != nullptr) gVm->DetachCurrentThread();
  }
  ScopedAttach(const ScopedAttach&) = delete;
  ScopedAttach& operator=(const ScopedAttach&) = delete;
  JNIEnv* env() const { return env_; }

 private:
  JNIEnv* env_ = nullptr;
};

// The benchmark's JNIEnv, or null after marking the benchmark skipped.
JNIEnv* AttachedOrSkip(const ScopedAttach& attach, benchmark::State& state) {
  if (attach.env() == nullptr) state.SkipWithError("the thread could not be attached");
  return attach.env();
}

// One registered tag, called the way the host calls it, with at most one positional parameter.
// The request is current on the constructing thread, which must be the one that calls Run.
class HostTagCall {
 public:
  HostTagCall(std::u16string_view tagName, std::optional<std::u16string> param) {
    definition_ = TagTable::Global().Find(tagName);
    tag_ = definition_ ? definition_->native : nullptr;
    quill_service::SetCurrentRequest(&request_);
    call_.name = tagName;
    call_.definition = definition_;
    if (param) {
      TagParam p;
      p.value = quill_service::MakeVariant();
      p.value->SetString(std::move(*param));
      call_.params.push_back(std::move(p));
    }
    call_.result = &result_;
    state_.call = &call_;
  }
  ~HostTagCall() { quill_service::SetCurrentRequest(nullptr); }
  HostTagCall(const HostTagCall&) = delete;
  HostTagCall& operator=(const HostTagCall&) = delete;

  bool found() const { return tag_ != nullptr; }
  void AddRequestParam(std::string name, std::string value) {
    request_.Contents().params.emplace_back(std::move(name), std::move(value));
  }
  void Run() {
    CallFrame frame{&state_};
    tag_->Run(&frame, &result_, &request_);
  }
  std::string& output() { return request_.Contents().output; }
  Variant& result() { return result_; }

 private:
  Request request_;
  QPExecState state_{&request_};
  TagCall call_;
  Variant result_;
  quill_service::TagRef definition_;
  SubstitutionTag* tag_ = nullptr;
};

// ---- (a) a worker thread the VM does not know: attach and detach within every call ----

void BM_EmptyTag_FreshAttach(benchmark::State& state) {
  HostTagCall call(u"bench_empty", std::nullopt);
  if (!call.found() || ThreadAttached()) {
    state.SkipWithError("bench_empty is not registered, or the thread is attached");
    return;
  }
  for (auto _ : state) call.Run();
  if (ThreadAttached()) state.SkipWithError("the module left the thread attached");
  state.SetItemsProcessed(state.iterations());
}

// The JNI work of one tag call on an unknown thread; the detach frees the call's locals.
void BM_Floor_FreshAttach(benchmark::State& state) {
  const FloorRefs& f = gFloor;
  for (auto _ : state) {
    void* probe = nullptr;
    benchmark::DoNotOptimize(gVm->GetEnv(&probe, kJniVersion));
    JNIEnv* env = nullptr;
    gVm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr);
    jobject quillCall = env->AllocObject(f.quillCall);
    jobject instance = env->NewObject(f.module, f.moduleCtor);
    env->SetIntField(quillCall, f.nativeRef, 1);
    benchmark::DoNotOptimize(env->CallIntMethod(instance, f.emptyTag, quillCall, jint{1}));
    benchmark::DoNotOptimize(env->ExceptionCheck());
    gVm->DetachCurrentThread();
  }
  state.SetItemsProcessed(state.iterations());
}

// ---- (b) a thread that is already attached (request scope, or a Java-created thread) ----

void BM_EmptyTag_Attached(benchmark::State& state) {
  ScopedAttach attach;
  HostTagCall call(u"bench_empty", std::nullopt);
  if (attach.env() == nullptr || !call.found()) {
    state.SkipWithError("no attachment, or bench_empty is not registered");
    return;
  }
  for (auto _ : state) call.Run();
  state.SetItemsProcessed(state.iterations());
}

// The JNI work of one tag call on an attached thread. The two local references are deleted every
// iteration: nothing else frees them on a thread that stays attached, so the module has to do
// the same.
void BM_Floor_Attached(benchmark::State& state) {
  ScopedAttach attach;
  JNIEnv* env = AttachedOrSkip(attach, state);
  if (env == nullptr) return;
  const FloorRefs& f = gFloor;
  for (auto _ : state) {
    jobject quillCall = env->AllocObject(f.quillCall);
    jobject instance = env->NewObject(f.module, f.moduleCtor);
    env->SetIntField(quillCall, f.nativeRef, 1);
    benchmark::DoNotOptimize(env->CallIntMethod(instance, f.emptyTag, quillCall, jint{1}));
    benchmark::DoNotOptimize(env->ExceptionCheck());
    env->DeleteLocalRef(instance);
    env->DeleteLocalRef(quillCall);
  }
  state.SetItemsProcessed(state.iterations());
}

// ---- (c) a string parameter in and the same text out, on an attached thread ----

void RunEcho(benchmark::State& state, std::u16string param) {
  ScopedAttach attach;
  const size_t expectedBytes = param.size();  // ASCII: one UTF-8 byte per unit
  HostTagCall call(u"bench_echo", std::move(param));
  if (attach.env() == nullptr || !call.found()) {
    state.SkipWithError("no attachment, or bench_echo is not registered");
    return;
  }
  call.Run();
  if (call.output().size() != expectedBytes) {
    state.SkipWithError("bench_echo did not write its parameter back");
    return;
  }
  for (auto _ : state) {
    call.Run();
    call.output().clear();  // keeps its capacity; BM_OutputClear measures it
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_EchoTag_Short(benchmark::State& state) { RunEcho(state, u"hello, world"); }
void BM_EchoTag_4KiB(benchmark::State& state) { RunEcho(state, gFloor.longUnits); }

// A request parameter (the host's 8-bit UTF-8 text) read into Java and written back out.
void RunRequestParam(benchmark::State& state, std::string value) {
  ScopedAttach attach;
  HostTagCall call(u"bench_request_param", std::nullopt);
  const std::string expected = value;
  call.AddRequestParam("p", std::move(value));
  if (attach.env() == nullptr || !call.found()) {
    state.SkipWithError("no attachment, or bench_request_param is not registered");
    return;
  }
  call.Run();
  if (call.output() != expected) {
    state.SkipWithError("bench_request_param did not write the parameter back");
    return;
  }
  for (auto _ : state) {
    call.Run();
    call.output().clear();
  }
  state.SetItemsProcessed(state.iterations());
}

std::string LongUtf8(const std::string& piece) {
  std::string text;
  while (text.size() + piece.size() <= kLongTextLength) text += piece;
  return text;
}

void BM_RequestParam_Short(benchmark::State& state) { RunRequestParam(state, "hello, world"); }
void BM_RequestParam_4KiB(benchmark::State& state) { RunRequestParam(state, LongUtf8("abcdefghijklmnopqrstuvwxyz")); }
// Two- and three-byte characters (the same bytes in standard and modified UTF-8).
void BM_RequestParam_4KiB_Bmp(benchmark::State& state) {
  RunRequestParam(state, LongUtf8("gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xE4\xB8\x96 "));
}

// Reading a 4096-character Java string and making one: what moving the text in and out costs
// without the module.
void BM_Floor_String4KiB(benchmark::State& state) {
  ScopedAttach attach;
  JNIEnv* env = AttachedOrSkip(attach, state);
  if (env == nullptr) return;
  const FloorRefs& f = gFloor;
  const auto* units = reinterpret_cast<const jchar*>(f.longUnits.data());
  for (auto _ : state) {
    const jchar* chars = env->GetStringChars(f.longText, nullptr);
    benchmark::DoNotOptimize(chars);
    env->ReleaseStringChars(f.longText, chars);
    jstring made = env->NewString(units, kLongTextLength);
    benchmark::DoNotOptimize(made);
    env->DeleteLocalRef(made);
  }
  state.SetItemsProcessed(state.iterations());
}

// The two halves of the string floor, to tell which one dominates.
void BM_Floor_GetStringChars4KiB(benchmark::State& state) {
  ScopedAttach attach;
  JNIEnv* env = AttachedOrSkip(attach, state);
  if (env == nullptr) return;
  for (auto _ : state) {
    const jchar* chars = env->GetStringChars(gFloor.longText, nullptr);
    benchmark::DoNotOptimize(chars);
    env->ReleaseStringChars(gFloor.longText, chars);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Floor_NewString4KiB(benchmark::State& state) {
  ScopedAttach attach;
  JNIEnv* env = AttachedOrSkip(attach, state);
  if (env == nullptr) return;
  const auto* units = reinterpret_cast<const jchar*>(gFloor.longUnits.data());
  for (auto _ : state) {
    jstring made = env->NewString(units, kLongTextLength);
    benchmark::DoNotOptimize(made);
    env->DeleteLocalRef(made);
  }
  state.SetItemsProcessed(state.iterations());
}

// ---- script values built and read from Java, on an attached thread ----
//
// Each workload is one call of a Java tag: "element" makes an array and appends 10,000 integers
// one by one (typeAllocInteger, arraySetElement), "whole" makes the 10,000 integers and the array
// in one typeAllocArray, "read" does "whole" and then reads every element back (arrayGetElement,
// typeGetInteger), "string" allocates a 4 KiB string value and reads it back, 100 times over. The
// floor runs the same Java loop through natives that make only the JNI calls the value natives make;
// the host benchmarks make the same QCAPI calls from C++ without Java. A fresh request per call
// takes the values, as a script's request would.

// The floor natives, bound to bench.BenchTags by PrepareFloor.
jint JNICALL FloorHandle(JNIEnv* env, jclass, jobject call, jobject result, jlong) {
  const jint token = env->GetIntField(call, gFloor.nativeRef);
  env->SetIntField(result, gFloor.typeRef, token);
  return 0;
}

jint JNICALL FloorSetElement(JNIEnv* env, jclass, jobject call, jobject array, jint, jobject element) {
  benchmark::DoNotOptimize(env->GetIntField(call, gFloor.nativeRef));
  benchmark::DoNotOptimize(env->GetIntField(array, gFloor.typeRef));
  benchmark::DoNotOptimize(env->GetIntField(element, gFloor.typeRef));
  return 0;
}

jint JNICALL FloorArray(JNIEnv* env, jclass, jobject call, jobject result, jobjectArray elements) {
  const jint token = env->GetIntField(call, gFloor.nativeRef);
  if (elements != nullptr) {
    const jsize n = env->GetArrayLength(elements);
    std::vector<jint> handles(static_cast<size_t>(n));
    for (jsize i = 0; i < n; ++i) {
      jobject element = env->GetObjectArrayElement(elements, i);
      handles[static_cast<size_t>(i)] = element != nullptr ? env->GetIntField(element, gFloor.typeRef) : 0;
      env->DeleteLocalRef(element);
    }
    benchmark::DoNotOptimize(handles.data());
  }
  env->SetIntField(result, gFloor.typeRef, token);
  return 0;
}

jint JNICALL FloorGetElement(JNIEnv* env, jclass, jobject call, jobject array, jint, jobject result) {
  const jint token = env->GetIntField(call, gFloor.nativeRef);
  benchmark::DoNotOptimize(env->GetIntField(array, gFloor.typeRef));
  env->SetIntField(result, gFloor.typeRef, token);
  return 0;
}

jint JNICALL FloorGetInteger(JNIEnv* env, jclass, jobject call, jobject value, jobject out) {
  const jint token = env->GetIntField(call, gFloor.nativeRef);
  benchmark::DoNotOptimize(env->GetIntField(value, gFloor.typeRef));
  env->SetLongField(out, gFloor.intValue, token);
  return 0;
}

jint JNICALL FloorString(JNIEnv* env, jclass, jobject call, jobject result, jstring text) {
  const jint token = env->GetIntField(call, gFloor.nativeRef);
  const jchar* chars = env->GetStringChars(text, nullptr);
  benchmark::DoNotOptimize(env->GetStringLength(text));
  benchmark::DoNotOptimize(chars);
  env->ReleaseStringChars(text, chars);
  env->SetIntField(result, gFloor.typeRef, token);
  return 0;
}

// A QuillValue filled as FillQuillValueW fills it: the type name, the 4 KiB text, the type code.
jint JNICALL FloorGetString(JNIEnv* env, jclass, jobject call, jobject value, jobject out) {
  benchmark::DoNotOptimize(env->GetIntField(call, gFloor.nativeRef));
  benchmark::DoNotOptimize(env->GetIntField(value, gFloor.typeRef));
  static const jchar kName[] = {'s', 't', 'r', 'i', 'n', 'g'};
  jstring name = env->NewString(kName, 6);
  jstring data = env->NewString(reinterpret_cast<const jchar*>(gFloor.longUnits.data()), kLongTextLength);
  env->SetObjectField(out, gFloor.valueName, name);
  env->SetObjectField(out, gFloor.valueData, data);
  env->SetIntField(out, gFloor.valueType, 1);
  env->DeleteLocalRef(name);
  env->DeleteLocalRef(data);
  return 0;
}

bool BindFloorNatives(JNIEnv* env) {
  const char* ref = "Lcom/ferngate/quillpro/QuillTypeRef;";
  const std::string call = "(Lcom/ferngate/quillpro/QuillCall;";
  const std::string sigs[] = {
      call + ref + "J)I",
      call + ref + "I" + ref + ")I",
      call + ref + "[" + ref + ")I",
      call + ref + "I" + ref + ")I",
      call + ref + "Lcom/ferngate/quillpro/IntValue;)I",
      call + ref + "Ljava/lang/String;)I",
      call + ref + "Lcom/ferngate/quillpro/QuillValue;)I",
  };
  const JNINativeMethod methods[] = {
      {const_cast<char*>("floorHandle"), const_cast<char*>(sigs[0].c_str()), reinterpret_cast<void*>(FloorHandle)},
      {const_cast<char*>("floorSetElement"), const_cast<char*>(sigs[1].c_str()), reinterpret_cast<void*>(FloorSetElement)},
      {const_cast<char*>("floorArray"), const_cast<char*>(sigs[2].c_str()), reinterpret_cast<void*>(FloorArray)},
      {const_cast<char*>("floorGetElement"), const_cast<char*>(sigs[3].c_str()), reinterpret_cast<void*>(FloorGetElement)},
      {const_cast<char*>("floorGetInteger"), const_cast<char*>(sigs[4].c_str()), reinterpret_cast<void*>(FloorGetInteger)},
      {const_cast<char*>("floorString"), const_cast<char*>(sigs[5].c_str()), reinterpret_cast<void*>(FloorString)},
      {const_cast<char*>("floorGetString"), const_cast<char*>(sigs[6].c_str()), reinterpret_cast<void*>(FloorGetString)},
  };
  return env->RegisterNatives(gFloor.module, methods, std::size(methods)) == JNI_OK;
}

// One workload through a Java tag (the value natives, or the floor natives), in a fresh request.
void RunWorkload(benchmark::State& state, std::u16string_view tag, const char16_t* mode) {
  ScopedAttach attach;
  if (AttachedOrSkip(attach, state) == nullptr) return;
  {
    HostTagCall probe(tag, std::u16string(mode));
    if (!probe.found()) return state.SkipWithError("the workload tag is not registered");
  }
  for (auto _ : state) {
    HostTagCall call(tag, std::u16string(mode));
    call.Run();
  }
  state.SetItemsProcessed(state.iterations());
}

// The same QCAPI calls made from C++, in a fresh request per workload.
void RunHostWorkload(benchmark::State& state, const std::string& mode) {
  const std::u16string text = gFloor.longUnits;
  for (auto _ : state) {
    Request request;
    QPExecState root(&request);
    TExecState s(&root);
    const quill_token t = s.Token();
    quill_type array = 0;
    if (mode == "string") {
      for (int i = 0; i < 100; ++i) {
        quill_type value = 0;
        quill_typeAllocStringW(t, &value, reinterpret_cast<const quill_char*>(text.data()), kLongTextLength);
        quill_wvalue_t record{};
        quill_typeGetStringW(t, value, &record);
        benchmark::DoNotOptimize(record.data);
      }
      continue;
    }
    if (mode == "element") {
      quill_typeAllocArray(t, &array, 0, nullptr);
      for (int i = 0; i < 10000; ++i) {
        quill_type element = 0;
        quill_typeAllocInteger(t, &element, i);
        quill_arraySetElement(t, array, i, element);
      }
      continue;
    }
    std::vector<quill_type> elements(10000);
    for (int i = 0; i < 10000; ++i) quill_typeAllocInteger(t, &elements[static_cast<size_t>(i)], i);
    quill_typeAllocArray(t, &array, 10000, elements.data());
    if (mode == "read") {
      for (int i = 0; i < 10000; ++i) {
        quill_type element = 0;
        int64_t number = 0;
        quill_arrayGetElement(t, array, i, &element);
        quill_typeGetInteger(t, element, &number);
        benchmark::DoNotOptimize(number);
      }
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Values_Element(benchmark::State& state) { RunWorkload(state, u"bench_values", u"element"); }
void BM_Values_Whole(benchmark::State& state) { RunWorkload(state, u"bench_values", u"whole"); }
void BM_Values_Read(benchmark::State& state) { RunWorkload(state, u"bench_values", u"read"); }
void BM_Values_String4KiB(benchmark::State& state) { RunWorkload(state, u"bench_values", u"string"); }
void BM_Floor_Values_Element(benchmark::State& state) { RunWorkload(state, u"bench_values_floor", u"element"); }
void BM_Floor_Values_Whole(benchmark::State& state) { RunWorkload(state, u"bench_values_floor", u"whole"); }
void BM_Floor_Values_Read(benchmark::State& state) { RunWorkload(state, u"bench_values_floor", u"read"); }
void BM_Floor_Values_String4KiB(benchmark::State& state) { RunWorkload(state, u"bench_values_floor", u"string"); }
void BM_Host_Values_Element(benchmark::State& state) { RunHostWorkload(state, "element"); }
void BM_Host_Values_Whole(benchmark::State& state) { RunHostWorkload(state, "whole"); }
void BM_Host_Values_Read(benchmark::State& state) { RunHostWorkload(state, "read"); }
void BM_Host_Values_String4KiB(benchmark::State& state) { RunHostWorkload(state, "string"); }

// ---- a member call on a value that carries its Java object, on an attached thread ----

// The value bench_counter returns, and the call of its member get as the host makes it.
struct MemberCall {
  ScopedAttach attach;
  HostTagCall maker{u"bench_counter", std::nullopt};
  Request request;
  QPExecState state{&request};
  TagCall call;
  jobject object = nullptr;  // the value's Java object

  bool Ready() {
    if (attach.env() == nullptr || !maker.found()) return false;
    maker.Run();
    auto* custom = quill_service::Get<std::unique_ptr<quill_service::CustomValue>>(maker.result());
    if (custom == nullptr) return false;
    call.name = u"get";
    call.definition = quill_service::FindMemberTag(**custom, u"get");
    call.self = maker.result().Handle();
    state.call = &call;
    void* stored = nullptr;
    quill_getPtrMemberW(0, call.self, reinterpret_cast<const quill_char*>(u"_qjapi_private"), &stored);
    object = static_cast<jobject>(stored);
    return call.definition && call.definition->function != nullptr && object != nullptr;
  }
  osError Run() {
    TExecState s(&state);
    return call.definition->function(s.Token());
  }
};

void BM_MemberCall_Attached(benchmark::State& state) {
  MemberCall member;
  if (!member.Ready() || member.Run() != 0) return state.SkipWithError("no member call to make");
  for (auto _ : state) benchmark::DoNotOptimize(member.Run());
  state.SetItemsProcessed(state.iterations());
}

// The JNI work of a member call on an attached thread: GetEnv, the request object, its token,
// the method called on the value's object; the local reference deleted as the thread stays attached.
void BM_Floor_MemberCall(benchmark::State& state) {
  MemberCall member;
  if (!member.Ready()) return state.SkipWithError("no member call to make");
  const FloorRefs& f = gFloor;
  for (auto _ : state) {
    JNIEnv* env = nullptr;
    gVm->GetEnv(reinterpret_cast<void**>(&env), kJniVersion);
    jobject quillCall = env->AllocObject(f.quillCall);
    env->SetIntField(quillCall, f.nativeRef, 1);
    benchmark::DoNotOptimize(env->CallIntMethod(member.object, f.emptyTag, quillCall, jint{1}));
    env->DeleteLocalRef(quillCall);
  }
  state.SetItemsProcessed(state.iterations());
}

// The host's part of the lookup: self, its type name, the tag's name and the object's member.
void BM_Host_MemberLookup(benchmark::State& state) {
  MemberCall member;
  if (!member.Ready()) return state.SkipWithError("no member call to make");
  for (auto _ : state) {
    TExecState s(&member.state);
    quill_type self = 0;
    quill_value_t type{};
    quill_value_t name{};
    void* stored = nullptr;
    quill_getTagSelf(s.Token(), &self);
    quill_typeGetName(s.Token(), self, &type);
    quill_getTagName(s.Token(), &name);
    quill_getPtrMemberW(s.Token(), self, reinterpret_cast<const quill_char*>(u"_qjapi_private"), &stored);
    benchmark::DoNotOptimize(stored);
  }
  state.SetItemsProcessed(state.iterations());
}

// The module's lookup in its member table (lower-cased names, under the table's critical
// section, the entry copied out) with 1,000 registered members and with 5.
struct BenchMethodEntry {
  const std::string* className = nullptr;
  void* method = nullptr;
  void* cls = nullptr;
};

void RunMemberLookup(benchmark::State& state, int types, int membersPerType) {
  osCriticalSection lock;
  lock.Init();
  JavaMemberTable<BenchMethodEntry> table;
  for (int t = 0; t < types; ++t) {
    for (int m = 0; m < membersPerType; ++m) {
      static const std::string kClass = "examples/money/Money";
      table[{"type" + std::to_string(t), "member" + std::to_string(m)}] = {&kClass, nullptr, nullptr};
    }
  }
  const std::string type = "type" + std::to_string(types / 2);
  const std::string name = "member" + std::to_string(membersPerType / 2);
  BenchMethodEntry entry;
  for (auto _ : state) {
    benchmark::DoNotOptimize(FindJavaMember(lock, table, type, name, entry));
    benchmark::DoNotOptimize(entry.method);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_MemberLookup_1000(benchmark::State& state) { RunMemberLookup(state, 10, 100); }
void BM_MemberLookup_5(benchmark::State& state) { RunMemberLookup(state, 1, 5); }

// What resetting the request's output between echo calls adds to them.
void BM_OutputClear(benchmark::State& state) {
  std::string output(kLongTextLength, 'x');
  for (auto _ : state) {
    output.clear();
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Floor_StringShort(benchmark::State& state) {
  ScopedAttach attach;
  JNIEnv* env = AttachedOrSkip(attach, state);
  if (env == nullptr) return;
  const std::u16string text = u"hello, world";
  jstring shortText = env->NewString(reinterpret_cast<const jchar*>(text.data()), static_cast<jsize>(text.size()));
  for (auto _ : state) {
    const jchar* chars = env->GetStringChars(shortText, nullptr);
    benchmark::DoNotOptimize(chars);
    env->ReleaseStringChars(shortText, chars);
    jstring made = env->NewString(reinterpret_cast<const jchar*>(text.data()), static_cast<jsize>(text.size()));
    benchmark::DoNotOptimize(made);
    env->DeleteLocalRef(made);
  }
  env->DeleteLocalRef(shortText);
  state.SetItemsProcessed(state.iterations());
}

// ---- calls from a script ----

constexpr int kScriptCalls = 1000;

// A parsed script running `body` kScriptCalls times, on a thread kept attached as the thread
// scope keeps a worker; one iteration is one run of it (a request).
void RunScriptLoop(benchmark::State& state, const std::string& body) {
  ScopedAttach attach;
  std::string error;
  const quill_service::ProgramPtr program = quill_service::ParseScript(
      "var i = 0 while ($i < " + std::to_string(kScriptCalls) + ") { " + body + " $i = $i + 1 }", "loop.qs", &error);
  if (attach.env() == nullptr || !program) {
    state.SkipWithError(("no attachment, or the loop does not parse: " + error).c_str());
    return;
  }
  for (auto _ : state) {
    const quill_service::ScriptRun run = quill_service::RunProgram(program, {});
    if (!run.ok) {
      state.SkipWithError(run.error.c_str());
      return;
    }
  }
  state.SetItemsProcessed(state.iterations() * kScriptCalls);
}

void BM_Script_Loop(benchmark::State& state) { RunScriptLoop(state, ""); }
void BM_Script_JavaTag(benchmark::State& state) { RunScriptLoop(state, "bench_empty()"); }
void BM_Script_BuiltinTag(benchmark::State& state) { RunScriptLoop(state, "error_code()"); }

// Registered from main, so a profiler run can fix the iteration count (QJAPI_BENCH_ITERATIONS):
// instruction counts per call are then total / iterations.
void RegisterBenchmarks() {
  const std::pair<const char*, void (*)(benchmark::State&)> all[] = {
      {"BM_EmptyTag_FreshAttach", BM_EmptyTag_FreshAttach},
      {"BM_Floor_FreshAttach", BM_Floor_FreshAttach},
      {"BM_EmptyTag_Attached", BM_EmptyTag_Attached},
      {"BM_Floor_Attached", BM_Floor_Attached},
      {"BM_EchoTag_Short", BM_EchoTag_Short},
      {"BM_EchoTag_4KiB", BM_EchoTag_4KiB},
      {"BM_RequestParam_Short", BM_RequestParam_Short},
      {"BM_RequestParam_4KiB", BM_RequestParam_4KiB},
      {"BM_RequestParam_4KiB_Bmp", BM_RequestParam_4KiB_Bmp},
      {"BM_Floor_String4KiB", BM_Floor_String4KiB},
      {"BM_Values_Element", BM_Values_Element},
      {"BM_Values_Whole", BM_Values_Whole},
      {"BM_Values_Read", BM_Values_Read},
      {"BM_Values_String4KiB", BM_Values_String4KiB},
      {"BM_Floor_Values_Element", BM_Floor_Values_Element},
      {"BM_Floor_Values_Whole", BM_Floor_Values_Whole},
      {"BM_Floor_Values_Read", BM_Floor_Values_Read},
      {"BM_Floor_Values_String4KiB", BM_Floor_Values_String4KiB},
      {"BM_Host_Values_Element", BM_Host_Values_Element},
      {"BM_Host_Values_Whole", BM_Host_Values_Whole},
      {"BM_Host_Values_Read", BM_Host_Values_Read},
      {"BM_Host_Values_String4KiB", BM_Host_Values_String4KiB},
      {"BM_MemberCall_Attached", BM_MemberCall_Attached},
      {"BM_Floor_MemberCall", BM_Floor_MemberCall},
      {"BM_Host_MemberLookup", BM_Host_MemberLookup},
      {"BM_MemberLookup_1000", BM_MemberLookup_1000},
      {"BM_MemberLookup_5", BM_MemberLookup_5},
      {"BM_Floor_GetStringChars4KiB", BM_Floor_GetStringChars4KiB},
      {"BM_Floor_NewString4KiB", BM_Floor_NewString4KiB},
      {"BM_OutputClear", BM_OutputClear},
      {"BM_Floor_StringShort", BM_Floor_StringShort},
      {"BM_Script_Loop", BM_Script_Loop},
      {"BM_Script_JavaTag", BM_Script_JavaTag},
      {"BM_Script_BuiltinTag", BM_Script_BuiltinTag},
  };
  const char* fixed = std::getenv("QJAPI_BENCH_ITERATIONS");
  for (const auto& [name, function] : all) {
    benchmark::internal::Benchmark* b = benchmark::RegisterBenchmark(name, function)->UseRealTime();
    if (fixed != nullptr && std::atoll(fixed) > 0) b->Iterations(std::atoll(fixed));
  }
  // The same calls on one thread and on two at once: the rate of two over the rate of one.
  const std::pair<const char*, void (*)(benchmark::State&)> scaled[] = {
      {"Scaling_EmptyTag_Attached", BM_EmptyTag_Attached},
      {"Scaling_Floor_Attached", BM_Floor_Attached},
      {"Scaling_Script_JavaTag", BM_Script_JavaTag},
      {"Scaling_Script_BuiltinTag", BM_Script_BuiltinTag},
  };
  for (const auto& [name, function] : scaled) {
    benchmark::RegisterBenchmark(name, function)->UseRealTime()->Threads(1)->Threads(2);
  }
}

// Nanoseconds per call of one benchmark: wall-clock, and the benchmark thread's own CPU time (which
// leaves out time the thread spent descheduled, so it stays meaningful on a busy machine).
struct CallTime {
  double real = 0;
  double cpu = 0;
};

// Prints as the console reporter does and keeps each benchmark's time per call: the median
// aggregate when repetitions were asked for, else the median of the runs it saw.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.iterations == 0) continue;
      const double toNs = 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
      const CallTime time{run.GetAdjustedRealTime() * toNs, run.GetAdjustedCPUTime() * toNs};
      Times& times = times_[run.run_name.function_name];
      if (run.run_type == Run::RT_Iteration) times.runs.push_back(time);
      else if (run.aggregate_name == "median") times.median = time;
      auto rate = run.counters.find("items_per_second");
      if (rate != run.counters.end()) {
        Rates& rates = rates_[{run.run_name.function_name, static_cast<int>(run.threads)}];
        if (run.run_type == Run::RT_Iteration) rates.runs.push_back({rate->second.value, time.cpu});
        else if (run.aggregate_name == "median") rates.median = {rate->second.value, time.cpu};
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Nothing when the benchmark did not run.
  std::optional<CallTime> PerCall(const std::string& name) const {
    auto it = times_.find(name);
    if (it == times_.end()) return std::nullopt;
    if (it->second.median) return it->second.median;
    const std::vector<CallTime>& runs = it->second.runs;
    if (runs.empty()) return std::nullopt;
    return CallTime{Median(runs, &CallTime::real), Median(runs, &CallTime::cpu)};
  }

 private:
  struct Times {
    std::vector<CallTime> runs;
    std::optional<CallTime> median;
  };

  static double Median(const std::vector<CallTime>& runs, double CallTime::*field) {
    std::vector<double> values;
    for (const CallTime& run : runs) values.push_back(run.*field);
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
  }


 public:
  // Calls per second of all threads together, and CPU nanoseconds per call; nothing when it did
  // not run.
  struct Rate {
    double perSecond = 0;
    double cpuPerCall = 0;
  };
  std::optional<Rate> RateOf(const std::string& name, int threads) const {
    auto it = rates_.find({name, threads});
    if (it == rates_.end()) return std::nullopt;
    if (it->second.median) return it->second.median;
    std::vector<Rate> runs = it->second.runs;
    if (runs.empty()) return std::nullopt;
    std::sort(runs.begin(), runs.end(), [](const Rate& a, const Rate& b) { return a.perSecond < b.perSecond; });
    return runs[runs.size() / 2];
  }

 private:
  std::map<std::string, Times> times_;
  struct Rates {
    std::vector<Rate> runs;
    std::optional<Rate> median;
  };
  std::map<std::pair<std::string, int>, Rates> rates_;
};

void PrintRatio(const char* label, std::optional<CallTime> module, std::optional<CallTime> floor,
                double target) {
  if (!module || !floor || floor->real <= 0 || floor->cpu <= 0) {
    std::printf("%s = n/a (not measured in this run)\n", label);
    return;
  }
  const double real = module->real / floor->real;
  const double cpu = module->cpu / floor->cpu;
  std::printf("%s = %.2f (target <= %.1f) %s   [real %.0f ns vs %.0f ns; cpu ratio %.2f: %.0f vs %.0f ns]\n",
              label, real, target, real <= target ? "met" : "MISSED", module->real, floor->real, cpu,
              module->cpu, floor->cpu);
}

std::optional<CallTime> Sum(std::optional<CallTime> a, std::optional<CallTime> b, double sign = 1) {
  if (!a || !b) return std::nullopt;
  return CallTime{a->real + sign * b->real, a->cpu + sign * b->cpu};
}

void PrintRatios(const RatioReporter& r) {
  std::printf("\n");
  PrintRatio("ratio (a) fresh attach", r.PerCall("BM_EmptyTag_FreshAttach"),
             r.PerCall("BM_Floor_FreshAttach"), 1.1);
  PrintRatio("ratio (b) attached", r.PerCall("BM_EmptyTag_Attached"), r.PerCall("BM_Floor_Attached"),
             1.3);
  // What 4 KiB adds to an echo call against what the JNI string work costs on its own, so the
  // call overhead that (b) measures is not counted here again.
  const auto echoLong = r.PerCall("BM_EchoTag_4KiB");
  const auto stringFloor = r.PerCall("BM_Floor_String4KiB");
  PrintRatio("ratio (c) 4 KiB in and out", Sum(echoLong, r.PerCall("BM_EchoTag_Short"), -1),
             Sum(stringFloor, r.PerCall("BM_Floor_StringShort"), -1), 1.3);
  // The whole echo call against the whole floor: the call floor plus the string floor.
  PrintRatio("ratio (c') whole 4 KiB echo call", echoLong,
             Sum(r.PerCall("BM_Floor_Attached"), stringFloor), 1.3);

  // A Java tag call from a script, its loop's own cost taken off.
  const auto javaLoop = Sum(r.PerCall("BM_Script_JavaTag"), r.PerCall("BM_Script_Loop"), -1);
  if (javaLoop) {
    const double perCall = javaLoop->real / kScriptCalls;
    std::printf("Java tag call in a script, attached: %.0f ns per call (target <= 1000) %s   [cpu %.0f ns]\n",
                perCall, perCall <= 1000 ? "met" : "MISSED", javaLoop->cpu / kScriptCalls);
  }
  const std::pair<const char*, double> scaling[] = {
      {"Scaling_EmptyTag_Attached", 1.7}, {"Scaling_Script_BuiltinTag", 1.6},
      {"Scaling_Script_JavaTag", 1.6}, {"Scaling_Floor_Attached", 0}};
  for (const auto& [name, target] : scaling) {
    const auto one = r.RateOf(name, 1), two = r.RateOf(name, 2);
    if (!one || !two || one->perSecond <= 0 || two->cpuPerCall <= 0) continue;
    const double ratio = two->perSecond / one->perSecond;
    // What two threads would reach with a core each: the CPU a call costs does not depend on
    // the load elsewhere, and grows with contention between the two.
    const double byCpu = 2 * one->cpuPerCall / two->cpuPerCall;
    std::printf("%s: 2 threads %.2fx one", name, ratio);
    if (target > 0) std::printf(" (target >= %.1f) %s", target, ratio >= target ? "met" : "MISSED");
    else std::printf(" (the JNI floor)");
    std::printf("   [cpu per iteration %.0f ns on one thread, %.0f ns on two: %.2fx]\n", one->cpuPerCall,
                two->cpuPerCall, byCpu);
  }
  // The value workloads: what the module adds beyond the host's own work, against the JNI floor.
  auto overhead = [&](const std::string& name) {
    return Sum(r.PerCall("BM_Values_" + name), r.PerCall("BM_Host_Values_" + name), -1);
  };
  for (const char* name : {"Element", "Whole", "String4KiB"}) {
    PrintRatio(("ratio (v) values " + std::string(name) + ", module minus host").c_str(), overhead(name),
               r.PerCall(std::string("BM_Floor_Values_") + name), 1.3);
  }
  // Reading back: the read workload less the whole build it starts with.
  PrintRatio("ratio (v) values ReadBack, module minus host", Sum(overhead("Read"), overhead("Whole"), -1),
             Sum(r.PerCall("BM_Floor_Values_Read"), r.PerCall("BM_Floor_Values_Whole"), -1), 1.3);
  PrintRatio("ratio (m) member call", r.PerCall("BM_MemberCall_Attached"),
             Sum(r.PerCall("BM_Floor_MemberCall"), r.PerCall("BM_Host_MemberLookup")), 1.3);
}

// Brings the JIT, the allocators and the Java heap to a steady state before anything is timed.
// The echo calls allocate about 10 KiB of Java heap each; until the initial heap has been
// allocated through once, fresh pages fault in and inflate whichever benchmark meets them first.
// QJAPI_BENCH_WARMUP_CALLS changes the number of attached calls (0 for a quick run under a profiler).
void WarmUp() {
  const char* asked = std::getenv("QJAPI_BENCH_WARMUP_CALLS");
  const int kAttachedCalls = asked != nullptr ? std::atoi(asked) : 120000;
  const int kFreshAttachCalls = kAttachedCalls / 60;
  {
    ScopedAttach attach;
    HostTagCall empty(u"bench_empty", std::nullopt);
    HostTagCall echo(u"bench_echo", gFloor.longUnits);
    if (!empty.found() || !echo.found()) return;
    for (int i = 0; i < kAttachedCalls; ++i) {
      empty.Run();
      echo.Run();
      echo.output().clear();
    }
  }
  HostTagCall empty(u"bench_empty", std::nullopt);
  if (!empty.found()) return;
  for (int i = 0; i < kFreshAttachCalls; ++i) empty.Run();
}

// Looks up what the floor benchmarks call, on the start-up thread.
bool PrepareFloor(JNIEnv* env) {
  FloorRefs& f = gFloor;
  auto global = [env](jobject local) {
    jobject ref = local != nullptr ? env->NewGlobalRef(local) : nullptr;
    env->DeleteLocalRef(local);
    return ref;
  };
  f.quillCall = static_cast<jclass>(global(env->FindClass("com/marrowbay/quillpro/QuillCall")));
  f.module = static_cast<jclass>(global(env->FindClass("bench/BenchTags")));
  if (f.quillCall == nullptr || f.module == nullptr) {
    env->ExceptionDescribe();
    env->ExceptionClear();
    return false;
  }
  f.nativeRef = env->GetFieldID(f.quillCall, "nativeRef", "I");
  f.moduleCtor = env->GetMethodID(f.module, "<init>", "()V");
  f.emptyTag = env->GetMethodID(f.module, "empty", "(Lcom/ferngate/quillpro/QuillCall;I)I");
  f.longUnits = LongText();
  f.longText = static_cast<jstring>(global(
      env->NewString(reinterpret_cast<const jchar*>(f.longUnits.data()), kLongTextLength)));
  jclass typeRef = env->FindClass("com/ferngate/quillpro/QuillTypeRef");
  jclass intValue = env->FindClass("com/ferngate/quillpro/IntValue");
  jclass quillValue = env->FindClass("com/ferngate/quillpro/QuillValue");
  if (typeRef != nullptr && intValue != nullptr && quillValue != nullptr) {
    f.typeRef = env->GetFieldID(typeRef, "nativeRef", "I");
    f.intValue = env->GetFieldID(intValue, "value", "J");
    f.valueName = env->GetFieldID(quillValue, "name", "Ljava/lang/String;");
    f.valueData = env->GetFieldID(quillValue, "data", "Ljava/lang/String;");
    f.valueType = env->GetFieldID(quillValue, "type", "I");
  }
  const bool complete = f.quillCall && f.nativeRef && f.moduleCtor && f.emptyTag && f.longText && f.typeRef &&
                        f.intValue && f.valueName && f.valueData && f.valueType && BindFloorNatives(env);
  env->ExceptionDescribe();
  env->ExceptionClear();
  return complete;
}

// A server root with the module, the bridge's jar and the benchmark's tag module.
fs::path MakeServerRoot() {
  const fs::path root = fs::temp_directory_path() / ("qjapi-bench-" + std::to_string(getpid()));
  fs::remove_all(root);
  qjapi_test::CleanupOnExit::Remove(root.string());
  fs::create_directories(root / "QuillModules");
  for (const char* file : {QJAPI_MODULE, QJAPI_JAR, BENCH_TAGS_JAR})
    fs::copy_file(file, root / "QuillModules" / fs::path(file).filename());
  return root;
}

JavaVM* CreatedVm() {
  // The runtime library was loaded by the module with global symbols.
  using GetCreatedVMs = jint (*)(JavaVM**, jsize, jsize*);
  auto getVms = reinterpret_cast<GetCreatedVMs>(dlsym(RTLD_DEFAULT, "JNI_GetCreatedJavaVMs"));
  JavaVM* vm = nullptr;
  jsize count = 0;
  if (getVms == nullptr || getVms(&vm, 1, &count) != JNI_OK || count != 1) return nullptr;
  return vm;
}

}  // namespace

int main(int argc, char** argv) {
  // Defaults that keep the ratios steady on a shared machine: repetitions run in random order,
  // so a burst of load elsewhere spreads over all benchmarks, and the medians are compared.
  // Flags given on the command line come later and win.
  std::vector<char*> args{argv[0]};
  std::string defaults[] = {"--benchmark_repetitions=5", "--benchmark_enable_random_interleaving=true",
                            "--benchmark_report_aggregates_only=true", "--benchmark_min_time=0.2"};
  for (std::string& flag : defaults) args.push_back(flag.data());
  args.insert(args.end(), argv + 1, argv + argc);
  int argCount = static_cast<int>(args.size());
  RegisterBenchmarks();
  benchmark::Initialize(&argCount, args.data());
  if (benchmark::ReportUnrecognizedArguments(argCount, args.data())) return 1;

  const fs::path root = MakeServerRoot();
  int status = 1;
  try {
    quill_service::HostOptions options;
    options.root = root.string();
    options.threads = 1;  // the pool stays idle: the benchmark thread is the worker
    quill_service::Host& host = quill_service::Host::Start(options);
    const char* vmOptions = std::getenv("QJAPI_BENCH_VM_OPTIONS");
    quill_service::SetPreference("java_vm_options", vmOptions != nullptr ? vmOptions : kDefaultVmOptions);
    int entryResult = 0;
    const bool loaded =
        host.LoadModule((root / "QuillModules" / fs::path(QJAPI_MODULE).filename()).string(),
                        &entryResult);
    gVm = CreatedVm();
    JNIEnv* startupEnv = nullptr;
    if (!loaded || entryResult != 1 || gVm == nullptr ||
        gVm->GetEnv(reinterpret_cast<void**>(&startupEnv), kJniVersion) != JNI_OK ||
        !PrepareFloor(startupEnv)) {
      std::fprintf(stderr, "bridge_bench: the module or the benchmark's tags did not load\n");
    } else {
      RatioReporter reporter;
      // A thread the VM does not know, as a host worker thread is.
      std::thread worker([&reporter] {
        WarmUp();
        benchmark::RunSpecifiedBenchmarks(&reporter);
      });
      worker.join();
      PrintRatios(reporter);
      status = 0;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bridge_bench: %s\n", e.what());
  }
  std::error_code ignored;
  fs::remove_all(root, ignored);
  std::fflush(stdout);
  // The VM is never torn down; leave without running destructors that race its threads.
  std::_Exit(status);
}
