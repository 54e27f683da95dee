// The Win32 calls the launcher uses, written over Linux.
//
// The registry is read from a text file in the .reg format:
//   Windows Registry Editor Version 5.00            (optional header)
//   [HKEY_LOCAL_MACHINE\SOFTWARE\JavaSoft\Java Runtime Environment]
//   "CurrentVersion"="17"                           (\\ and \" are escapes)
//   "Flags"=dword:00000001
//   @="default value"
// The file is $QUILL_REGISTRY when that is set (missing or empty file: no keys at all), else
// ./registry.reg when present, else the installed JDK is presented under
// HKEY_LOCAL_MACHINE\SOFTWARE\JavaSoft\Java Runtime Environment (CurrentVersion, and RuntimeLib
// under the version's subkey). Key paths and value names compare case-insensitively; leading and
// trailing backslashes of a subkey do not matter. Each open of a predefined key reads the source
// afresh, and the handle keeps the content it was opened with.
#pragma once

#include <cstdint>

typedef int32_t LONG;
typedef uint32_t DWORD;
typedef unsigned char BYTE;
typedef BYTE* LPBYTE;
typedef struct HKEY__* HKEY;
typedef void* HMODULE;
typedef intptr_t (*FARPROC)(void);

#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)

#define KEY_QUERY_VALUE 0x0001u
#define KEY_READ 0x20019u

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_MORE_DATA 234L

#define REG_NONE 0u
#define REG_SZ 1u
#define REG_DWORD 4u

LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, DWORD samDesired, HKEY* result);
// Real semantics: *dataSize is the buffer size on entry and the value's size (terminator included)
// on return; ERROR_MORE_DATA when the buffer is too small; a null data only asks for the size.
LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, LPBYTE data,
                      DWORD* dataSize);
LONG RegCloseKey(HKEY key);

// dlopen(RTLD_NOW | RTLD_GLOBAL) / dlsym; null on failure.
HMODULE LoadLibraryA(const char* fileName);
FARPROC GetProcAddress(HMODULE module, const char* procName);
