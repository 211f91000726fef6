// Stand-in for dbghelp.dll: MiniDumpWriteDump writes, in the dump file's place, what a Linux core
// of the crash would tell: the process, the faulting signal and address, the crashing thread and
// its stack.
#include "winport/WinBase.h"
#include "winport/WinDebug.h"
#include "winport/WinFile.h"

#include <execinfo.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{

const char* SignalOf(DWORD code)
{
    switch (code)
    {
    case EXCEPTION_ACCESS_VIOLATION:
        return "SIGSEGV (access violation)";
    case EXCEPTION_IN_PAGE_ERROR:
        return "SIGBUS (in-page error)";
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
        return "SIGFPE (integer divide by zero)";
    case EXCEPTION_ILLEGAL_INSTRUCTION:
        return "SIGILL (illegal instruction)";
    case STATUS_FATAL_APP_EXIT:
        return "SIGABRT (fatal application exit)";
    default:
        return "unknown";
    }
}

bool Write(HANDLE file, const std::string& text)
{
    DWORD written = 0;
    return WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

} // namespace

extern "C" BOOL MiniDumpWriteDump(HANDLE, DWORD processId, HANDLE file, MINIDUMP_TYPE type,
                                  PMINIDUMP_EXCEPTION_INFORMATION exception, PVOID, PVOID)
{
    if (file == nullptr || file == INVALID_HANDLE_VALUE)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    char line[256];
    std::string text = "Process dump (stand-in)\n";
    std::snprintf(line, sizeof(line), "Process: %u\nDump type: 0x%x\n", processId,
                  static_cast<unsigned>(type));
    text += line;
    if (exception != nullptr && exception->ExceptionPointers != nullptr &&
        exception->ExceptionPointers->ExceptionRecord != nullptr)
    {
        const EXCEPTION_RECORD* record = exception->ExceptionPointers->ExceptionRecord;
        std::snprintf(line, sizeof(line), "Signal: %s\nException code: 0x%08X\nAddress: %p\n",
                      SignalOf(record->ExceptionCode), record->ExceptionCode,
                      record->ExceptionAddress);
        text += line;
        std::snprintf(line, sizeof(line), "Thread: %u\n", exception->ThreadId);
        text += line;
    }
    // The stack of the calling thread, which is the crashing one inside the crash filter.
    void* frames[64];
    int count = backtrace(frames, 64);
    text += "Stack:\n";
    if (char** symbols = backtrace_symbols(frames, count))
    {
        for (int i = 0; i < count; ++i)
            text += std::string("  ") + symbols[i] + "\n";
        std::free(symbols);
    }
    return Write(file, text) ? TRUE : FALSE;
}
