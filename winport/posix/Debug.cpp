// Linux only: unhandled exceptions are the crash signals, caught on the crashing thread.
#include "winport/WinDebug.h"

#include <signal.h>

#include <atomic>
#include <cstring>

namespace
{

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

std::atomic<LPTOP_LEVEL_EXCEPTION_FILTER> s_Filter{nullptr};

DWORD CodeOf(int signal)
{
    switch (signal)
    {
    case SIGSEGV:
        return EXCEPTION_ACCESS_VIOLATION;
    case SIGBUS:
        return EXCEPTION_IN_PAGE_ERROR;
    case SIGFPE:
        return EXCEPTION_INT_DIVIDE_BY_ZERO;
    case SIGILL:
        return EXCEPTION_ILLEGAL_INSTRUCTION;
    default:
        return STATUS_FATAL_APP_EXIT;
    }
}

void OnCrash(int signal, siginfo_t* info, void* context)
{
    // Installed with SA_RESETHAND: a crash inside the filter ends the process plainly.
    EXCEPTION_RECORD record;
    std::memset(&record, 0, sizeof(record));
    record.ExceptionCode = CodeOf(signal);
    record.ExceptionAddress = info != nullptr ? info->si_addr : nullptr;
    if (signal == SIGSEGV && info != nullptr)
    {
        record.NumberParameters = 2;
        record.ExceptionInformation[1] = reinterpret_cast<ULONG_PTR>(info->si_addr);
    }
    EXCEPTION_POINTERS pointers{&record, context};
    if (LPTOP_LEVEL_EXCEPTION_FILTER filter = s_Filter.load())
        filter(&pointers);
    struct sigaction plain;
    std::memset(&plain, 0, sizeof(plain));
    plain.sa_handler = SIG_DFL;
    sigaction(signal, &plain, nullptr);
    raise(signal);
}

} // namespace

LPTOP_LEVEL_EXCEPTION_FILTER SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter)
{
    LPTOP_LEVEL_EXCEPTION_FILTER previous = s_Filter.exchange(filter);
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    sigemptyset(&action.sa_mask);
    if (filter != nullptr)
    {
        action.sa_sigaction = OnCrash;
        action.sa_flags = SA_SIGINFO | SA_RESETHAND;
    }
    else
        action.sa_handler = SIG_DFL;
    for (int signal : kCrashSignals)
        sigaction(signal, &action, nullptr);
    return previous;
}
