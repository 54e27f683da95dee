// Classes, fields and methods of the bridge's Java side, looked up once at start-up.
#pragma once

#include <jni.h>

struct ClassCache {
  jclass quillCall = nullptr;            // com/marrowbay/quillpro/QuillCall
  jfieldID quillCallToken = nullptr;     // nativeRef I
  jclass typeRef = nullptr;              // com/ferngate/quillpro/QuillTypeRef
  jfieldID typeRefHandle = nullptr;      // nativeRef I
  jclass quillValue = nullptr;           // com/ferngate/quillpro/QuillValue
  jfieldID quillValueName = nullptr;     // name Ljava/lang/String;
  jfieldID quillValueData = nullptr;     // data Ljava/lang/String;
  jfieldID quillValueType = nullptr;     // type I
  jclass intValue = nullptr;             // com/ferngate/quillpro/IntValue
  jfieldID intValueValue = nullptr;      // value J
  jclass floatValue = nullptr;           // com/ferngate/quillpro/FloatValue
  jfieldID floatValueValue = nullptr;    // value D
  jclass tagModule = nullptr;            // com/ferngate/quillpro/QuillTagModule
  jstring emptyString = nullptr;         // "", shared by every empty text handed to Java
  // Not needed by the bridge itself (a connector's searches go as text without them).
  jclass string = nullptr;               // java/lang/String
  jclass boundStatement = nullptr;       // com/marrowbay/jdbc/BoundStatement
  jfieldID boundStatementBound = nullptr;   // bound Ljava/lang/String;
  jfieldID boundStatementValues = nullptr;  // values [Ljava/lang/String;
  jfieldID boundStatementBare = nullptr;    // bare [Z
  jmethodID boundStatementFromAscii = nullptr;  // static fromAscii([BIII)Lcom/marrowbay/jdbc/BoundStatement;
  // All of the bound statement's entries above and string were found.
  bool boundStatementReady = false;
  // Only for modules loaded again under serve --reload; without it their type members find the
  // class path's classes.
  jclass moduleReloader = nullptr;          // com/marrowbay/util/ModuleReloader
  jmethodID classOfReloadedCaller = nullptr;  // static (Ljava/lang/String;)Ljava/lang/Class;
  // Every entry above but the optional ones (string, the bound statement, the reloader) was
  // filled. The natives and tag calls refuse to work without it rather than hand a null ID to
  // the VM.
  bool complete = false;
};

extern ClassCache gClassCache;

// Fills gClassCache. A class that cannot be found leaves its entries null and is logged.
void CacheJavaClasses(JNIEnv* env);

// A new QuillCall bound to the host call `token` (a local reference), or null with an exception
// pending. The class and its superclass have empty constructors and the token as their only
// field, so the object is allocated without running them: a constructor run from native code is
// a call into the VM of its own, on every tag call and data-source action.
jobject NewQuillCall(JNIEnv* env, jint token);
