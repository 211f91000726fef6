// Kernel32 subset: processes and threads. A process runs on its machine and is started by the
// machine's server, which knows its true end; handles of processes and threads are waitable
// with WaitForSingleObject and WaitForMultipleObjects together with events and mutexes.
// Threads are never ended from outside: code that must stop one cancels or detaches it.
#pragma once

#include "winport/WinTypes.h"

#define STILL_ACTIVE 259

// Process rights.
#define PROCESS_TERMINATE 0x0001
#define PROCESS_CREATE_THREAD 0x0002
#define PROCESS_VM_OPERATION 0x0008
#define PROCESS_VM_READ 0x0010
#define PROCESS_VM_WRITE 0x0020
#define PROCESS_DUP_HANDLE 0x0040
#define PROCESS_CREATE_PROCESS 0x0080
#define PROCESS_SET_INFORMATION 0x0200
#define PROCESS_QUERY_INFORMATION 0x0400
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000
#define PROCESS_ALL_ACCESS 0x1FFFFF
// Thread rights.
#define THREAD_TERMINATE 0x0001
#define THREAD_SUSPEND_RESUME 0x0002
#define THREAD_QUERY_INFORMATION 0x0040
#define THREAD_ALL_ACCESS 0x1FFFFF

// Creation flags: all are accepted; CREATE_SUSPENDED holds the program until ResumeThread.
#define DEBUG_PROCESS 0x00000001
#define CREATE_SUSPENDED 0x00000004
#define DETACHED_PROCESS 0x00000008
#define CREATE_NEW_CONSOLE 0x00000010
#define NORMAL_PRIORITY_CLASS 0x00000020
#define CREATE_NEW_PROCESS_GROUP 0x00000200
#define CREATE_UNICODE_ENVIRONMENT 0x00000400
#define CREATE_DEFAULT_ERROR_MODE 0x04000000
#define CREATE_NO_WINDOW 0x08000000

// STARTUPINFO flags and show-window values (accepted; the fleet has no windows).
#define STARTF_USESHOWWINDOW 0x00000001
#define STARTF_USESTDHANDLES 0x00000100
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5

typedef struct _STARTUPINFOW
{
    DWORD cb;
    LPWSTR lpReserved;
    LPWSTR lpDesktop;
    LPWSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOW, *LPSTARTUPINFOW;

typedef struct _PROCESS_INFORMATION
{
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

struct SECURITY_ATTRIBUTES;

// The application name, else the first item of the command line, is found as Windows finds it
// (the program's folder, the current folder, System32, the Windows folder, then PATH; ".exe"
// added to a name without extension); a ".bat" or ".cmd" script runs in the command processor,
// as cmd.exe /c ""SCRIPT" ARGUMENTS" (cmd.exe of the machine's System32, else the one beside
// fleetkit.dll). The child gets the caller's environment unless one is given (wide with
// CREATE_UNICODE_ENVIRONMENT), and the caller's standard descriptors.
BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine,
                    SECURITY_ATTRIBUTES* processAttributes, SECURITY_ATTRIBUTES* threadAttributes,
                    BOOL inheritHandles, DWORD creationFlags, LPVOID environment,
                    LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                    LPPROCESS_INFORMATION processInformation);
// The same as the account of a token of a logon that checked its password: the child runs as
// that account and reaches the network with that logon.
BOOL CreateProcessAsUserW(HANDLE token, LPCWSTR applicationName, LPWSTR commandLine,
                          SECURITY_ATTRIBUTES* processAttributes,
                          SECURITY_ATTRIBUTES* threadAttributes, BOOL inheritHandles,
                          DWORD creationFlags, LPVOID environment, LPCWSTR currentDirectory,
                          LPSTARTUPINFOW startupInfo, LPPROCESS_INFORMATION processInformation);
HANDLE OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId);
// The CRT's system(): runs "%ComSpec% /c command" (cmd.exe found as for scripts when ComSpec
// names no program) in the caller's current folder and environment, waits for it and returns
// its exit code. With a null command: non-zero when a command processor is there, else 0 with
// errno ENOENT. -1 with errno set (ENOENT when no command processor can be started) on failure.
int _wsystem(const wchar_t* command);
BOOL TerminateProcess(HANDLE process, UINT exitCode);
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode);
DWORD GetProcessId(HANDLE process);
LPWSTR GetCommandLineW();
[[noreturn]] void ExitProcess(UINT exitCode);

typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID parameter);
HANDLE CreateThread(SECURITY_ATTRIBUTES* attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId);
// The CRT's thread start: the handle as an integer, 0 on failure.
uintptr_t _beginthreadex(void* security, unsigned stackSize, unsigned (*start)(void*),
                         void* argument, unsigned initFlag, unsigned* threadId);
// The previous suspend count, (DWORD)-1 on failure.
DWORD ResumeThread(HANDLE thread);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
DWORD GetThreadId(HANDLE thread);
