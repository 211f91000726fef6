// The launcher: its keywords, the engine script it writes from the template, and what it does
// with bad input: no keyword, an unknown one, a missing template, no product to analyse, a second
// launcher, no file version.
#include "package/tests/PackageTestSupport.h"
#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinReg.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

using namespace packagetest;

namespace
{

const wchar_t kPackage[] = L"C:\\Packages\\Launch";
const wchar_t kProductKey[] = L"SOFTWARE\\Halvorn\\Parvel for Exchange\\CurrentVersion";

std::string PackageFile(const wchar_t* name)
{
    return testsupport::HostPath(std::wstring(kPackage) + L"\\" + name);
}

void SetValue(HKEY key, const wchar_t* name, const std::wstring& text)
{
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

class Launcher : public ::testing::Test
{
protected:
    void SetUp() override
    {
        LayOutPackage(kPackage);
        ClearProgramLog(L"patchstarter");
        ClearProgramLog(L"HVPatch");
    }
    static unsigned long Launch(const std::wstring& arguments)
    {
        return RunPackageProgram(kPackage, L"patchstarter.exe", arguments);
    }
    static std::string Log() { return ProgramLog(L"patchstarter"); }
    // The product as the analysis finds it on a server that is no cluster.
    static void InstallProduct()
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        SetValue(key, L"HomeDir", L"C:\\P");
        SetValue(key, L"Version", L"5.0");
        SetValue(key, L"Build", L"1000");
        DWORD zero = 0;
        RegSetValueExW(key, L"IsCluster", 0, REG_DWORD, reinterpret_cast<BYTE*>(&zero), 4);
        RegSetValueExW(key, L"ThirdPartyClusterType", 0, REG_DWORD, reinterpret_cast<BYTE*>(&zero),
                       4);
        RegCloseKey(key);
    }
};

} // namespace

TEST_F(Launcher, KeywordsAndTheEngineScript)
{
    // No keyword, or one it does not know: nothing is started, and the exit code stays 0.
    EXPECT_EQ(Launch(L""), 0ul);
    EXPECT_NE(Log().find("Parameter should not be empty for HVPatchLauncher!"), std::string::npos);
    EXPECT_EQ(Launch(L"repair"), 0ul);
    EXPECT_NE(Log().find("launch HVPatch failed! The parameter is invalidate:repair"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(PackageFile(L"hotfix.ini")));

    // Without the product (this workstation has none) the analysis fails and the engine is
    // not started.
    EXPECT_EQ(Launch(L"install"), 0ul);
    EXPECT_NE(Log().find("execute Initial function failed!"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(PackageFile(L"hotfix.ini")));

    // Placeholders become the analysed properties; an unknown one and unmatched markers stay.
    InstallProduct();
    testsupport::WriteHostFile(PackageFile(L"hotfix_template.ini"),
                               "[Package]\nPath=$$PRVLHomeDir$$\\x\nU=$$Unknown$$\n"
                               "Pair=$$ExchangeVersion$$$$ClusterType$$ lone $$");
    EXPECT_EQ(Launch(L"INSTALL"), 0ul);
    EXPECT_EQ(testsupport::ReadHostFile(PackageFile(L"hotfix.ini")),
              "[Package]\r\nPath=C:\\P\\x\r\nU=$$Unknown$$\r\nPair=00 lone $$");
    EXPECT_NE(Log().find("The property Unknown is not exist, and the parameter $$Unknown$$ is not "
                         "replaced."),
              std::string::npos);
    // The engine ran and found no list to run in that script.
    EXPECT_NE(Log().find("Process returned code: 3"), std::string::npos) << Log();

    // The uninstall with the engine's own user interface has the engine look for its uninstall
    // list.
    EXPECT_EQ(Launch(L"Uninstall_WithHVPatchUI"), 0ul);
    EXPECT_NE(Log().find("launch HVPatch for uninstall_withhvpatchui"), std::string::npos);
    EXPECT_NE(ProgramLog(L"HVPatch").find("no [Uninstall] section"), std::string::npos)
        << ProgramLog(L"HVPatch");

    // A template that cannot be read: the engine is not started.
    std::filesystem::remove(PackageFile(L"hotfix_template.ini"));
    std::filesystem::remove(PackageFile(L"hotfix.ini"));
    ClearProgramLog(L"patchstarter");
    EXPECT_EQ(Launch(L"uninstall"), 0ul);
    EXPECT_NE(Log().find("HVPatchLauncher::Launch"), std::string::npos);
    EXPECT_EQ(Log().find("Process returned code"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(PackageFile(L"hotfix.ini")));
}

TEST_F(Launcher, OneLauncherAtATimeAndItsOwnVersion)
{
    HANDLE held = CreateMutexW(nullptr, TRUE, L"HVPatchLauncherMutext");
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(Launch(L"install"), 0ul);
    EXPECT_NE(Log().find("another HVPatchLauncher instance is running"), std::string::npos);
    EXPECT_EQ(Log().find("launch HVPatch for"), std::string::npos);
    CloseHandle(held);

    // A launcher whose file carries no version ends with -1 before it launches anything.
    std::string launcher = PackageFile(L"patchstarter.exe");
    std::string command = "objcopy --remove-section=.note.fleet.version '" + launcher + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(Launch(L"install"), 0xFFFFFFFFul);
    EXPECT_NE(Log().find("Get file version infor failed before launch HVPatch"), std::string::npos);
}
