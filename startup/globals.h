// Process-wide state of the bridge: written once on the start-up thread, read without locks after.
#pragma once

#include <jni.h>

#include "host/os.h"

class JavaTagLoader;

extern JavaVM* gJavaVM;             // null when no VM was started
extern JavaTagLoader* gTagLoader;   // null when no VM was started
extern CharBuffer gBridgeJarName;   // "QJAPI.jar", named in the missing-classes message

// The path-list separator of this platform, used wherever class and library paths are joined.
inline constexpr char kPathListSeparator = ':';
inline constexpr const char* kPathListSeparatorText = ":";

inline constexpr const char* kNativeLoaderMissing =
    "[QJAPI] The native loader class (com.marrowbay.util.NativeLoader.class) could not be found.";

// The interface versions the bridge asks for.
inline constexpr jint kAttachVersion = 0x00010002;  // JNI_VERSION_1_2
inline constexpr jint kCreateVersion = 0x00010004;  // JNI_VERSION_1_4
