// Unhandled exceptions and process dumps: SetUnhandledExceptionFilter and the types of
// dbghelp's MiniDumpWriteDump.
//
// On Linux a crash is a signal. SetUnhandledExceptionFilter catches SIGSEGV, SIGBUS, SIGFPE,
// SIGILL and SIGABRT on the crashing thread and hands the filter an EXCEPTION_RECORD whose code
// names the signal (access violation, in-page error, integer divide by zero, illegal
// instruction, fatal application exit) and whose address is the faulting one. Whatever the
// filter returns, the process then ends by the same signal, the ordinary end of a crash here.
#pragma once

#include "winport/WinTypes.h"

#define EXCEPTION_ACCESS_VIOLATION 0xC0000005L
#define EXCEPTION_IN_PAGE_ERROR 0xC0000006L
#define EXCEPTION_ILLEGAL_INSTRUCTION 0xC000001DL
#define EXCEPTION_INT_DIVIDE_BY_ZERO 0xC0000094L
#define STATUS_FATAL_APP_EXIT 0x40000015L
#define EXCEPTION_MAXIMUM_PARAMETERS 15

#define EXCEPTION_EXECUTE_HANDLER 1
#define EXCEPTION_CONTINUE_SEARCH 0

struct EXCEPTION_RECORD
{
    DWORD ExceptionCode;
    DWORD ExceptionFlags;
    EXCEPTION_RECORD* ExceptionRecord;
    PVOID ExceptionAddress;
    DWORD NumberParameters;
    ULONG_PTR ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
};
using PEXCEPTION_RECORD = EXCEPTION_RECORD*;

struct EXCEPTION_POINTERS
{
    PEXCEPTION_RECORD ExceptionRecord;
    PVOID ContextRecord; // the signal's ucontext_t
};
using PEXCEPTION_POINTERS = EXCEPTION_POINTERS*;

using LPTOP_LEVEL_EXCEPTION_FILTER = LONG (*)(PEXCEPTION_POINTERS);

// Returns the filter it replaces (null the first time).
LPTOP_LEVEL_EXCEPTION_FILTER SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter);

// dbghelp.dll
enum MINIDUMP_TYPE : DWORD
{
    MiniDumpNormal = 0x00000000,
    MiniDumpWithDataSegs = 0x00000001,
    MiniDumpWithFullMemory = 0x00000002,
    MiniDumpWithHandleData = 0x00000004,
    MiniDumpWithProcessThreadData = 0x00000100,
    MiniDumpWithPrivateReadWriteMemory = 0x00000200,
};

struct MINIDUMP_EXCEPTION_INFORMATION
{
    DWORD ThreadId;
    PEXCEPTION_POINTERS ExceptionPointers;
    BOOL ClientPointers;
};
using PMINIDUMP_EXCEPTION_INFORMATION = MINIDUMP_EXCEPTION_INFORMATION*;

using MINIDUMPWRITEDUMP = BOOL (*)(HANDLE process, DWORD processId, HANDLE file, MINIDUMP_TYPE type,
                                   PMINIDUMP_EXCEPTION_INFORMATION exception, PVOID userStreams,
                                   PVOID callback);
