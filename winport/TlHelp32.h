// Tool-help snapshots: the processes of this process's machine and the modules they have
// loaded. On Linux a machine's processes are those started on it (FLEET_ROOT, FLEET_MACHINE);
// their modules are the files they map executable, by their Windows paths.
#pragma once

#include "winport/WinTypes.h"

#define TH32CS_SNAPPROCESS 0x00000002
#define TH32CS_SNAPMODULE 0x00000008
#define TH32CS_SNAPMODULE32 0x00000010
#define MAX_MODULE_NAME32 255

struct PROCESSENTRY32W
{
    DWORD dwSize;
    DWORD cntUsage;
    DWORD th32ProcessID;
    ULONG_PTR th32DefaultHeapID;
    DWORD th32ModuleID;
    DWORD cntThreads;
    DWORD th32ParentProcessID;
    LONG pcPriClassBase;
    DWORD dwFlags;
    WCHAR szExeFile[MAX_PATH]; // the program's file name
};
typedef PROCESSENTRY32W* LPPROCESSENTRY32W;

struct MODULEENTRY32W
{
    DWORD dwSize;
    DWORD th32ModuleID;
    DWORD th32ProcessID;
    DWORD GlblcntUsage;
    DWORD ProccntUsage;
    BYTE* modBaseAddr;
    DWORD modBaseSize;
    HMODULE hModule;
    WCHAR szModule[MAX_MODULE_NAME32 + 1]; // the module's file name
    WCHAR szExePath[MAX_PATH];             // its full Windows path
};
typedef MODULEENTRY32W* LPMODULEENTRY32W;

// processId 0 is this process (for modules). A process that is not one of this machine's is
// ERROR_INVALID_PARAMETER, as for a process that does not exist.
HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId);
// ERROR_BAD_LENGTH when dwSize is too small; ERROR_NO_MORE_FILES after the last entry.
BOOL Process32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry);
BOOL Process32NextW(HANDLE snapshot, LPPROCESSENTRY32W entry);
BOOL Module32FirstW(HANDLE snapshot, LPMODULEENTRY32W entry);
BOOL Module32NextW(HANDLE snapshot, LPMODULEENTRY32W entry);
