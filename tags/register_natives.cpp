// QuillTagModule.registerTagModule: Java modules register their tags through these natives;
// ModuleReloader.registerAsOneGeneration: a reloaded module's registrations form one generation.
#include <jni.h>

#include <exception>
#include <utility>

#include "bridge/java_types.h"
#include "bridge/jni_guards.h"
#include "com_ferngate_quillpro_QuillTagModule.h"
#include "com_marrowbay_util_ModuleReloader.h"
#include "com_marrowbay_quillpro_QuillTagModule.h"
#include "tags/JavaTag.h"

using bridge::LocalRef;
using bridge::Utf16Chars;
using bridge::Utf8Chars;

namespace {

// What differs between the two packages' registration natives.
struct RegistrationForm {
  const char* tagModuleClass;                   // the registering object must be one of these
  const char* signatures[2];    // tag method signatures, tried in order (unused entries null)
  bool clearBetweenLookups;  // clear the failed lookup's exception before the next is tried
  bool namesModule;          // the caller passes a module name, which must not be null
};

constexpr const char* kFerngateSignature = "(Lcom/ferngate/quillpro/QuillCall;I)I";
constexpr const char* kMarrowbaySignature = "(Lcom/marrowbay/quillpro/QuillCall;I)I";

const RegistrationForm kFiveParameterForm{"com/ferngate/quillpro/QuillTagModule",
                                          {kFerngateSignature, kMarrowbaySignature}, true, false};
const RegistrationForm kSixParameterForm{"com/marrowbay/quillpro/QuillTagModule",
                                         {kMarrowbaySignature, nullptr}, false, true};

const char* OrNull(const Utf8Chars& text) { return text ? text.get() : "null"; }

// JNI's lookup also finds a private or protected constructor, but only a public one makes a class
// a tag module: the server must be able to make its instances as any caller would.
bool IsPublicConstructor(JNIEnv* env, jclass cls, jmethodID constructor) {
  LocalRef<jobject> reflected(env, env->ToReflectedMethod(cls, constructor, JNI_FALSE));
  LocalRef<jclass> member(env, env->FindClass("java/lang/reflect/Member"));
  if (!reflected || !member) return false;
  const jmethodID getModifiers = env->GetMethodID(member.get(), "getModifiers", "()I");
  if (getModifiers == nullptr) return false;
  constexpr jint kPublic = 0x0001;  // java.lang.reflect.Modifier.PUBLIC
  const jint modifiers = env->CallIntMethod(reflected.get(), getModifiers);
  return !env->ExceptionCheck() && (modifiers & kPublic) != 0;
}

// Creates the registration-time instance of the registering object's class, or gives null
// when the class is not a tag module, lacks a public "<init>" "()V" or the tag method, or its
// constructor throws. method and constructor receive what was found.
jobject CreateModuleInstance(JNIEnv* env, jobject module, const RegistrationForm& form,
                             const char* methodName, jmethodID& method, jmethodID& constructor) {
  LocalRef<jclass> base(env, env->FindClass(form.tagModuleClass));
  if (!base) return nullptr;
  LocalRef<jclass> moduleClass(env, env->GetObjectClass(module));
  if (!env->IsAssignableFrom(moduleClass.get(), base.get())) return nullptr;

  constructor = env->GetMethodID(moduleClass.get(), "<init>", "()V");
  if (constructor == nullptr || !IsPublicConstructor(env, moduleClass.get(), constructor)) return nullptr;
  for (const char* signature : form.signatures) {
    if (signature == nullptr) break;
    if (env->ExceptionCheck()) {
      if (!form.clearBetweenLookups) break;
      env->ExceptionClear();
    }
    method = env->GetMethodID(moduleClass.get(), methodName, signature);
    if (method != nullptr) break;
  }
  if (method == nullptr) return nullptr;
  return env->NewObject(moduleClass.get(), constructor);
}

void RegisterTagModule(JNIEnv* env, jobject module, const RegistrationForm& form,
                       jstring className, jstring moduleName, jstring tagName, jstring methodName,
                       jint flags, jstring description) {
  if (tagName == nullptr || methodName == nullptr) return;

  Request* request = Request::GetCurrent();
  TagRegistry registry(request, request != nullptr ? request->GetTagTable() : nullptr);

  Utf8Chars classText(env, className);
  Utf8Chars tagText(env, tagName);
  Utf8Chars methodText(env, methodName);
  if (!tagText || !methodText) {
    env->ExceptionClear();
    return;
  }
  // A null class name, description or (six-parameter form) module name cannot name a tag:
  // refused like a missing method.
  const bool described = description != nullptr && (!form.namesModule || moduleName != nullptr);
  jmethodID method = nullptr;
  jmethodID constructor = nullptr;
  LocalRef<jobject> instance(
      env, classText && described
               ? CreateModuleInstance(env, module, form, methodText.get(), method, constructor)
               : nullptr);
  env->ExceptionDescribe();
  env->ExceptionClear();
  if (!instance) {
    quill_log(2, "Couldn't not find %s method in class %s.", methodText.get(), OrNull(classText));
    return;
  }

  auto* tag = new JavaTag(classText.get(), env->NewGlobalRef(instance.get()), method, constructor);
  static const quill_char kEmpty[] = {0};
  Utf16Chars moduleUnits(env, moduleName);
  Utf16Chars tagUnits(env, tagName);
  Utf16Chars descriptionUnits(env, description);
  env->ExceptionClear();
  registry.RegTag(moduleUnits ? moduleUnits.get() : kEmpty, tagUnits ? tagUnits.get() : kEmpty,
                  tag, descriptionUnits ? descriptionUnits.get() : kEmpty, flags);
  quill_log(2, "    Loaded \"%s\" tag.", tagText.get());
}

// Nothing may unwind into the VM: a registration the host cannot take is logged and dropped.
template <class... Args>
void RegisterGuarded(Args&&... args) {
  try {
    RegisterTagModule(std::forward<Args>(args)...);
  } catch (const std::exception& e) {
    quill_log(2, "[QJAPI] A tag could not be registered: %s", e.what());
  }
}

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_com_ferngate_quillpro_QuillTagModule_registerTagModule(
    JNIEnv* env, jobject self, jstring className, jstring tagName, jstring methodName, jint flags,
    jstring description) {
  RegisterGuarded(env, self, kFiveParameterForm, className, nullptr, tagName, methodName, flags,
                  description);
}

JNIEXPORT void JNICALL Java_com_marrowbay_quillpro_QuillTagModule_registerTagModule(
    JNIEnv* env, jobject self, jstring className, jstring moduleName, jstring tagName,
    jstring methodName, jint flags, jstring description) {
  RegisterGuarded(env, self, kSixParameterForm, className, moduleName, tagName, methodName, flags,
                  description);
}

// The registrations' exceptions stay pending for the caller; nothing the host throws reaches the VM.
JNIEXPORT void JNICALL Java_com_marrowbay_util_ModuleReloader_registerAsOneGeneration(JNIEnv* env, jclass,
                                                                                      jobject registrations) {
  if (registrations == nullptr) return;
  try {
    LocalRef<jclass> runnable(env, env->GetObjectClass(registrations));
    jmethodID run = env->GetMethodID(runnable.get(), "run", "()V");
    if (run == nullptr) return;
    ModuleGenerationScope generation;
    NoteModulesReloaded();
    env->CallVoidMethod(registrations, run);
    if (env->ExceptionCheck()) quill_log(2, "[QJAPI] A reloaded module's registrations threw.");
  } catch (const std::exception& e) {
    quill_log(2, "[QJAPI] A reloaded module's registrations could not be made: %s", e.what());
  }
}

}  // extern "C"
