// What the launcher learns from the VM about its own end: the VM options that hand the VM's
// printing, its exit and its abort to the module, so that a VM ending the process leaves a log
// line saying why, and nothing of the host runs after the VM has gone.
#pragma once

#include <jni.h>

#include <string>
#include <vector>

// The three hook options ("vfprintf", "exit", "abort"), to append to the options of
// JNI_CreateJavaVM. They are not shown with the options the user chose.
std::vector<JavaVMOption> VmWatchOptions();

// The last line the VM printed (cut to a readable length); empty when it printed none.
std::string LastVmLine();

// text, or its head and tail around "..." when it is longer than limit bytes; never cuts a UTF-8
// sequence in two.
std::string CutForLog(const std::string& text, size_t limit = 160);
