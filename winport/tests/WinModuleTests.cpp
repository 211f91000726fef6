// Loading libraries by their Windows names: search order, reference counts, exports, errors,
// and the files-in-use rule for a loaded library.
#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinModule.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <climits>
#include <string>
#include <thread>
#include <vector>

namespace
{

using TNext = int (*)();
using TAdd = int (*)(int, int);

DWORD Error()
{
    return GetLastError();
}

// The call fails (0 or NULL) and says why.
#define EXPECT_FAILS_WITH(call, code)                                                              \
    do                                                                                             \
    {                                                                                              \
        SetLastError(0);                                                                           \
        EXPECT_FALSE(static_cast<bool>(call));                                                     \
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(code));                                       \
    } while (false)

std::wstring ModulePath(HMODULE module)
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
    return std::wstring(path, n < MAX_PATH ? n : 0);
}

// The Windows folder of the test binary, where the test library is built.
std::wstring ProgramFolder()
{
    std::wstring self = ModulePath(nullptr);
    return self.substr(0, self.rfind(L'\\'));
}

// A copy of the test library (or other bytes) at a Windows path of the machine, its folder made.
void Place(const std::wstring& target, const std::string* bytes = nullptr)
{
    std::wstring folder = target.substr(0, target.rfind(L'\\'));
    for (size_t at = folder.find(L'\\', 3);; at = folder.find(L'\\', at + 1))
    {
        CreateDirectoryW(folder.substr(0, at).c_str(), nullptr);
        if (at == std::wstring::npos)
            break;
    }
    if (bytes != nullptr)
        testsupport::WriteHostFile(testsupport::HostPath(target), *bytes);
    else
        ASSERT_TRUE(
            CopyFileW((ProgramFolder() + L"\\testmodule.dll").c_str(), target.c_str(), FALSE))
            << Error();
}

} // namespace

TEST(WinModule, LoadsByNameCountsReferencesAndUnloadsWithTheLast)
{
    EXPECT_FAILS_WITH(GetModuleHandleW(L"testmodule.dll"), ERROR_MOD_NOT_FOUND);

    // Without an extension ".dll" is added; names compare without regard to case.
    HMODULE first = LoadLibraryW(L"testmodule");
    ASSERT_NE(first, nullptr) << Error();
    EXPECT_EQ(LoadLibraryW(L"TESTMODULE.DLL"), first);
    EXPECT_EQ(GetModuleHandleW(L"TestModule"), first);
    EXPECT_EQ(ModulePath(first), ProgramFolder() + L"\\testmodule.dll");
    EXPECT_EQ(GetModuleHandleW(ModulePath(first).c_str()), first);

    auto next = reinterpret_cast<TNext>(GetProcAddress(first, "TestModuleNext"));
    auto add = reinterpret_cast<TAdd>(GetProcAddress(first, "TestModuleAdd"));
    ASSERT_NE(next, nullptr);
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(add(2, 3), 5);
    EXPECT_EQ(next(), 1);
    EXPECT_EQ(next(), 2);
    // Only its own exports: not a missing name, not what its dependencies export, no ordinals.
    for (LPCSTR name : {"NoSuchExport", "malloc", reinterpret_cast<LPCSTR>(1)})
    {
        EXPECT_FAILS_WITH(GetProcAddress(first, name), ERROR_PROC_NOT_FOUND);
    }

    // Two loads, two frees: the first free keeps it loaded, the second unloads it.
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_EQ(GetModuleHandleW(L"testmodule.dll"), first);
    EXPECT_EQ(next(), 3);
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_FAILS_WITH(GetModuleHandleW(L"testmodule.dll"), ERROR_MOD_NOT_FOUND);
    EXPECT_FAILS_WITH(FreeLibrary(first), ERROR_INVALID_HANDLE);
    EXPECT_FAILS_WITH(GetProcAddress(first, "TestModuleNext"), ERROR_INVALID_HANDLE);
    wchar_t path[MAX_PATH];
    EXPECT_EQ(GetModuleFileNameW(first, path, MAX_PATH), 0u);

    // Loaded afresh, its state starts over: it really was unloaded.
    HMODULE again = LoadLibraryExW(L"testmodule.dll", nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    ASSERT_NE(again, nullptr) << Error();
    next = reinterpret_cast<TNext>(GetProcAddress(again, "TestModuleNext"));
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next(), 1);
    EXPECT_TRUE(FreeLibrary(again));
}

TEST(WinModule, KnowsTheProgramAndTheLibrariesItIsLinkedWith)
{
    HMODULE program = GetModuleHandleW(nullptr);
    ASSERT_NE(program, nullptr);
    EXPECT_EQ(ModulePath(program), ModulePath(nullptr));
    // A trailing dot means no extension; without it the name would be winport_tests.dll.
    EXPECT_EQ(GetModuleHandleW(L"WINPORT_TESTS."), program);
    EXPECT_EQ(GetModuleHandleW(L"winport_tests"), nullptr);
    EXPECT_EQ(LoadLibraryW((ModulePath(nullptr) + L".").c_str()), program);
    EXPECT_TRUE(FreeLibrary(program));

    HMODULE kit = GetModuleHandleW(L"FleetKit.dll");
    ASSERT_NE(kit, nullptr) << Error();
    EXPECT_NE(kit, program);
    EXPECT_EQ(ModulePath(kit), ProgramFolder() + L"\\fleetkit.dll");
    // Freeing a reference taken on a library the program links with leaves it loaded.
    EXPECT_EQ(LoadLibraryW(L"fleetkit"), kit);
    EXPECT_TRUE(FreeLibrary(kit));
    EXPECT_TRUE(FreeLibrary(kit));
    EXPECT_EQ(GetModuleHandleW(L"fleetkit.dll"), kit);
}

TEST(WinModule, SearchesTheWindowsOrder)
{
    // System32 comes before the Windows folder.
    Place(L"C:\\Windows\\System32\\SysOrder.dll");
    Place(L"C:\\Windows\\sysorder.dll");
    HMODULE module = LoadLibraryW(L"sysorder");
    ASSERT_NE(module, nullptr) << Error();
    EXPECT_EQ(ModulePath(module), L"C:\\Windows\\System32\\SysOrder.dll");
    EXPECT_TRUE(FreeLibrary(module));

    // The current folder comes before both.
    Place(L"C:\\ModuleTests\\Current\\sysorder.dll");
    {
        char old[PATH_MAX];
        ASSERT_NE(getcwd(old, sizeof old), nullptr);
        ASSERT_EQ(chdir(testsupport::HostPath(L"C:\\ModuleTests\\Current").c_str()), 0);
        module = LoadLibraryW(L"SYSORDER.dll");
        EXPECT_EQ(chdir(old), 0);
    }
    ASSERT_NE(module, nullptr) << Error();
    EXPECT_EQ(ModulePath(module), L"C:\\ModuleTests\\Current\\sysorder.dll");
    EXPECT_TRUE(FreeLibrary(module));

    // The program's folder comes first of all.
    Place(L"C:\\Windows\\System32\\testmodule.dll");
    module = LoadLibraryW(L"testmodule");
    ASSERT_NE(module, nullptr) << Error();
    EXPECT_EQ(ModulePath(module), ProgramFolder() + L"\\testmodule.dll");
    EXPECT_TRUE(FreeLibrary(module));

    // PATH of the process's Windows environment comes last.
    Place(L"C:\\ModuleTests\\Tools\\pathonly.dll");
    EXPECT_FAILS_WITH(LoadLibraryW(L"pathonly"), ERROR_MOD_NOT_FOUND);
    wchar_t old[4096] = L"";
    GetEnvironmentVariableW(L"PATH", old, 4096);
    ASSERT_TRUE(SetEnvironmentVariableW(
        L"Path", (std::wstring(old) + L";;\"C:\\ModuleTests\\tools\"").c_str()));
    module = LoadLibraryW(L"pathonly");
    ASSERT_TRUE(SetEnvironmentVariableW(L"PATH", old));
    ASSERT_NE(module, nullptr) << Error();
    EXPECT_EQ(ModulePath(module), L"C:\\ModuleTests\\Tools\\pathonly.dll");
    // Once loaded, a name is the loaded module wherever it came from.
    EXPECT_EQ(LoadLibraryW(L"PathOnly.dll"), module);
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(GetModuleHandleW(L"pathonly.dll"), nullptr);

    // A folder of PATH may name variables.
    Place(L"C:\\ModuleTests\\Expanded\\expanded.dll");
    ASSERT_TRUE(SetEnvironmentVariableW(L"ModuleTestsRoot", L"C:\\ModuleTests"));
    ASSERT_TRUE(SetEnvironmentVariableW(
        L"PATH", (std::wstring(old) + L";%ModuleTestsRoot%\\Expanded").c_str()));
    module = LoadLibraryW(L"expanded");
    ASSERT_TRUE(SetEnvironmentVariableW(L"PATH", old));
    ASSERT_NE(module, nullptr) << Error();
    EXPECT_EQ(ModulePath(module), L"C:\\ModuleTests\\Expanded\\expanded.dll");
    EXPECT_TRUE(FreeLibrary(module));
}

TEST(WinModule, RefusesWhatItCannotLoad)
{
    struct SCase
    {
        const wchar_t* name;
        DWORD flags;
        DWORD error;
    };
    const std::string text = "not a library\r\n";
    Place(L"C:\\ModuleTests\\Bad\\notalibrary.dll", &text);
    Place(L"C:\\ModuleTests\\Bad\\good.dll");
    for (const SCase& c : {
             SCase{L"nosuchmodule", 0, ERROR_MOD_NOT_FOUND},
             SCase{L"C:\\ModuleTests\\Missing\\x.dll", 0, ERROR_MOD_NOT_FOUND},
             SCase{L"C:\\ModuleTests\\Bad\\notalibrary.dll", 0, ERROR_BAD_EXE_FORMAT},
             SCase{L"C:\\ModuleTests\\Bad\\notalibrary", 0, ERROR_BAD_EXE_FORMAT},
             SCase{L"C:\\ModuleTests\\Bad\\good.dll", LOAD_LIBRARY_AS_DATAFILE,
                   ERROR_NOT_SUPPORTED},
             SCase{L"C:\\ModuleTests\\Bad\\good.dll", 0x80000000u, ERROR_INVALID_PARAMETER},
             SCase{L"", 0, ERROR_INVALID_PARAMETER},
         })
    {
        SetLastError(0);
        EXPECT_EQ(LoadLibraryExW(c.name, nullptr, c.flags), nullptr) << c.name;
        EXPECT_EQ(Error(), c.error) << c.name;
    }
    EXPECT_EQ(GetModuleHandleW(L"good.dll"), nullptr);
    EXPECT_FAILS_WITH(LoadLibraryW(nullptr), ERROR_INVALID_PARAMETER);

    int bogus = 0;
    for (HMODULE module : {static_cast<HMODULE>(nullptr), static_cast<HMODULE>(&bogus)})
    {
        EXPECT_FAILS_WITH(FreeLibrary(module), ERROR_INVALID_HANDLE);
        EXPECT_FAILS_WITH(GetProcAddress(module, "TestModuleNext"), ERROR_INVALID_HANDLE);
    }
    wchar_t path[MAX_PATH];
    EXPECT_FAILS_WITH(GetModuleFileNameW(reinterpret_cast<HMODULE>(&bogus), path, MAX_PATH),
                      ERROR_MOD_NOT_FOUND);
}

TEST(WinModule, LoadedLibraryIsInUseUntilFreed)
{
    const std::wstring loaded = L"C:\\ModuleTests\\InUse\\inuse.dll";
    const std::wstring aside = L"C:\\ModuleTests\\InUse\\inuse.old";
    const std::wstring other = L"C:\\ModuleTests\\InUse\\other.dll";
    const std::string bytes = "replacement";
    Place(loaded);
    Place(other, &bytes);
    HMODULE module = LoadLibraryW(L"c:\\moduletests\\inuse\\INUSE.DLL");
    ASSERT_NE(module, nullptr) << Error();
    EXPECT_EQ(ModulePath(module), loaded);

    EXPECT_FAILS_WITH(CopyFileW(other.c_str(), loaded.c_str(), FALSE), ERROR_SHARING_VIOLATION);
    EXPECT_FAILS_WITH(DeleteFileW(loaded.c_str()), ERROR_SHARING_VIOLATION);
    // Renaming works, and the module keeps its name.
    EXPECT_TRUE(MoveFileW(loaded.c_str(), aside.c_str())) << Error();
    EXPECT_EQ(ModulePath(module), loaded);
    EXPECT_EQ(GetModuleHandleW(L"inuse.dll"), module);
    EXPECT_FAILS_WITH(CopyFileW(other.c_str(), aside.c_str(), FALSE), ERROR_SHARING_VIOLATION);

    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_TRUE(CopyFileW(other.c_str(), aside.c_str(), FALSE)) << Error();
    EXPECT_EQ(testsupport::ReadHostFile(testsupport::HostPath(aside)), bytes);
    EXPECT_TRUE(DeleteFileW(aside.c_str())) << Error();
}

TEST(WinModule, ThreadsLoadAndFreeTogether)
{
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
    {
        threads.emplace_back(
            [&failures]
            {
                for (int i = 0; i < 100; ++i)
                {
                    HMODULE module = LoadLibraryW(L"testmodule.dll");
                    auto add = reinterpret_cast<TAdd>(GetProcAddress(module, "TestModuleAdd"));
                    if (module == nullptr || add == nullptr || add(i, 1) != i + 1 ||
                        !FreeLibrary(module))
                        ++failures;
                }
            });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(GetModuleHandleW(L"testmodule.dll"), nullptr);
}
