// The kernel32 subset: environment, temporary files, system messages, handles, the local
// heap, critical sections, time and the console.
#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinMachine.h"
#include "winport/WinString.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace
{

std::wstring Expand(const wchar_t* text)
{
    DWORD needed = ExpandEnvironmentStringsW(text, nullptr, 0);
    std::wstring out(needed, L'#');
    EXPECT_EQ(ExpandEnvironmentStringsW(text, out.data(), needed), needed);
    EXPECT_EQ(out.back(), L'\0');
    out.pop_back();
    return out;
}

std::wstring Variable(const wchar_t* name)
{
    wchar_t buffer[256];
    DWORD n = GetEnvironmentVariableW(name, buffer, 256);
    return n == 0 ? L"<none>" : std::wstring(buffer, n);
}

// Moves a descriptor of this process onto another for a while, and back.
class CRedirect
{
public:
    CRedirect(int replacement, int target) : m_Target(target)
    {
        fflush(nullptr);
        m_Saved = dup(target);
        EXPECT_GE(dup2(replacement, target), 0);
    }
    ~CRedirect()
    {
        fflush(nullptr);
        dup2(m_Saved, m_Target);
        close(m_Saved);
    }

private:
    int m_Target;
    int m_Saved;
};

// What the other end of a terminal has received so far (waits briefly for the first bytes).
std::string Drain(int master)
{
    std::string text;
    pollfd p = {master, POLLIN, 0};
    while (poll(&p, 1, text.empty() ? 2000 : 100) > 0)
    {
        char buffer[256];
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

} // namespace

TEST(WinEnvironment, ExpandAndVariables)
{
    EXPECT_EQ(Expand(L"%SystemRoot%\\system32"), L"C:\\Windows\\system32");
    EXPECT_EQ(Expand(L"%systemroot%|%WINDIR%"), L"C:\\Windows|C:\\Windows");
    EXPECT_EQ(Expand(L"%NO_SUCH_NAME%\\x"), L"%NO_SUCH_NAME%\\x");
    EXPECT_EQ(Expand(L"100% sure"), L"100% sure");
    EXPECT_EQ(Expand(L"%"), L"%");
    EXPECT_EQ(Expand(L"%%"), L"%%");
    EXPECT_EQ(Expand(L"a%%SystemRoot%"), L"a%C:\\Windows");
    EXPECT_EQ(Expand(L""), L"");

    // The size protocol: the size needed, terminator included, whether or not it fit.
    EXPECT_EQ(ExpandEnvironmentStringsW(L"%SystemRoot%", nullptr, 0), 11u);
    wchar_t small[10];
    wmemset(small, L'#', 10);
    EXPECT_EQ(ExpandEnvironmentStringsW(L"%SystemRoot%", small, 10), 11u);
    wchar_t fits[11];
    EXPECT_EQ(ExpandEnvironmentStringsW(L"%SystemRoot%", fits, 11), 11u);
    EXPECT_EQ(std::wstring(fits), L"C:\\Windows");

    EXPECT_EQ(Variable(L"SYSTEMROOT"), L"C:\\Windows");
    std::wstring computer = winport::FromUtf8(winport::fleet::CurrentMachine().name);
    EXPECT_TRUE(winport::fleet::NamesEqual(Variable(L"computername"), computer));
    // GetEnvironmentVariableW: the length when it fits, else the size needed.
    wchar_t exact[11];
    EXPECT_EQ(GetEnvironmentVariableW(L"SystemRoot", exact, 10), 11u);
    EXPECT_EQ(GetEnvironmentVariableW(L"SystemRoot", exact, 11), 10u);
    EXPECT_EQ(GetEnvironmentVariableW(L"SystemRoot", nullptr, 0), 11u);
    SetLastError(0);
    EXPECT_EQ(GetEnvironmentVariableW(L"WINPORT_UNSET", exact, 11), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));

    ASSERT_TRUE(SetEnvironmentVariableW(L"Winport_Test", L"one"));
    EXPECT_EQ(Variable(L"WINPORT_TEST"), L"one");
    ASSERT_TRUE(SetEnvironmentVariableW(L"WINPORT_TEST", L"two %SystemRoot%"));
    EXPECT_EQ(Expand(L"[%winport_test%]"), L"[two %SystemRoot%]"); // one level only
    ASSERT_TRUE(SetEnvironmentVariableW(L"winport_test", nullptr));
    EXPECT_EQ(Variable(L"Winport_Test"), L"<none>");
    EXPECT_EQ(Expand(L"%WINPORT_TEST%"), L"%WINPORT_TEST%");
    SetLastError(0);
    EXPECT_FALSE(SetEnvironmentVariableW(L"A=B", L"x"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SetEnvironmentVariableW(L"", L"x"));
}

TEST(WinTempFiles, TempPathAndUniqueNames)
{
    wchar_t temp[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, temp);
    EXPECT_EQ(std::wstring(temp, n), L"C:\\Windows\\Temp\\");
    EXPECT_EQ(GetTempPathW(0, nullptr), n + 1);
    wchar_t tiny[4] = {L'#'};
    EXPECT_EQ(GetTempPathW(4, tiny), n + 1);
    EXPECT_EQ(tiny[0], L'#');

    wchar_t first[MAX_PATH], second[MAX_PATH];
    UINT a = GetTempFileNameW(L"C:\\Windows\\Temp", L"abcdef", 0, first);
    UINT b = GetTempFileNameW(L"C:\\Windows\\Temp\\", L"abcdef", 0, second);
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    EXPECT_NE(std::wstring(first), std::wstring(second));
    for (const wchar_t* name : {first, second})
    {
        std::wstring text = name;
        EXPECT_EQ(text.rfind(L"C:\\Windows\\Temp\\abc", 0), 0u) << winport::ToUtf8(text);
        EXPECT_NE(text.substr(19, 3), L"def"); // the prefix is cut to three characters
        EXPECT_EQ(text.substr(text.size() - 4), L".tmp");
        struct stat st;
        ASSERT_EQ(stat(testsupport::HostPath(text).c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 0);
    }
    EXPECT_EQ(std::wstring(first), L"C:\\Windows\\Temp\\abc" + winport::Format(L"%X", a) + L".tmp");

    // A given number is used as it is, upper-case hex, and nothing is created.
    wchar_t given[MAX_PATH];
    EXPECT_EQ(GetTempFileNameW(L"C:\\Windows\\Temp", L"xy", 0xABCD, given), 0xABCDu);
    EXPECT_EQ(std::wstring(given), L"C:\\Windows\\Temp\\xyABCD.tmp");
    EXPECT_EQ(GetFileAttributesW(given), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetTempFileNameW(L"C:\\Windows\\Temp", nullptr, 0, given), 0u);
    EXPECT_NE(GetFileAttributesW(given), INVALID_FILE_ATTRIBUTES);

    SetLastError(0);
    EXPECT_EQ(GetTempFileNameW(L"C:\\NoSuchFolder", L"t", 0, given), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
    std::wstring longFolder = L"C:\\" + std::wstring(250, L'L');
    EXPECT_EQ(GetTempFileNameW(longFolder.c_str(), L"t", 1, given), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUFFER_OVERFLOW));
}

TEST(WinMessages, SystemTextsEndInCrLf)
{
    LPWSTR text = nullptr;
    DWORD flags =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    DWORD n = FormatMessageW(flags, nullptr, ERROR_FILE_NOT_FOUND, 0,
                             reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::wstring(text, n), L"The system cannot find the file specified.\r\n");
    EXPECT_EQ(wcslen(text), n);
    EXPECT_GE(LocalSize(text), (n + 1) * sizeof(wchar_t));
    EXPECT_EQ(LocalFree(text), nullptr);

    text = nullptr;
    SetLastError(0);
    EXPECT_EQ(
        FormatMessageW(flags, nullptr, 0x1234567, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr),
        0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
    EXPECT_EQ(text, nullptr);

    // A caller's buffer: too small fails, large enough gets the text.
    wchar_t buffer[64];
    SetLastError(0);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, buffer, 10, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, buffer, 64, nullptr), 19u);
    EXPECT_EQ(std::wstring(buffer), L"Access is denied.\r\n");
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_IGNORE_INSERTS, L"keep %1",
                             0, 0, buffer, 64, nullptr),
              7u);
    EXPECT_EQ(std::wstring(buffer), L"keep %1");
}

TEST(WinHandles, DuplicatesAreRealAndCloseOnce)
{
    HANDLE first = nullptr, second = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(),
                                &first, 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_NE(first, GetCurrentProcess());
    EXPECT_NE(first, nullptr);
    EXPECT_NE(first, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), first, GetCurrentProcess(), &second, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    EXPECT_NE(first, second);

    EXPECT_TRUE(CloseHandle(first));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(first));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    // The duplicate outlives the handle it came from.
    HANDLE third = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), second, GetCurrentProcess(), &third, 0, FALSE,
                                DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE));
    EXPECT_FALSE(CloseHandle(second)); // closed by the duplication
    EXPECT_TRUE(CloseHandle(third));

    SetLastError(0);
    EXPECT_FALSE(
        DuplicateHandle(GetCurrentProcess(), first, GetCurrentProcess(), &third, 0, FALSE, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x7654320)));
    EXPECT_TRUE(CloseHandle(GetCurrentProcess())); // pseudo handles need no closing
    EXPECT_EQ(GetCurrentProcess(), reinterpret_cast<HANDLE>(-1));
    EXPECT_EQ(GetCurrentThread(), reinterpret_cast<HANDLE>(-2));
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
}

TEST(WinHandles, ConcurrentDuplicatesAreDistinctAndCloseOnce)
{
    constexpr int kThreads = 4;
    constexpr int kEach = 500;
    std::vector<std::vector<HANDLE>> made(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back(
            [&made, t]
            {
                for (int i = 0; i < kEach; ++i)
                {
                    HANDLE h = nullptr;
                    if (DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(),
                                        GetCurrentProcess(), &h, 0, FALSE, DUPLICATE_SAME_ACCESS))
                        made[t].push_back(h);
                }
            });
    }
    for (auto& thread : threads)
        thread.join();
    std::set<HANDLE> distinct;
    for (const auto& list : made)
    {
        EXPECT_EQ(list.size(), static_cast<size_t>(kEach));
        distinct.insert(list.begin(), list.end());
    }
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads * kEach));
    // Every thread closes its own handles and then tries the others' once more: each handle
    // closes exactly once.
    std::atomic<int> closed{0};
    threads.clear();
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back(
            [&, t]
            {
                for (int k = 0; k < kThreads; ++k)
                {
                    for (HANDLE h : made[(t + k) % kThreads])
                        closed += CloseHandle(h) ? 1 : 0;
                }
            });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(closed, kThreads * kEach);
}

TEST(WinLocalHeap, AllocGrowShrinkAndLimits)
{
    auto* block = static_cast<unsigned char*>(LocalAlloc(LPTR, 100));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(LocalSize(block), 100u);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(block[i], 0) << i;
    memset(block, 0xAB, 100);

    auto* grown =
        static_cast<unsigned char*>(LocalReAlloc(block, 5000, LMEM_MOVEABLE | LMEM_ZEROINIT));
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(LocalSize(grown), 5000u);
    for (int i = 0; i < 5000; ++i)
        ASSERT_EQ(grown[i], i < 100 ? 0xAB : 0) << i;

    // A fixed block does not grow in place; it stays as it was.
    SetLastError(0);
    EXPECT_EQ(LocalReAlloc(grown, 6000, LMEM_FIXED), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(LocalSize(grown), 5000u);
    EXPECT_EQ(grown[99], 0xAB);
    auto* shrunk = static_cast<unsigned char*>(LocalReAlloc(grown, 10, LMEM_FIXED));
    ASSERT_NE(shrunk, nullptr);
    EXPECT_EQ(LocalSize(shrunk), 10u);
    EXPECT_EQ(shrunk[9], 0xAB);

    SetLastError(0);
    EXPECT_EQ(LocalReAlloc(shrunk, static_cast<SIZE_T>(3) << 30, LMEM_MOVEABLE), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(LocalSize(shrunk), 10u);
    EXPECT_EQ(LocalFree(shrunk), nullptr);

    SetLastError(0);
    EXPECT_EQ(LocalAlloc(LMEM_FIXED, (static_cast<SIZE_T>(1) << 31) + 1), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(LocalAlloc(LMEM_FIXED, SIZE_MAX), nullptr);
    HLOCAL empty = LocalAlloc(LMEM_FIXED, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(LocalSize(empty), 0u);
    EXPECT_EQ(LocalFree(empty), nullptr);
    EXPECT_EQ(LocalFree(nullptr), nullptr);
    EXPECT_EQ(LocalReAlloc(nullptr, 10, LMEM_MOVEABLE), nullptr);
}

TEST(WinSync, CriticalSectionsAreRecursiveAndExclusive)
{
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs));
    std::atomic<int> otherGot{-1};
    std::thread(
        [&]
        {
            otherGot = TryEnterCriticalSection(&cs);
            if (otherGot)
                LeaveCriticalSection(&cs);
        })
        .join();
    EXPECT_EQ(otherGot, FALSE);
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    std::thread(
        [&]
        {
            otherGot = TryEnterCriticalSection(&cs);
            if (otherGot)
                LeaveCriticalSection(&cs);
        })
        .join();
    EXPECT_EQ(otherGot, FALSE); // still held once
    LeaveCriticalSection(&cs);

    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
    {
        threads.emplace_back(
            [&]
            {
                for (int i = 0; i < 20000; ++i)
                {
                    EnterCriticalSection(&cs);
                    EnterCriticalSection(&cs);
                    long seen = counter;
                    counter = seen + 1;
                    LeaveCriticalSection(&cs);
                    LeaveCriticalSection(&cs);
                }
            });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(counter, 80000);
    DeleteCriticalSection(&cs);
}

TEST(WinTime, TicksAdvanceAndLocalTimeIsPlausible)
{
    ULONGLONG before = GetTickCount64();
    DWORD before32 = GetTickCount();
    Sleep(30);
    ULONGLONG after = GetTickCount64();
    EXPECT_GE(after - before, 30u);
    EXPECT_GE(static_cast<DWORD>(GetTickCount() - before32), 30u);
    ULONGLONG last = GetTickCount64();
    for (int i = 0; i < 10000; ++i)
    {
        ULONGLONG now = GetTickCount64();
        ASSERT_GE(now, last);
        last = now;
    }

    SYSTEMTIME local{}, utc{};
    GetLocalTime(&local);
    GetSystemTime(&utc);
    EXPECT_GE(local.wYear, 2024);
    EXPECT_GE(local.wMonth, 1);
    EXPECT_LE(local.wMonth, 12);
    EXPECT_GE(local.wDay, 1);
    EXPECT_LE(local.wDay, 31);
    EXPECT_LT(local.wHour, 24);
    EXPECT_LT(local.wMinute, 60);
    EXPECT_LT(local.wSecond, 61);
    EXPECT_LT(local.wMilliseconds, 1000);
    // The day of the week belongs to the date (0 is Sunday).
    using namespace std::chrono;
    year_month_day date{year{utc.wYear}, month{utc.wMonth}, day{utc.wDay}};
    ASSERT_TRUE(date.ok());
    EXPECT_EQ(utc.wDayOfWeek, weekday{sys_days{date}}.c_encoding());
    // UTC is today's date as the system clock has it.
    auto today = year_month_day{floor<days>(system_clock::now())};
    EXPECT_LE(std::abs((sys_days{today} - sys_days{date}).count()), 1);
}

TEST(WinConsole, AttributesBecomeAnsiSequencesOnATerminal)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    {
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        ASSERT_GE(null, 0);
        CRedirect redirect(null, 1);
        close(null);
        SetLastError(0);
        EXPECT_FALSE(GetConsoleScreenBufferInfo(out, &info));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(SetConsoleTextAttribute(out, 12));
        DWORD written = 99;
        EXPECT_FALSE(WriteConsoleW(out, L"x", 1, &written, nullptr));
    }

    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    std::string received;
    BOOL gotInfo = FALSE, setRed = FALSE, wrote = FALSE, reset = FALSE;
    DWORD written = 0;
    {
        CRedirect redirect(slave, 1);
        setRed = SetConsoleTextAttribute(out, FOREGROUND_RED | FOREGROUND_INTENSITY);
        gotInfo = GetConsoleScreenBufferInfo(out, &info);
        const wchar_t text[] = L"h\u20ACllo \U0001F600";
        wrote = WriteConsoleW(out, text, 7, &written, nullptr);
        reset = SetConsoleTextAttribute(out, FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE);
    }
    received = Drain(master);
    close(slave);
    close(master);

    EXPECT_TRUE(setRed);
    ASSERT_TRUE(gotInfo);
    EXPECT_EQ(info.wAttributes, FOREGROUND_RED | FOREGROUND_INTENSITY);
    EXPECT_GT(info.dwSize.X, 0);
    EXPECT_TRUE(wrote);
    EXPECT_EQ(written, 7u);
    EXPECT_TRUE(reset);
    // Bright red first, then the text as UTF-8, then back to the default colours.
    size_t red = received.find("\033[");
    ASSERT_NE(red, std::string::npos) << received;
    size_t end = received.find('m', red);
    ASSERT_NE(end, std::string::npos);
    std::string sequence = received.substr(red + 2, end - red - 2);
    EXPECT_NE((";" + sequence + ";").find(";91;"), std::string::npos) << sequence;
    size_t body = received.find("h\xE2\x82\xAC"
                                "llo \xF0\x9F\x98\x80");
    EXPECT_EQ(body, end + 1) << received;
    EXPECT_NE(received.find("\033[", end), std::string::npos);
    EXPECT_EQ(received.substr(received.size() - 1), "m");
}
