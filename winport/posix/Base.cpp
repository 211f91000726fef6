// Linux only: the kernel32 subset of WinBase.h that needs no machine: errors, time, ids,
// critical sections, handles, the local heap, debugger output and the console.
#include "winport/WinBase.h"

#include "winport/WinFile.h"
#include "winport/WinMachine.h"
#include "winport/WinString.h"
#include "winport/fleet/BeneathOpen.h"
#include "winport/posix/PosixSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <mutex>
#include <new>
#include <pthread.h>
#include <unordered_map>

namespace winport::posix
{

const std::string& ProgramHostPath()
{
    static const std::string s_Path = []
    {
        char path[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
        return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
    }();
    return s_Path;
}

DWORD ErrnoToWin32(int error)
{
    switch (error)
    {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EBUSY:
    case ETXTBSY:
        return ERROR_SHARING_VIOLATION;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EXDEV:
        return ERROR_NOT_SAME_DEVICE;
    case ELOOP:
        return ERROR_CANT_RESOLVE_FILENAME;
    case EPIPE:
        return ERROR_BROKEN_PIPE;
    case ETIMEDOUT:
        return ERROR_TIMEOUT;
    case ECONNREFUSED:
        return ERROR_CONNECTION_REFUSED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

bool WriteAll(int fd, const void* data, size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0)
    {
        ssize_t n = write(fd, p, size);
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

DWORD MakeDirectories(const std::string& path)
{
    std::string partial;
    size_t pos = 0;
    while (pos <= path.size())
    {
        size_t end = path.find('/', pos);
        if (end == std::string::npos)
            end = path.size();
        partial = path.substr(0, end);
        pos = end + 1;
        if (partial.empty())
            continue;
        if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return ErrnoToWin32(errno);
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return ERROR_PATH_NOT_FOUND;
    return ERROR_SUCCESS;
}

namespace
{

std::mutex s_HandleLock;
std::unordered_map<uintptr_t, std::shared_ptr<CKernelObject>>& HandleTable()
{
    static auto* s_pTable = new std::unordered_map<uintptr_t, std::shared_ptr<CKernelObject>>();
    return *s_pTable;
}
uintptr_t s_NextHandle = 0x100;

class CProcessObject : public CKernelObject
{
public:
    explicit CProcessObject(pid_t pid) : m_Pid(pid) {}
    pid_t m_Pid;
};

} // namespace

HANDLE InsertHandle(std::shared_ptr<CKernelObject> object)
{
    std::lock_guard<std::mutex> guard(s_HandleLock);
    uintptr_t value = s_NextHandle;
    s_NextHandle += 4;
    HandleTable().emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<CKernelObject> LookupHandle(HANDLE handle)
{
    std::lock_guard<std::mutex> guard(s_HandleLock);
    auto it = HandleTable().find(reinterpret_cast<uintptr_t>(handle));
    return it == HandleTable().end() ? nullptr : it->second;
}

bool RemoveHandle(HANDLE handle)
{
    std::shared_ptr<CKernelObject> last; // destroyed outside the lock
    std::lock_guard<std::mutex> guard(s_HandleLock);
    auto it = HandleTable().find(reinterpret_cast<uintptr_t>(handle));
    if (it == HandleTable().end())
        return false;
    last = std::move(it->second);
    HandleTable().erase(it);
    return true;
}

} // namespace winport::posix

using namespace winport;

// ---- Last error, time, identity -----------------------------------------------------------

namespace
{
thread_local DWORD t_LastError = ERROR_SUCCESS;

void FillSystemTime(const struct tm& t, long nanoseconds, LPSYSTEMTIME out)
{
    out->wYear = static_cast<WORD>(t.tm_year + 1900);
    out->wMonth = static_cast<WORD>(t.tm_mon + 1);
    out->wDayOfWeek = static_cast<WORD>(t.tm_wday);
    out->wDay = static_cast<WORD>(t.tm_mday);
    out->wHour = static_cast<WORD>(t.tm_hour);
    out->wMinute = static_cast<WORD>(t.tm_min);
    out->wSecond = static_cast<WORD>(t.tm_sec);
    out->wMilliseconds = static_cast<WORD>(nanoseconds / 1000000);
}
} // namespace

DWORD GetLastError()
{
    return t_LastError;
}
void SetLastError(DWORD code)
{
    t_LastError = code;
}

void GetLocalTime(LPSYSTEMTIME time)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm t;
    localtime_r(&now.tv_sec, &t);
    FillSystemTime(t, now.tv_nsec, time);
}

void GetSystemTime(LPSYSTEMTIME time)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm t;
    gmtime_r(&now.tv_sec, &t);
    FillSystemTime(t, now.tv_nsec, time);
}

ULONGLONG GetTickCount64()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<ULONGLONG>(now.tv_sec) * 1000u +
           static_cast<ULONGLONG>(now.tv_nsec) / 1000000u;
}

DWORD GetTickCount()
{
    return static_cast<DWORD>(GetTickCount64());
}

void Sleep(DWORD milliseconds)
{
    if (milliseconds == INFINITE)
    {
        for (;;)
            pause();
    }
    struct timespec span;
    span.tv_sec = milliseconds / 1000;
    span.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&span, &span) != 0 && errno == EINTR)
    {
    }
}

namespace
{
// The process id, asked of the kernel once per process (a forked child asks again).
std::atomic<DWORD> s_ProcessId{0};
thread_local DWORD t_ThreadId = 0;
// In a forked child the one thread left has a new id too.
void ForgetProcessId()
{
    s_ProcessId.store(0, std::memory_order_relaxed);
    t_ThreadId = 0;
}
} // namespace

DWORD GetCurrentProcessId()
{
    DWORD id = s_ProcessId.load(std::memory_order_relaxed);
    if (id == 0)
    {
        static const int s_Registered = pthread_atfork(nullptr, nullptr, ForgetProcessId);
        (void)s_Registered;
        id = static_cast<DWORD>(getpid());
        s_ProcessId.store(id, std::memory_order_relaxed);
    }
    return id;
}

DWORD GetCurrentThreadId()
{
    if (t_ThreadId == 0)
    {
        GetCurrentProcessId(); // registers the fork handler
        t_ThreadId = static_cast<DWORD>(syscall(SYS_gettid));
    }
    return t_ThreadId;
}

HANDLE GetCurrentProcess()
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}
HANDLE GetCurrentThread()
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));
}

// ---- Critical sections ---------------------------------------------------------------------

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::Opaque));

namespace
{
pthread_mutex_t* MutexOf(LPCRITICAL_SECTION cs)
{
    return reinterpret_cast<pthread_mutex_t*>(cs->Opaque);
}
} // namespace

void InitializeCriticalSection(LPCRITICAL_SECTION cs)
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(MutexOf(cs), &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void DeleteCriticalSection(LPCRITICAL_SECTION cs)
{
    pthread_mutex_destroy(MutexOf(cs));
}
void EnterCriticalSection(LPCRITICAL_SECTION cs)
{
    pthread_mutex_lock(MutexOf(cs));
}
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs)
{
    return pthread_mutex_trylock(MutexOf(cs)) == 0;
}
void LeaveCriticalSection(LPCRITICAL_SECTION cs)
{
    pthread_mutex_unlock(MutexOf(cs));
}

// ---- Handles -------------------------------------------------------------------------------

namespace
{
bool IsPseudoHandle(HANDLE h)
{
    return h == GetCurrentProcess() || h == GetCurrentThread();
}
bool IsConsoleHandle(HANDLE h);
} // namespace

BOOL CloseHandle(HANDLE handle)
{
    if (IsPseudoHandle(handle) || IsConsoleHandle(handle))
        return TRUE;
    if (!posix::RemoveHandle(handle))
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, LPHANDLE target,
                     DWORD access, BOOL inherit, DWORD options)
{
    // Only handles of this process exist so far; other processes' handles come with the
    // machine server.
    if (sourceProcess != GetCurrentProcess() || targetProcess != GetCurrentProcess() ||
        target == nullptr)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::shared_ptr<posix::CKernelObject> object;
    if (source == GetCurrentProcess())
        object = std::make_shared<posix::CProcessObject>(getpid());
    else
        object = posix::LookupHandle(source);
    if (object)
        object = object->Duplicate(object, access, (options & DUPLICATE_SAME_ACCESS) != 0);
    if (!object)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *target = posix::InsertHandle(std::move(object));
    if ((options & DUPLICATE_CLOSE_SOURCE) != 0 && !IsPseudoHandle(source))
        posix::RemoveHandle(source);
    return TRUE;
}

// ---- Local heap ----------------------------------------------------------------------------

namespace
{
// Blocks carry their size in front; blocks above 2 GiB are refused as on the 32-bit programs.
constexpr size_t kHeader = 16;
constexpr SIZE_T kLargestBlock = 0x7FFFFFFF;
SIZE_T& SizeOf(void* block)
{
    return *reinterpret_cast<SIZE_T*>(static_cast<char*>(block) - kHeader);
}
} // namespace

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes)
{
    if (bytes > kLargestBlock)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    char* raw = static_cast<char*>((flags & LMEM_ZEROINIT) ? calloc(1, kHeader + bytes)
                                                           : malloc(kHeader + bytes));
    if (raw == nullptr)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    *reinterpret_cast<SIZE_T*>(raw) = bytes;
    return raw + kHeader;
}

HLOCAL LocalReAlloc(HLOCAL mem, SIZE_T bytes, UINT flags)
{
    if (mem == nullptr)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    SIZE_T old = SizeOf(mem);
    // A fixed block may shrink in place but cannot grow without moving.
    if (bytes > kLargestBlock || (bytes > old && (flags & LMEM_MOVEABLE) == 0))
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    char* raw = static_cast<char*>(realloc(static_cast<char*>(mem) - kHeader, kHeader + bytes));
    if (raw == nullptr)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    *reinterpret_cast<SIZE_T*>(raw) = bytes;
    if ((flags & LMEM_ZEROINIT) && bytes > old)
        memset(raw + kHeader + old, 0, bytes - old);
    return raw + kHeader;
}

HLOCAL LocalFree(HLOCAL mem)
{
    if (mem != nullptr)
        free(static_cast<char*>(mem) - kHeader);
    return nullptr;
}

SIZE_T LocalSize(HLOCAL mem)
{
    return mem == nullptr ? 0 : SizeOf(mem);
}

// ---- Debugger output and console -------------------------------------------------------------

void OutputDebugStringW(LPCWSTR text)
{
    const char* target = getenv("FLEET_DEBUG_OUTPUT");
    if (target == nullptr || *target == '\0' || text == nullptr)
        return;
    int fd = open(target, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    std::string bytes = winport::ToUtf8(text);
    posix::WriteAll(fd, bytes.data(), bytes.size());
    close(fd);
}

namespace
{
constexpr uintptr_t kConsoleBase = 0xC0;
std::mutex s_ConsoleLock;
WORD s_ConsoleAttributes = FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE;

bool IsConsoleHandle(HANDLE h)
{
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    return v >= kConsoleBase && v <= kConsoleBase + 2;
}

int ConsoleFd(HANDLE h)
{
    return IsConsoleHandle(h) ? static_cast<int>(reinterpret_cast<uintptr_t>(h) - kConsoleBase)
                              : -1;
}
} // namespace

HANDLE GetStdHandle(DWORD which)
{
    switch (which)
    {
    case STD_INPUT_HANDLE:
        return reinterpret_cast<HANDLE>(kConsoleBase + 0);
    case STD_OUTPUT_HANDLE:
        return reinterpret_cast<HANDLE>(kConsoleBase + 1);
    case STD_ERROR_HANDLE:
        return reinterpret_cast<HANDLE>(kConsoleBase + 2);
    default:
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
}

BOOL GetConsoleScreenBufferInfo(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO* info)
{
    int fd = ConsoleFd(console);
    if (fd < 0 || info == nullptr || !isatty(fd))
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(s_ConsoleLock);
    *info = CONSOLE_SCREEN_BUFFER_INFO{};
    info->dwSize = {80, 300};
    info->srWindow = {0, 0, 79, 24};
    info->dwMaximumWindowSize = {80, 25};
    info->wAttributes = s_ConsoleAttributes;
    return TRUE;
}

BOOL SetConsoleTextAttribute(HANDLE console, WORD attributes)
{
    int fd = ConsoleFd(console);
    if (fd < 0 || !isatty(fd))
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Console colours (blue, green, red bits) to ANSI colours (red, green, blue order).
    static const int kAnsi[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    int foreground = kAnsi[attributes & 7] + ((attributes & FOREGROUND_INTENSITY) ? 90 : 30);
    int background =
        kAnsi[(attributes >> 4) & 7] + ((attributes & BACKGROUND_INTENSITY) ? 100 : 40);
    char sequence[32];
    int n = (attributes == (FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE))
                ? snprintf(sequence, sizeof sequence, "\033[0m")
                : snprintf(sequence, sizeof sequence, "\033[0;%d;%dm", foreground, background);
    std::lock_guard<std::mutex> guard(s_ConsoleLock);
    s_ConsoleAttributes = attributes;
    return posix::WriteAll(fd, sequence, static_cast<size_t>(n)) ? TRUE : FALSE;
}

BOOL WriteConsoleW(HANDLE console, const void* buffer, DWORD chars, LPDWORD written, LPVOID)
{
    int fd = ConsoleFd(console);
    if (fd < 0 || buffer == nullptr || !isatty(fd))
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::string bytes = winport::ToUtf8(std::wstring(static_cast<const wchar_t*>(buffer), chars));
    if (!posix::WriteAll(fd, bytes.data(), bytes.size()))
    {
        SetLastError(posix::ErrnoToWin32(errno));
        return FALSE;
    }
    if (written != nullptr)
        *written = chars;
    return TRUE;
}
