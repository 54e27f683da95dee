// Script types whose member tags are Java methods, and Java objects carried by script values.
#include "bridge/java_types.h"

#include <cstring>
#include <array>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "bridge/java_member_table.h"
#include "bridge/marshal.h"
#include "com_ferngate_quillpro_QuillCall.h"
#include "startup/attach.h"

using namespace bridge;

namespace {

// The Java side of one member tag. cls is the registered class's global reference from
// ClassOf: it checks that a value's object belongs to the registered class and, once a module
// was reloaded, is the class a fresh instance or a restored object is made of.
// className is ClassOf's copy of the name, kept for the life of the process, so an entry copies
// out of the table without an allocation.
struct JavaMethodEntry {
  const std::string* className = nullptr;
  jmethodID method = nullptr;
  jclass cls = nullptr;
  bool tagModuleClass = false;  // cls is a QuillTagModule: its instances need no second check
  bool operator==(const JavaMethodEntry&) const = default;
};

std::map<uint32_t, JavaMethodEntry> gPendingJavaTags;  // tag handle -> method, until added to a type
JavaMemberTable<JavaMethodEntry> gJavaMembers;
std::atomic<uint64_t> gJavaMembersVersion{1};  // raised, under gJavaMembersLock, after every change
osCriticalSection gPendingJavaTagsLock;
osCriticalSection gJavaMembersLock;  // taken before gPendingJavaTagsLock when both are held
std::atomic<bool> gModulesReloaded{false};  // a module jar was loaded again since the start

// Under gJavaMembersLock. The version is raised only when the entry changes: modules that register
// a type's members again for every value they make would otherwise drop every thread's kept
// answers at each new value.
void SetMember(JavaMemberKey key, const JavaMethodEntry& entry) {
  auto [it, added] = gJavaMembers.try_emplace(std::move(key), entry);
  JavaMethodEntry& kept = it->second;
  if (!added && kept == entry) return;
  kept = entry;
  gJavaMembersVersion.fetch_add(1, std::memory_order_release);
}

const bool gLocksReady = [] {
  gPendingJavaTagsLock.Init();
  gJavaMembersLock.Init();
  return true;
}();

// The global references this module stored in values. The pointer member can also hold a plain
// number (typeSetCustomPtr): only a reference found here is ever used or deleted, and it is
// deleted exactly once, by whoever takes it out.
std::mutex gStoredLock;
std::unordered_set<jobject>& Stored() {
  static auto* stored = new std::unordered_set<jobject>();  // outlives values destroyed at exit
  return *stored;
}

jobject Store(JNIEnv* env, jobject object) {
  jobject global = object != nullptr ? env->NewGlobalRef(object) : nullptr;
  if (global != nullptr) {
    std::lock_guard guard(gStoredLock);
    Stored().insert(global);
  }
  return global;
}

// Raised, under gStoredLock, whenever a reference leaves the set: a thread's kept answer of an
// earlier count is never used.
std::atomic<uint64_t> gStoredReleases{0};

// How a member call's names resolved: the entry to run (none for a built-in callback without a
// registered member), and which built-in callback the name is.
enum class Callback : uint8_t { kNone, kAssign, kSerialize, kUnserialize };
struct Resolution {
  bool dispatched = false;  // false: neither the member nor "_unknowntag" is registered (no callback)
  bool found = false;
  Callback callback = Callback::kNone;
  JavaMethodEntry entry;
};

// What a thread keeps between member calls, in one thread-local block: the module is loaded
// with dlopen, so every thread-local it reads is a call of the TLS resolver, and a call reads
// this block once (the built-in copy once more).
struct ThreadKept {
  static constexpr size_t kNameSize = 48;  // longer names are looked up in the table every time
  // A resolution by the names exactly as the host gave them (before folding), valid while the
  // member table's version is the one it was made at (0: empty).
  struct Member {
    uint64_t version = 0;
    uint8_t typeSize = 0, tagSize = 0;
    char type[kNameSize] = {}, tag[kNameSize] = {};
    Resolution resolution;
  };
  // A reference found in the stored set, and the class its object was found to be an instance
  // of (null: not checked). Valid while no reference has left the set since: until then the
  // reference names the same object, whose class never changes.
  struct Stored {
    void* pointer = nullptr;
    jclass instanceOf = nullptr;
  };
  std::array<Member, 4> members{};
  size_t nextMember = 0;
  std::array<Stored, 4> stored{};
  uint64_t releases = ~uint64_t{0};
  size_t nextStored = 0;
};
thread_local ThreadKept tKept;

// The kept entry of a pointer the set holds, or null when it does not hold it. A thread keeps
// its last few references that were in the set while no reference has left the set since, so
// calls on the same values take no lock; a reference that is added never changes a yes into a
// no.
ThreadKept::Stored* FindStored(ThreadKept& kept, void* pointer) {
  if (pointer == nullptr) return nullptr;
  const uint64_t releases = gStoredReleases.load(std::memory_order_acquire);
  if (kept.releases == releases) {
    for (ThreadKept::Stored& k : kept.stored) {
      if (k.pointer == pointer) return &k;
    }
  } else {
    kept.stored.fill({});
    kept.releases = releases;
  }
  {
    std::lock_guard guard(gStoredLock);
    if (Stored().count(static_cast<jobject>(pointer)) == 0) return nullptr;
  }
  ThreadKept::Stored& k = kept.stored[kept.nextStored];
  kept.nextStored = (kept.nextStored + 1) % kept.stored.size();
  k = {pointer, nullptr};
  return &k;
}

bool IsStored(void* pointer) { return FindStored(tKept, pointer) != nullptr; }

// Deletes the global reference if this module stored it and nobody released it yet.
void Release(JNIEnv* env, void* pointer) {
  {
    std::lock_guard guard(gStoredLock);
    if (Stored().erase(static_cast<jobject>(pointer)) == 0) return;
    gStoredReleases.fetch_add(1, std::memory_order_release);
  }
  env->DeleteGlobalRef(static_cast<jobject>(pointer));
}

void FoldInPlace(std::string& text) { FoldAscii(text.data(), text.size()); }

// The text of an 8-bit record's size bytes up to the first zero byte, as the host gave it.
std::string_view RecordText(const char* text, uint32_t size) {
  return text != nullptr && size > 0 ? std::string_view(text, strnlen(text, size)) : std::string_view();
}

std::string Folded(std::string_view text) {
  std::string folded(text);
  FoldInPlace(folded);
  return folded;
}

// The value's type name as the host gives it (8-bit), unfolded; empty when it cannot be read.
// The record's text lives as long as the token's state.
std::string_view TypeNameOf(quill_token token, quill_type value) {
  quill_value_t record{};
  if (value == 0 || quill_typeGetName(token, value, &record) != 0) return {};
  return RecordText(record.name, record.nameSize);
}

// The value's type name, folded.
std::string FoldedTypeName(quill_token token, quill_type value) { return Folded(TypeNameOf(token, value)); }

// (type, member) looked up in the table, both already folded.
bool FindMember(std::string_view type, std::string_view member, JavaMethodEntry& out) {
  return FindJavaMember(gJavaMembersLock, gJavaMembers, type, member, out);
}

// What the names a member call was made with (unfolded) resolve to, from the table.
Resolution Resolve(std::string_view rawType, std::string_view rawTag) {
  Resolution r;
  const std::string type = Folded(rawType);
  const std::string tag = Folded(rawTag);
  r.found = FindMember(type, tag, r.entry);
  r.callback = tag == "onassign"        ? Callback::kAssign
               : tag == "onserialize"   ? Callback::kSerialize
               : tag == "onunserialize" ? Callback::kUnserialize
                                        : Callback::kNone;
  if (!r.found && r.callback == Callback::kNone) r.found = FindMember(type, "_unknowntag", r.entry);
  r.dispatched = r.found || r.callback != Callback::kNone;
  return r;
}

// Resolve's answer; a thread's last few answers are reused while the table has not changed
// since, so a script calling the same members over and over takes no lock and folds no name for
// them. Folding depends on the bytes alone, so names kept unfolded answer alike. An answer kept
// across a change is never used: entries only ever hold classes and names kept for the process's
// life.
Resolution ResolveKept(ThreadKept& kept, std::string_view rawType, std::string_view rawTag) {
  const uint64_t version = gJavaMembersVersion.load(std::memory_order_acquire);
  for (const ThreadKept::Member& k : kept.members) {
    // Views, not memcmp: a name the host could not give is an empty view with no data.
    if (k.version == version && std::string_view(k.tag, k.tagSize) == rawTag &&
        std::string_view(k.type, k.typeSize) == rawType) {
      return k.resolution;
    }
  }
  const Resolution resolution = Resolve(rawType, rawTag);
  if (rawType.size() > ThreadKept::kNameSize || rawTag.size() > ThreadKept::kNameSize) {
    return resolution;  // names too long to keep
  }
  ThreadKept::Member& k = kept.members[kept.nextMember];
  kept.nextMember = (kept.nextMember + 1) % kept.members.size();
  k.resolution = resolution;
  k.version = version;
  k.typeSize = static_cast<uint8_t>(rawType.copy(k.type, rawType.size()));
  k.tagSize = static_cast<uint8_t>(rawTag.copy(k.tag, rawTag.size()));
  return k.resolution;
}

// Any member registered for the type (an empty entry when none is): where the built-in
// serialisation finds the class of a value that carries no object.
JavaMethodEntry AnyMemberOfType(const std::string& type) {
  CriticalSectionScope locked(gJavaMembersLock);
  auto it = gJavaMembers.lower_bound(JavaMemberKey(type, std::string()));
  return it != gJavaMembers.end() && it->first.first == type ? it->second : JavaMethodEntry();
}

// The registered class of the type's members whose name is className ("pkg/Name"), or null: the
// only classes a restored value's object may have.
jclass RegisteredClassOfType(const std::string& type, const std::string& className) {
  CriticalSectionScope locked(gJavaMembersLock);
  for (auto it = gJavaMembers.lower_bound(JavaMemberKey(type, std::string()));
       it != gJavaMembers.end() && it->first.first == type; ++it) {
    if (*it->second.className == className) return it->second.cls;
  }
  return nullptr;
}

// The class of the object a Java serialisation stream starts with, in the slashed form the member
// tables keep ("pkg/Name"), or empty: the stream header (0xACED, version), TC_OBJECT, TC_CLASSDESC,
// then the class name as a two-byte length and its bytes.
std::string SerialisedClassName(const unsigned char* bytes, size_t size) {
  constexpr size_t kNameStart = 8;
  if (size < kNameStart || bytes[0] != 0xAC || bytes[1] != 0xED || bytes[4] != 0x73 || bytes[5] != 0x72) return {};
  const size_t length = (size_t{bytes[6]} << 8) | bytes[7];
  if (length == 0 || kNameStart + length > size) return {};
  std::string name(reinterpret_cast<const char*>(bytes) + kNameStart, length);
  for (char& c : name) c = c == '.' ? '/' : c;
  return name;
}

// One global reference per registered class, kept for the life of the process with its name (a
// name has one class per module generation that registered it): entries are copied out of the
// tables and may be replaced while a dispatcher still uses a copy, and a module that registers
// its members for every value it makes, from two generations at once, must not leak a reference
// each time. The entry gets the class and the kept name.
void ClassOf(JNIEnv* env, const std::string& name, jclass found, JavaMethodEntry& entry) {
  static std::mutex lock;
  static auto* classes = new std::map<std::string, std::vector<jclass>>();
  std::lock_guard guard(lock);
  auto it = classes->try_emplace(name).first;
  jclass kept = nullptr;
  for (jclass cls : it->second) {
    if (env->IsSameObject(cls, found)) {
      kept = cls;
      break;
    }
  }
  if (kept == nullptr) it->second.push_back(kept = static_cast<jclass>(env->NewGlobalRef(found)));
  entry.className = &it->first;
  entry.cls = kept;
}

// The class className ("pkg/Name") names for the module whose code calls the bridge on this
// thread when that module was reloaded (a local reference), or null.
jclass ClassOfReloadedCaller(JNIEnv* env, const char* className) {
  const ClassCache& c = gClassCache;
  if (!gModulesReloaded.load(std::memory_order_acquire) || c.classOfReloadedCaller == nullptr) return nullptr;
  LocalRef<jstring> name(env, env->NewStringUTF(className));
  jobject found = name ? env->CallStaticObjectMethod(c.moduleReloader, c.classOfReloadedCaller, name.get()) : nullptr;
  env->ExceptionClear();
  return static_cast<jclass>(found);
}

// The class and tag method a registration names; null method when either is missing.
JavaMethodEntry ResolveMethod(JNIEnv* env, const char* className, const char* methodName) {
  JavaMethodEntry entry;
  // FindClass and GetMethodID read modified UTF-8: a Latin-1 name with other bytes names no class
  // and no method, and never reaches the VM.
  if (!IsModifiedUtf8(className, std::strlen(className)) || !IsModifiedUtf8(methodName, std::strlen(methodName))) {
    return entry;
  }
  LocalRef<jclass> cls(env, CallerClass(env, className));
  if (!cls) return entry;
  entry.method = FindTagMethod(env, cls.get(), methodName);
  if (entry.method == nullptr) return entry;
  ClassOf(env, className, cls.get(), entry);
  entry.tagModuleClass = env->IsAssignableFrom(cls.get(), gClassCache.tagModule);
  return entry;
}

void DescribeAndClear(JNIEnv* env) {
  if (env->ExceptionCheck()) {
    env->ExceptionDescribe();
    env->ExceptionClear();
  }
}

bool IsA(JNIEnv* env, jclass cls, const char* interfaceName) {
  LocalRef<jclass> wanted(env, env->FindClass(interfaceName));
  if (!wanted) {
    env->ExceptionClear();
    return false;
  }
  return env->IsAssignableFrom(cls, wanted.get());
}

// The Java object restored from the serialised bytes in parameter 0, as a local reference, or
// null. Its class is the one the bytes record, and only a class registered for the type's members
// is read back: the order or names of the members never decide it, and bytes naming any other
// class are never given to the VM to read.
jobject UnserializeJavaObject(JNIEnv* env, quill_token token, const std::string& typeName) {
  quill_type parameter = 0;
  quill_getTagParam2(token, 0, &parameter);
  if (parameter == 0) return nullptr;
  quill_value_t record{};
  quill_typeGetStringConv(token, parameter, &record, "BINARY");
  if (record.nameSize == 0) return nullptr;
  const jclass cls = RegisteredClassOfType(
      typeName, SerialisedClassName(reinterpret_cast<const unsigned char*>(record.name), record.nameSize));
  if (cls == nullptr || !IsA(env, cls, "java/io/Serializable")) return nullptr;
  // Once a module was reloaded, the bytes are read as the registered class, whose name may also
  // name another module generation's copy; before, as the class path has them.
  const bool asRegistered = gModulesReloaded.load(std::memory_order_acquire);
  const jmethodID unserialize =
      asRegistered
          ? env->GetStaticMethodID(gClassCache.tagModule, "unserialize", "([BLjava/lang/Class;)Ljava/lang/Object;")
          : env->GetStaticMethodID(gClassCache.tagModule, "unserialize", "([B)Ljava/lang/Object;");
  if (unserialize == nullptr) {
    env->ExceptionClear();
    return nullptr;
  }
  const auto size = static_cast<jsize>(record.nameSize);
  LocalRef<jbyteArray> bytes(env, env->NewByteArray(size));
  if (!bytes) return nullptr;
  env->SetByteArrayRegion(bytes.get(), 0, size, reinterpret_cast<const jbyte*>(record.name));
  LocalRef<jobject> object(env, asRegistered ? env->CallStaticObjectMethod(gClassCache.tagModule, unserialize,
                                                                           bytes.get(), cls)
                                             : env->CallStaticObjectMethod(gClassCache.tagModule, unserialize,
                                                                           bytes.get()));
  DescribeAndClear(env);
  if (asRegistered && object && !env->IsInstanceOf(object.get(), cls)) return nullptr;
  return object.release();
}

// The built-in copy: self gets a clone of the Java object of source (a value of the same type).
osError CloneFrom(JNIEnv* env, quill_token token, quill_type self, const std::string& typeName, osError result) {
  quill_type source = 0;
  quill_getTagParam2(token, 0, &source);
  if (source == 0 || quill_typeIsA2(token, source, typeName.c_str()) != 0) return result;
  void* sourceObject = nullptr;
  const osError r = quill_getPtrMemberW(token, source, kPrivateMember, &sourceObject);
  if (r != 0 || sourceObject == nullptr || !IsStored(sourceObject)) return kNothingToDo;
  result = r;
  const auto object = static_cast<jobject>(sourceObject);
  LocalRef<jclass> cls(env, env->GetObjectClass(object));
  if (!IsA(env, cls.get(), "java/lang/Cloneable")) return result;
  const jmethodID clone = env->GetMethodID(cls.get(), "clone", "()Ljava/lang/Object;");
  if (clone == nullptr) {
    env->ExceptionClear();
    return result;
  }
  DescribeAndClear(env);
  LocalRef<jobject> copy(env, env->CallObjectMethod(object, clone));
  DescribeAndClear(env);
  if (!copy) return result;
  jobject global = Store(env, copy.get());
  result = quill_setPtrMemberW(token, self, kPrivateMember, global);
  if (result == 0) return quill_typeSetCustomDtor(self, JavaObjectDestructor);
  Release(env, global);  // not stored in the value: nobody else would release it
  return result;
}

// The object's serialised bytes written to the tag's output.
osError SerializeTo(JNIEnv* env, quill_token token, jclass cls, jobject target, osError result) {
  if (!IsA(env, cls, "java/io/Serializable")) return result;
  const jmethodID serialize = env->GetStaticMethodID(gClassCache.tagModule, "serialize", "(Ljava/lang/Object;)[B");
  if (serialize == nullptr) {
    env->ExceptionClear();
    return result;
  }
  LocalRef<jbyteArray> bytes(env, static_cast<jbyteArray>(env->CallStaticObjectMethod(gClassCache.tagModule, serialize, target)));
  DescribeAndClear(env);
  if (!bytes) return result;
  const jsize length = env->GetArrayLength(bytes.get());
  if (length <= 0) return result;
  ByteElements elements(env, bytes.get());
  if (!elements) {
    quill_setResultMessage(token, "QJAPI error in outputTagData: could not get byte array elements");
    return kGenericError;
  }
  return quill_outputTagBytes(token, elements.get(), length);
}

// Whether a member call may run on the object of a stored pointer: a reference this module
// stored whose object is a tag module and, for a registered member, of the member's class. A
// method is never run on an object of another class (a fresh instance serves instead). An
// instance of a member's class that is a tag module needs only the one check, and a reference
// kept with the class it was found to be an instance of needs none.
bool IsTarget(JNIEnv* env, ThreadKept& kept, void* stored, const Resolution& r) {
  ThreadKept::Stored* k = FindStored(kept, stored);
  const jclass wanted = r.found ? r.entry.cls : gClassCache.tagModule;
  if (k == nullptr || wanted == nullptr) return false;
  if (k->instanceOf == wanted) return true;
  const auto isA = [&](jclass cls) { return env->IsInstanceOf(static_cast<jobject>(stored), cls) == JNI_TRUE; };
  const bool is = r.found && r.entry.tagModuleClass ? isA(wanted)
                                                    : isA(gClassCache.tagModule) && (!r.found || isA(wanted));
  if (is) k->instanceOf = wanted;
  return is;
}

// The request a token's call runs for, or null.
Request* RequestOf(quill_token token) {
  TExecState* state = TExecState::FromToken(token);
  return state != nullptr ? state->request : nullptr;
}

}  // namespace

osError JavaMemberDispatch(quill_token token) {
  quill_type self = 0;
  osError result = quill_getTagSelf(token, &self);
  const std::string_view rawType = TypeNameOf(token, self);
  quill_value_t tagRecord{};
  const std::string_view rawTag =
      quill_getTagName(token, &tagRecord) == 0 ? RecordText(tagRecord.data, tagRecord.dataSize) : std::string_view();

  ThreadKept& kept = tKept;  // the one read of this thread's block
  const Resolution resolution = ResolveKept(kept, rawType, rawTag);
  if (!resolution.dispatched) return kNothingToDo;
  const bool found = resolution.found;
  const JavaMethodEntry& entry = resolution.entry;
  const bool onSerialize = resolution.callback == Callback::kSerialize;
  const bool onUnserialize = resolution.callback == Callback::kUnserialize;

  // A thread attached here stays attached until its request ends (one detach marker per
  // request): the request is looked up only then, as a thread already attached needs none.
  JniAttachment attachment(nullptr, AttachScope::kRequest);
  if (attachment.attachedHere()) attachment.DeferDetachTo(RequestOf(token));
  JNIEnv* env = attachment.env();
  if (env == nullptr || !gClassCache.complete) {
    quill_setResultMessage(token, "QJAPI error: no Java environment for this thread");
    return kNoCall;
  }

  if (resolution.callback == Callback::kAssign) {
    result = CloneFrom(env, token, self, Folded(rawType), result);
    if (!found) {
      DescribeAndClear(env);
      return result;
    }
  }

  LocalRef<jobject> call(env, NewQuillCall(env, token));
  if (call) {
    void* stored = nullptr;
    if (self != 0) quill_getPtrMemberW(token, self, kPrivateMember, &stored);
    jobject target = nullptr;
    LocalRef<jclass> cls(env, nullptr);
    if (IsTarget(env, kept, stored, resolution)) {
      target = static_cast<jobject>(stored);
      // Only the built-in serialisation needs the object's class.
      if (onSerialize && !found) cls = LocalRef<jclass>(env, env->GetObjectClass(target));
    }
    if (target == nullptr) {
      // The class the entry names, as the class path has it; once a module was reloaded, the
      // registered class itself, as the name may also name another generation's copy.
      const JavaMethodEntry named = found ? entry : AnyMemberOfType(Folded(rawType));
      if (named.cls != nullptr && !gModulesReloaded.load(std::memory_order_acquire)) {
        cls = LocalRef<jclass>(env, env->FindClass(named.className->c_str()));
        if (!cls) env->ExceptionClear();
      }
      if (!cls && named.cls != nullptr) cls = LocalRef<jclass>(env, static_cast<jclass>(env->NewLocalRef(named.cls)));
    }

    if (onUnserialize && !found && target == nullptr && stored == nullptr) {
      LocalRef<jobject> restored(env, UnserializeJavaObject(env, token, Folded(rawType)));
      if (restored) {
        osError r = quill_typeSetCustomDtor(self, JavaObjectDestructor);
        if (r == 0) {
          jobject global = Store(env, restored.get());
          r = quill_setPtrMemberW(token, self, kPrivateMember, global);
          if (r != 0) Release(env, global);
        }
        return r;
      }
    }

    LocalRef<jobject> fresh(env, nullptr);
    if (target == nullptr && cls) {
      const jmethodID ctor = env->GetMethodID(cls.get(), "<init>", "()V");
      if (ctor != nullptr) fresh = LocalRef<jobject>(env, env->NewObject(cls.get(), ctor));
      DescribeAndClear(env);
      target = fresh.get();
    }

    if (onSerialize && !found) {
      if (target != nullptr) result = SerializeTo(env, token, cls.get(), target, result);
    } else if (found && target != nullptr) {
      result = env->CallIntMethod(target, entry.method, call.get(), 1);
    }
  }
  DescribeAndClear(env);
  return result;
}

void JavaObjectDestructor(quill_type handle) {
  void* pointer = nullptr;
  quill_getPtrMemberW(0, handle, kPrivateMember, &pointer);
  if (pointer == nullptr) return;
  JniAttachment attachment;  // for this one release
  JNIEnv* env = attachment.env();
  if (env == nullptr) return;
  quill_setPtrMemberW(0, handle, kPrivateMember, nullptr);
  quill_typeSetCustomDtor(handle, nullptr);
  Release(env, pointer);
}

void NoteModulesReloaded() { gModulesReloaded.store(true, std::memory_order_release); }

jclass CallerClass(JNIEnv* env, const char* className) {
  jclass reloaded = ClassOfReloadedCaller(env, className);
  return reloaded != nullptr ? reloaded : env->FindClass(className);
}

size_t JavaMemberCount() {
  CriticalSectionScope locked(gJavaMembersLock);
  return gJavaMembers.size();
}

size_t PendingJavaTagCount() {
  CriticalSectionScope locked(gPendingJavaTagsLock);
  return gPendingJavaTags.size();
}

size_t StoredJavaObjectCount() {
  std::lock_guard guard(gStoredLock);
  return Stored().size();
}

extern "C" {

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeSetCustomJavaObject(JNIEnv* env, jobject self,
                                                                                     jobject value, jobject object) {
  return WithCall(env, self, {value}, [&](quill_token t) -> jint {
    const quill_type handle = GetTypeRef(env, value);
    void* existing = nullptr;
    if (quill_getPtrMemberW(t, handle, kPrivateMember, &existing) == 0 && existing != nullptr) return kNothingToDo;
    if (const osError r = quill_typeSetCustomDtor(handle, JavaObjectDestructor)) return r;
    jobject global = Store(env, object);
    const osError r = quill_setPtrMemberW(t, handle, kPrivateMember, global);
    if (r != 0) Release(env, global);
    return r;
  });
}

JNIEXPORT jobject JNICALL Java_com_ferngate_quillpro_QuillCall_typeGetCustomJavaObject(JNIEnv* env, jobject self,
                                                                                       jobject value) {
  jobject result = nullptr;
  WithCall(env, self, {value}, [&](quill_token t) -> jint {
    void* stored = nullptr;
    const osError r = quill_getPtrMemberW(t, GetTypeRef(env, value), kPrivateMember, &stored);
    if (r == 0 && stored != nullptr && IsStored(stored)) result = env->NewLocalRef(static_cast<jobject>(stored));
    return r;
  });
  return result;
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeFreeCustomJavaObject(JNIEnv* env, jobject self,
                                                                                      jobject value) {
  return WithCall(env, self, {value}, [&](quill_token t) -> jint {
    const quill_type handle = GetTypeRef(env, value);
    void* existing = nullptr;
    osError r = quill_getPtrMemberW(t, handle, kPrivateMember, &existing);
    if (r != 0 || existing == nullptr) return r;
    Release(env, existing);
    r = quill_setPtrMemberW(t, handle, kPrivateMember, nullptr);
    quill_typeSetCustomDtor(handle, nullptr);
    return r;
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeAllocTag(JNIEnv* env, jobject self, jobject result,
                                                                          jstring className, jstring methodName) {
  return WithCall(env, self, {result}, [&](quill_token t) -> jint {
    Latin1Chars cls(env, className);
    Latin1Chars method(env, methodName);
    if (!cls || !method) return kBadString;
    JavaMethodEntry entry = ResolveMethod(env, cls.get(), method.get());
    if (entry.method == nullptr) {
      DescribeAndClear(env);
      quill_log(2, "[QJAPI] Java method not found: %s", method.get());
      return kNoCall;
    }
    quill_type handle = 0;
    const osError r = quill_typeAllocTag(t, &handle, JavaMemberDispatch);
    if (handle == 0) return r;
    CriticalSectionScope locked(gPendingJavaTagsLock);
    gPendingJavaTags[handle] = std::move(entry);
    SetTypeRef(env, handle, result);
    return r;
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeAddMember(JNIEnv* env, jobject self, jobject type,
                                                                           jstring memberName, jobject member) {
  return WithCall(env, self, {member, memberName, type}, [&](quill_token t) -> jint {
    Latin1Chars latin1(env, memberName);
    if (!latin1) return kBadString;
    std::string name(latin1.get());
    // The member table is keyed by the name as the host reports it when the member is called
    // (UTF-8); the host itself is handed the ISO-8859-1 text.
    HostUtf8Chars utf8(env, memberName);
    if (!utf8) return kBadString;
    std::string key(utf8.get());
    const quill_type typeHandle = GetTypeRef(env, type);
    const quill_type memberHandle = GetTypeRef(env, member);
    Variant* memberValue = Variant::FromHandle(memberHandle);
    bool pending = false;
    if (memberValue != nullptr && memberValue->GetReferenceDeep()->GetType() == QUILL_TYPE_TAG) {
      CriticalSectionScope locked(gPendingJavaTagsLock);
      pending = gPendingJavaTags.count(memberHandle) != 0;
    }
    if (pending) {
      FoldInPlace(name);
      FoldInPlace(key);
      const std::string typeName = FoldedTypeName(t, typeHandle);
      CriticalSectionScope members(gJavaMembersLock);
      CriticalSectionScope tags(gPendingJavaTagsLock);
      auto it = gPendingJavaTags.find(memberHandle);
      if (it != gPendingJavaTags.end()) {
        SetMember(JavaMemberKey(typeName, key), it->second);
        gPendingJavaTags.erase(it);
      }
    }
    return quill_typeAddMember(t, typeHandle, name.c_str(), memberHandle);
  });
}

JNIEXPORT jint JNICALL Java_com_ferngate_quillpro_QuillCall_typeAddMemberTag(JNIEnv* env, jobject self,
                                                                              jstring className, jstring methodName,
                                                                              jobject type, jstring memberName) {
  return WithCall(env, self, {className, methodName, type, memberName}, [&](quill_token t) -> jint {
    Utf8Chars cls(env, className);
    Utf8Chars method(env, methodName);
    HostUtf8Chars memberChars(env, memberName);
    Latin1Chars memberLatin1(env, memberName);  // the host's 8-bit form
    if (!cls || !method || !memberChars || !memberLatin1) return kNothingToDo;
    JavaMethodEntry entry = ResolveMethod(env, cls.get(), method.get());
    if (entry.method == nullptr) {
      DescribeAndClear(env);
      quill_log(2, "[QJAPI] Java method not found: %s.%s(QuillCall, int)", cls.get(), method.get());
      return kNothingToDo;
    }
    quill_type handle = 0;
    osError result = quill_typeAllocTag(t, &handle, JavaMemberDispatch);
    if (handle == 0) return result;
    std::string member(memberChars.get());
    FoldInPlace(member);
    std::string hostName(memberLatin1.get());
    FoldInPlace(hostName);
    const quill_type typeHandle = GetTypeRef(env, type);
    const std::string typeName = FoldedTypeName(t, typeHandle);
    if (typeName.empty()) return result;
    CriticalSectionScope locked(gJavaMembersLock);
    SetMember(JavaMemberKey(typeName, member), entry);
    return quill_typeAddMember(t, typeHandle, hostName.c_str(), handle);
  });
}

}  // extern "C"
