// Kernel32 subset: loading libraries (modules) and finding their exports.
//
// Our libraries keep their Windows names ("serveractions.dll"); on Linux they are ELF files,
// loaded with dlopen. A module handle is the address the module is mapped at, as on Windows and
// in tool-help snapshots.
#pragma once

#include <string>

#include "winport/WinTypes.h"

// Flags of LoadLibraryExW. LOAD_WITH_ALTERED_SEARCH_PATH changes nothing here: a library finds
// its own dependencies beside itself. Loading as a data file or an image resource is not
// supported (ERROR_NOT_SUPPORTED): our libraries carry no Windows resources.
#define DONT_RESOLVE_DLL_REFERENCES 0x00000001
#define LOAD_LIBRARY_AS_DATAFILE 0x00000002
#define LOAD_WITH_ALTERED_SEARCH_PATH 0x00000008
#define LOAD_LIBRARY_AS_IMAGE_RESOURCE 0x00000020
#define LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE 0x00000040

// Loads a library, or adds a reference to it when it is loaded already, and returns its
// handle; NULL with ERROR_MOD_NOT_FOUND (126) when there is no such file, ERROR_BAD_EXE_FORMAT
// (193) when the file is no library that can be loaded. A name without a path is first matched
// against the modules already loaded, then searched in the program's folder, the current
// folder, %SystemRoot%\System32, %SystemRoot% and the folders of PATH; without an extension it
// gets ".dll" (a trailing "." means no extension). Names compare without regard to case.
HMODULE LoadLibraryW(LPCWSTR fileName);
HMODULE LoadLibraryExW(LPCWSTR fileName, HANDLE file, DWORD flags);

// Drops one reference; the last one unloads the library. ERROR_INVALID_HANDLE for a handle
// that names no module.
BOOL FreeLibrary(HMODULE module);

// An exported function or variable of the module itself (not of its dependencies); NULL with
// ERROR_PROC_NOT_FOUND (127) when it has none of that name. Ordinals are not supported (127).
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);

// The handle of a loaded module without adding a reference: NULL names the program itself, a
// name without a path is matched by file name, a path by the file it names. NULL with
// ERROR_MOD_NOT_FOUND when no such module is loaded.
HMODULE GetModuleHandleW(LPCWSTR moduleName);

namespace winport::fleet
{
// Linux only: the Windows path of a loaded module (that GetModuleFileNameW reports); false when
// the handle names no module.
bool LoadedModulePath(HMODULE module, std::wstring& windowsPath);
} // namespace winport::fleet
