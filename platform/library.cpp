// Loading shared libraries: LoadLibraryA/GetProcAddress over dlopen/dlsym.
#include <dlfcn.h>

#include "win32.h"

HMODULE LoadLibraryA(const char* fileName) {
  if (fileName == nullptr || *fileName == '\0') return nullptr;
  return dlopen(fileName, RTLD_NOW | RTLD_GLOBAL);
}

FARPROC GetProcAddress(HMODULE module, const char* procName) {
  if (module == nullptr || procName == nullptr) return nullptr;
  return reinterpret_cast<FARPROC>(dlsym(module, procName));
}
