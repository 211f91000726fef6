#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"
#include "winport/WinReg.h"
#include "winport/WinString.h"

#include <gtest/gtest.h>

#include <cwchar>

TEST(Registry, SetQueryEnumerateDelete)
{
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\FleetTest\\Sub", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    const wchar_t text[] = L"h\u00e9llo";
    ASSERT_EQ(RegSetValueExW(key, L"Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text), ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExW(key, L"NAME", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, sizeof text);
    wchar_t small[2];
    DWORD smallSize = sizeof small;
    EXPECT_EQ(RegQueryValueExW(key, L"name", nullptr, &type, reinterpret_cast<BYTE*>(small), &smallSize), ERROR_MORE_DATA);
    EXPECT_EQ(smallSize, sizeof text);
    wchar_t back[16] = {};
    DWORD backSize = sizeof back;
    ASSERT_EQ(RegQueryValueExW(key, L"name", nullptr, &type, reinterpret_cast<BYTE*>(back), &backSize), ERROR_SUCCESS);
    EXPECT_STREQ(back, text);
    EXPECT_EQ(RegQueryValueExW(key, L"missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    HKEY parent = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"software\\fleettest", 0, KEY_READ, &parent), ERROR_SUCCESS);
    wchar_t name[64];
    DWORD length = 64;
    ASSERT_EQ(RegEnumKeyExW(parent, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, L"Sub");
    length = 64;
    EXPECT_EQ(RegEnumKeyExW(parent, 1, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\FleetTest"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegSetValueExW(parent, L"x", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(parent, L"Sub"), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(key, L"name", nullptr, &type, nullptr, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(parent), ERROR_SUCCESS);
}

TEST(Registry, MachineFactsAndEnvironment)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    wchar_t value[64] = {};
    DWORD size = sizeof value, type = 0;
    ASSERT_EQ(RegQueryValueExW(key, L"PROCESSOR_ARCHITECTURE", nullptr, &type, reinterpret_cast<BYTE*>(value), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(value, L"x86");
    RegCloseKey(key);
    wchar_t expanded[MAX_PATH];
    ExpandEnvironmentStringsW(L"%TEMP%|%ComSpec%", expanded, MAX_PATH);
    EXPECT_STREQ(expanded, L"C:\\Windows\\Temp|C:\\Windows\\system32\\cmd.exe");
}
