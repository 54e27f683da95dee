// A script tag whose body is an instance method of a Java module class.
#pragma once

#include <jni.h>

#include "host/request.h"

// Raised to the host when a Java tag returns a non-zero code; carries the request's result
// message and the code.
class QPWhatShouldReallyBeAnQCAPIReturnCode : public osException {
 public:
  using osException::osException;
  ~QPWhatShouldReallyBeAnQCAPIReturnCode() override = default;
};

// Codes a tag call reports when its Java method could not give one.
inline constexpr osError kJavaTagThrew = -10998;       // the method threw; the message names why
inline constexpr osError kJavaUnavailable = -10997;  // no VM for this thread, or no bridge classes

class JavaTag : public SubstitutionTag {
 public:
  // Takes ownership of the global reference moduleInstance; copies className.
  JavaTag(const char* className, jobject moduleInstance, jmethodID tagMethod, jmethodID constructor);
  ~JavaTag() override;

  // Calls the tag method on a fresh instance of the module class, with a new QuillCall bound to
  // this call's execution state. A non-zero result is thrown as
  // QPWhatShouldReallyBeAnQCAPIReturnCode after it became the request's result code.
  void Run(CallFrame* frame, Variant* result, Request* request) override;
  virtual const char* GetClassName() const { return className_; }

 private:
  jobject moduleInstance_;  // global reference; only its class is used
  jclass moduleClass_;      // global reference to that class, so calls skip GetObjectClass
  jmethodID tagMethod_;
  jmethodID constructor_;
  char* className_;
};
