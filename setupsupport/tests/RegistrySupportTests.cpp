// Registry actions with rollback: what an install list changes, what its rollback file holds,
// and that a rollback or a failed list leaves the registry exactly as it was.
#include "setupsupport/CFileSupport.h"
#include "setupsupport/CRegistrySupport.h"
#include "testsupport/LogCapture.h"
#include "testsupport/TestSupport.h"
#include "winport/WinFile.h"
#include "winport/WinReg.h"
#include "winport/WinString.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using testsupport::CLogCapture;

namespace
{

const wchar_t kRoot[] = L"SOFTWARE\\RegTest";
const wchar_t kFolder[] = L"C:\\Windows\\Temp\\RegTest";

std::string Narrow(const std::wstring& text)
{
    return winport::ToUtf8(text);
}

// Every key, value, type and datum below a key, one line each, in enumeration order.
void Dump(HKEY root, const std::wstring& path, std::vector<std::wstring>& lines)
{
    CRegKey key;
    if (!key.Open(path, KEY_READ, root))
        return;
    lines.push_back(L"key " + path);
    std::vector<std::wstring> names;
    CRegistrySupport::EnumerateValueName(key.Get(), names);
    for (const std::wstring& name : names)
    {
        DWORD type = CRegistrySupport::ValueType(key.Get(), name);
        std::wstring data;
        CRegistrySupport::ReadValue(key.Get(), name, type, data);
        lines.push_back(L"  " + name + L" " + std::to_wstring(type) + L" " + data);
    }
    std::vector<std::wstring> keys;
    CRegistrySupport::EnumerateSubKey(key.Get(), keys);
    for (const std::wstring& sub : keys)
        Dump(root, path + L"\\" + sub, lines);
}

std::vector<std::wstring> Dump()
{
    std::vector<std::wstring> lines;
    Dump(HKEY_LOCAL_MACHINE, kRoot, lines);
    return lines;
}

void Set(const std::wstring& path, const std::wstring& name, const std::wstring& value)
{
    CRegKey root(HKEY_LOCAL_MACHINE), key;
    ASSERT_TRUE(root.CreateSubKey(std::wstring(kRoot) + L"\\" + path, KEY_ALL_ACCESS, key));
    ASSERT_TRUE(key.SetValue(name, value));
    root.Close();
}

void Set(const std::wstring& path, const std::wstring& name, DWORD value)
{
    CRegKey root(HKEY_LOCAL_MACHINE), key;
    ASSERT_TRUE(root.CreateSubKey(std::wstring(kRoot) + L"\\" + path, KEY_ALL_ACCESS, key));
    ASSERT_TRUE(key.SetValue(name, value));
    root.Close();
}

std::wstring Action(const wchar_t* verb, const wchar_t* type, const std::wstring& path,
                    const std::wstring& name, const std::wstring& value)
{
    return std::wstring(L"[") + verb + L":" + type + L",HKEY_LOCAL_MACHINE," + kRoot + L"\\" +
           path + L"," + name + L"," + value + L"]";
}

std::vector<std::wstring> RollbackLines(const wchar_t* file)
{
    std::vector<std::wstring> lines;
    CFileSupport::ReadFileContentIntoVector(std::wstring(kFolder) + L"\\" + file, nullptr, lines);
    return lines;
}

class RegistrySupport : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::wstring remove =
            std::wstring(L"[RegRemove:REG_SZ,HKEY_LOCAL_MACHINE,") + kRoot + L",,]";
        CRegistrySupport::InstallModifyRegistry(kFolder, L"setup.txt", remove);
        CRegistrySupport::RollbackModifyRegistry(kFolder, L"ignored.txt");
        DeleteFileW((std::wstring(kFolder) + L"\\setup.txt").c_str());
        Set(L"A", L"Keep", L"kept");
    }
};

} // namespace

TEST_F(RegistrySupport, AnUpdateCreatesTheMissingKeysAndItsRollbackTakesThemAway)
{
    std::vector<std::wstring> before = Dump();
    CNormalErrorHandle done = CRegistrySupport::InstallModifyRegistry(
        kFolder, L"rollback.txt", Action(L"RegUpadate", L"REG_SZ", L"A\\B\\C", L"Name", L"Value"));
    ASSERT_TRUE(done.IsSuccess()) << Narrow(done.GetErrorMessage());
    CRegKey key;
    ASSERT_TRUE(key.Open(std::wstring(kRoot) + L"\\A\\B\\C", KEY_READ, HKEY_LOCAL_MACHINE));
    std::wstring value;
    EXPECT_TRUE(key.QueryValue(L"Name", value));
    EXPECT_EQ(value, L"Value");
    key.Close();
    std::wstring prefix = std::wstring(L",HKEY_LOCAL_MACHINE,") + kRoot;
    EXPECT_EQ(
        RollbackLines(L"rollback.txt"),
        (std::vector<std::wstring>{L"[RegRemoveKey:REG_SZ" + prefix + L"\\A\\B,,]",
                                   L"[RegRemoveKey:REG_SZ" + prefix + L"\\A\\B\\C,,]",
                                   L"[RegRemoveValue:REG_SZ" + prefix + L"\\A\\B\\C,Name,Value]"}));

    // Rolled back: the value, then C, then B go; the file goes too.
    ASSERT_TRUE(CRegistrySupport::RollbackModifyRegistry(kFolder, L"rollback.txt").IsSuccess());
    EXPECT_EQ(Dump(), before);
    EXPECT_FALSE(CFileSupport::IsExist(std::wstring(kFolder) + L"\\rollback.txt"));
    // Without a file there is nothing to do, and that is no failure.
    CLogCapture log;
    EXPECT_TRUE(CRegistrySupport::RollbackModifyRegistry(kFolder, L"rollback.txt").IsSuccess());
    EXPECT_TRUE(log.HasStart(ADVLOG_SEVERITY_WARNING, L"rollback file["));
}

TEST_F(RegistrySupport, OldDataWithCommasAndNumbersComeBack)
{
    Set(L"A", L"Pair", L"x,y");
    Set(L"A", L"Count", static_cast<DWORD>(-7));
    std::vector<std::wstring> before = Dump();
    std::wstring list = Action(L"RegUpadate", L"REG_SZ", L"A", L"Pair", L"z#comma;w") +
                        Action(L"RegUpadate", L"REG_DWORD", L"A", L"Count", L"42") +
                        Action(L"RegUpadate", L"REG_DWORD", L"A", L"New", L"-1");
    ASSERT_TRUE(CRegistrySupport::InstallModifyRegistry(kFolder, L"values.txt", list).IsSuccess());
    CRegKey key;
    ASSERT_TRUE(key.Open(std::wstring(kRoot) + L"\\A", KEY_READ, HKEY_LOCAL_MACHINE));
    std::wstring pair;
    DWORD count = 0, fresh = 0;
    EXPECT_TRUE(key.QueryValue(L"Pair", pair));
    EXPECT_EQ(pair, L"z,w");
    EXPECT_TRUE(key.QueryValue(L"Count", count));
    EXPECT_EQ(count, 42u);
    EXPECT_TRUE(key.QueryValue(L"New", fresh));
    EXPECT_EQ(fresh, 0xFFFFFFFFu);
    key.Close();
    std::vector<std::wstring> lines = RollbackLines(L"values.txt");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find(L"RegSetValue:REG_SZ"), std::wstring::npos);
    EXPECT_NE(lines[0].find(L",Pair,x#comma;y]"), std::wstring::npos);
    EXPECT_NE(lines[1].find(L",Count,-7]"), std::wstring::npos);
    EXPECT_NE(lines[2].find(L"RegRemoveValue"), std::wstring::npos);

    // A second run keeps the first run's file: the rollback goes back to before the first run.
    ASSERT_TRUE(
        CRegistrySupport::InstallModifyRegistry(
            kFolder, L"values.txt", Action(L"RegUpadate", L"REG_SZ", L"A", L"Pair", L"third"))
            .IsSuccess());
    EXPECT_EQ(RollbackLines(L"values.txt"), lines);
    ASSERT_TRUE(CRegistrySupport::RollbackModifyRegistry(kFolder, L"values.txt").IsSuccess());
    EXPECT_EQ(Dump(), before);
}

TEST_F(RegistrySupport, RemovingAKeyTreeAndBringingItBack)
{
    Set(L"Tree", L"Top", L"t");
    Set(L"Tree\\One", L"First", L"1,1");
    Set(L"Tree\\One", L"Number", 12u);
    Set(L"Tree\\One\\Deep", L"Deeper", L"d");
    Set(L"Tree\\Two", L"Second", L"2");
    std::vector<std::wstring> before = Dump();
    ASSERT_TRUE(CRegistrySupport::InstallModifyRegistry(
                    kFolder, L"tree.txt", Action(L"RegRemove", L"REG_SZ", L"Tree", L"", L""))
                    .IsSuccess());
    EXPECT_FALSE(CRegistrySupport::IsKeyExist(HKEY_LOCAL_MACHINE, std::wstring(kRoot) + L"\\Tree"));
    EXPECT_TRUE(CRegistrySupport::IsKeyExist(HKEY_LOCAL_MACHINE, std::wstring(kRoot) + L"\\A"));
    ASSERT_TRUE(CRegistrySupport::RollbackModifyRegistry(kFolder, L"tree.txt").IsSuccess());
    EXPECT_EQ(Dump(), before);

    // Removed and made again in one list: the list's open keys do not outlive their key.
    std::wstring again = Action(L"RegRemove", L"REG_SZ", L"Tree", L"", L"") +
                         Action(L"RegUpadate", L"REG_SZ", L"Tree\\One", L"First", L"new");
    ASSERT_TRUE(CRegistrySupport::InstallModifyRegistry(kFolder, L"again.txt", again).IsSuccess());
    std::vector<std::wstring> remade = Dump();
    EXPECT_EQ(remade, (std::vector<std::wstring>{L"key SOFTWARE\\RegTest", L"key SOFTWARE\\RegTest\\A",
                                                 L"  Keep 1 kept", L"key SOFTWARE\\RegTest\\Tree",
                                                 L"key SOFTWARE\\RegTest\\Tree\\One", L"  First 1 new"}));
    ASSERT_TRUE(CRegistrySupport::RollbackModifyRegistry(kFolder, L"again.txt").IsSuccess());
    EXPECT_EQ(Dump(), before);

    // One value of a key goes, and comes back with its own type.
    ASSERT_TRUE(
        CRegistrySupport::InstallModifyRegistry(
            kFolder, L"value.txt", Action(L"RegRemove", L"REG_SZ", L"Tree\\One", L"Number", L""))
            .IsSuccess());
    CRegKey key;
    ASSERT_TRUE(key.Open(std::wstring(kRoot) + L"\\Tree\\One", KEY_READ, HKEY_LOCAL_MACHINE));
    EXPECT_FALSE(CRegistrySupport::IsValueExist(key.Get(), L"Number"));
    key.Close();
    ASSERT_TRUE(CRegistrySupport::RollbackModifyRegistry(kFolder, L"value.txt").IsSuccess());
    EXPECT_EQ(Dump(), before);
}

TEST_F(RegistrySupport, AFailedOrMalformedListChangesNothing)
{
    std::vector<std::wstring> before = Dump();
    CLogCapture log;
    // The second action cannot be done (no number): the first is undone, no file is left.
    std::wstring list = Action(L"RegUpadate", L"REG_SZ", L"A\\New", L"Name", L"v") +
                        Action(L"RegUpadate", L"REG_DWORD", L"A", L"Bad", L"twelve");
    CNormalErrorHandle done = CRegistrySupport::InstallModifyRegistry(kFolder, L"failed.txt", list);
    EXPECT_FALSE(done.IsSuccess());
    EXPECT_EQ(
        done.GetErrorMessage().rfind(L"Update registry failed, when modify registry key:[", 0), 0u)
        << Narrow(done.GetErrorMessage());
    EXPECT_EQ(Dump(), before);
    EXPECT_FALSE(CFileSupport::IsExist(std::wstring(kFolder) + L"\\failed.txt"));

    // Strings that are no actions: each fails with its line, and nothing changes.
    const std::wstring bad[] = {
        std::wstring(L"[RegRename:REG_SZ,HKEY_LOCAL_MACHINE,") + kRoot + L"\\A,Keep,x]",
        std::wstring(L"[RegUpadate:REG_SZ,HKEY_NOWHERE,") + kRoot + L"\\A,Keep,x]",
        std::wstring(L"[RegUpadate:REG_SZ,HKEY_LOCAL_MACHINE,") + kRoot + L"\\A]",
        L"[RegRemove:REG_SZ,HKEY_LOCAL_MACHINE,,,]",
        L"no action at all",
    };
    for (const std::wstring& text : bad)
    {
        log.Clear();
        done = CRegistrySupport::InstallModifyRegistry(
            kFolder, L"bad.txt", Action(L"RegUpadate", L"REG_SZ", L"A\\Added", L"N", L"v") + text);
        EXPECT_FALSE(done.IsSuccess()) << Narrow(text);
        EXPECT_TRUE(log.HasStart(ADVLOG_SEVERITY_ERROR,
                                 L"ProductExternalActionByString() failed for string:["))
            << Narrow(text);
        EXPECT_EQ(Dump(), before) << Narrow(text);
        EXPECT_FALSE(CFileSupport::IsExist(std::wstring(kFolder) + L"\\bad.txt"));
    }
    // A rollback line that does not parse ends the rollback there.
    EXPECT_FALSE(CRegistrySupport::RollbackRegistry(
        L"[RegSetValue:REG_SZ,HKEY_LOCAL_MACHINE,X,Y,Z]\ngarbage"));
}
