// The custom action host: its command line, the rollback-skip protocol across runs, a second
// instance with its time limit, and the dump of a crash.
#include "package/ActionSupport.h"
#include "package/tests/PackageTestSupport.h"
#include "setupsupport/CServiceManager.h"
#include "testsupport/TestSupport.h"
#include "winport/WinFile.h"
#include "winport/WinMachine.h"
#include "winport/WinModule.h"
#include "winport/WinString.h"
#include "winport/WinSvc.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace packagetest;

namespace
{

const wchar_t kPackage[] = L"C:\\Packages\\Host";
constexpr unsigned long kFailed = 0xFFFFFFFFul;

class ActionHost : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { LayOutPackage(kPackage); }
    void SetUp() override
    {
        DeleteFileW((std::wstring(kPackage) + L"\\properties.txt").c_str());
        ClearProgramLog(L"actionhost");
    }
    static unsigned long Host(const std::wstring& arguments)
    {
        return RunPackageProgram(kPackage, L"actionhost.exe", arguments);
    }
    static std::wstring Property(const wchar_t* name)
    {
        CPropertyManager properties;
        LoadProperties(kPackage, properties);
        return properties.IsPropertyExist(name) ? properties.GetProperty(name) : L"<none>";
    }
    static size_t Count(const std::string& text, const std::string& part)
    {
        size_t count = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++count;
        return count;
    }
};

} // namespace

TEST_F(ActionHost, CommandLineAndTheRollbackSkipAcrossRuns)
{
    // Four arguments are one too few; nothing runs.
    EXPECT_EQ(Host(L"\"A\" \"testactions.dll\" \"Succeed\" -1"), kFailed);
    EXPECT_NE(ProgramLog(L"actionhost").find("actionhost parameter count is below 3"),
              std::string::npos);
    EXPECT_NE(ProgramLog(L"actionhost").find("are not well formatted"), std::string::npos);

    // Single quotes of the parameter string arrive as double quotes; the first action logs the
    // banner, the second does not.
    EXPECT_EQ(Host(L"\"First\" \"testactions.dll\" \"Succeed\" -1 \"Key='a b',X=1\""), 0ul);
    EXPECT_EQ(Property(L"Test.SeenParameter"), L"Key=\"a b\",X=1");
    EXPECT_EQ(Host(L"\"Second\" \"testactions.dll\" \"Succeed\" -1 \"\" 0"), 0ul);
    EXPECT_EQ(Count(ProgramLog(L"actionhost"), "Action Begin"), 1u);
    EXPECT_EQ(Property(L"SkipCurrentRollbackAction"), L"<none>");

    // A library that is not there fails the run but is no failed action.
    EXPECT_EQ(Host(L"\"Gone\" \"missing.dll\" \"Succeed\" -1 \"\""), kFailed);
    EXPECT_NE(ProgramLog(L"actionhost").find("load library[missing.dll] error"), std::string::npos);
    EXPECT_EQ(Property(L"CurrentInstallationStatus"), L"<none>");

    // A failed action marks its own rollback to be skipped and switches to rollback.
    EXPECT_EQ(Host(L"\"Broken\" \"testactions.dll\" \"Fail\" -1 \"\""), kFailed);
    EXPECT_EQ(Property(L"SkipCurrentRollbackAction"), L"0");
    EXPECT_EQ(Property(L"CurrentInstallationStatus"), L"Rollback");
    // Its rollback is skipped before anything is loaded; the one after runs again.
    EXPECT_EQ(Host(L"\"Broken.Rollback\" \"missing.dll\" \"Succeed\" -1 \"\""), 0ul);
    EXPECT_EQ(Property(L"SkipCurrentRollbackAction"), L"1");
    EXPECT_EQ(Count(ProgramLog(L"actionhost"), "load library[missing.dll] error"), 1u);
    EXPECT_EQ(Host(L"\"Earlier.Rollback\" \"testactions.dll\" \"NoSuchAction\" -1 \"\""), kFailed);
    EXPECT_NE(ProgramLog(L"actionhost").find("GetProcAddress[NoSuchAction]"), std::string::npos);
    EXPECT_EQ(Property(L"SkipCurrentRollbackAction"), L"1");
    EXPECT_EQ(Property(L"CurrentInstallationStatus"), L"Rollback");
}

TEST_F(ActionHost, SecondInstanceWithTimeLimitAndLogonAccount)
{
    // The second instance runs the action and writes the file; quotes survive the trip.
    EXPECT_EQ(Host(L"\"Child\" \"testactions.dll\" \"Succeed\" -1 \"P='q r'\" 1"), 0ul);
    EXPECT_EQ(Property(L"Test.SeenParameter"), L"P=\"q r\"");
    std::string log = ProgramLog(L"actionhost");
    EXPECT_NE(log.find("Create new process to do custom action."), std::string::npos);

    EXPECT_EQ(Host(L"\"ChildFails\" \"testactions.dll\" \"Fail\" -1 \"\" 1"), kFailed);
    EXPECT_NE(ProgramLog(L"actionhost").find("dwExitCode != 0"), std::string::npos);

    // Over its time limit the second instance is ended (a fresh run: the failure above would
    // have the next action skipped).
    SetUp();
    EXPECT_EQ(Host(L"\"Slow\" \"testactions.dll\" \"TakeTime\" 1 \"ms=60000\" 1"), kFailed);
    EXPECT_NE(ProgramLog(L"actionhost").find("Running out of time [1 seconds]"), std::string::npos);

    // Without an agent to ask there is no logon account to run under.
    EXPECT_EQ(Host(L"\"AsUser\" \"testactions.dll\" \"Succeed\" -1 \"\" 2"), kFailed);
    EXPECT_NE(ProgramLog(L"actionhost").find("Get account information failed!"), std::string::npos);
}

TEST_F(ActionHost, CrashLeavesADump)
{
    std::string dump = testsupport::HostPath(L"C:\\Windows\\Temp\\actionhost.dmp");
    std::filesystem::remove(dump);
    unsigned long code = Host(L"\"Crash\" \"testactions.dll\" \"Crash\" -1 \"\"");
    EXPECT_NE(code, 0ul);
    EXPECT_NE(code, kFailed);
    std::string text = testsupport::ReadHostFile(dump);
    EXPECT_NE(text.find("Signal: SIGSEGV"), std::string::npos) << text;
    EXPECT_NE(text.find("Thread: "), std::string::npos) << text;
    EXPECT_NE(text.find("Stack:"), std::string::npos) << text;
}

TEST_F(ActionHost, UnreadablePropertiesStopItAndAMissingBundleDoesNot)
{
    // A property file that cannot be read: nothing runs, and the file stays as it was.
    std::string properties = testsupport::HostPath(std::wstring(kPackage) + L"\\properties.txt");
    testsupport::WriteHostFile(properties, "Class=CNoSuchClass ItemCount=2\ngarbage");
    EXPECT_EQ(Host(L"\"A\" \"testactions.dll\" \"Succeed\" -1 \"\""), kFailed);
    EXPECT_EQ(testsupport::ReadHostFile(properties), "Class=CNoSuchClass ItemCount=2\ngarbage");
    EXPECT_NE(ProgramLog(L"actionhost").find("cannot be read"), std::string::npos);

    // Without its message bundle the action still runs; the failure to read it is logged.
    DeleteFileW((std::wstring(kPackage) + L"\\properties.txt").c_str());
    std::string bundle = testsupport::HostPath(std::wstring(kPackage) + L"\\package.dat");
    std::string texts = testsupport::ReadHostFile(bundle);
    std::filesystem::remove(bundle);
    EXPECT_EQ(Host(L"\"A\" \"testactions.dll\" \"Succeed\" -1 \"x=1\""), 0ul);
    EXPECT_EQ(Property(L"Test.SeenParameter"), L"x=1");
    EXPECT_NE(ProgramLog(L"actionhost").find("unable to read string resource"), std::string::npos);
    testsupport::WriteHostFile(bundle, texts);
}

TEST_F(ActionHost, StockActionsRefuseBadParameterStrings)
{
    struct SCase
    {
        const wchar_t* function;
        const wchar_t* parameters;
        const char* logged;
    };
    const SCase cases[] = {
        {L"Install_CopyFile", L"SrcPath=C:\\x",
         "Install_CopyFile failed, the parameter string is not correct:SrcPath=C:\\x"},
        {L"RollBack_CopyFile", L"",
         "Install_CopyFile failed, the parameter string is not correct:"},
        {L"Install_RollbackRegistry", L"BackupPath=C:\\x",
         "Install_RollbackRegistry failed, the parameter string is not correct"},
        {L"Install_ModifyRegistry", L"[RegParameter:C:\\x]=[RegUpadate:REG_SZ]",
         "Install_ModifyRegistry Parameter string is not well formatted"},
        {L"StartService_StatusConcerned", L"name=x",
         "StartService_StatusConcerned failed, the parameter string is not correct"},
        {L"StopService_StatusIgnored", L"", "StopService_StatusIgnored failed, the parameter"},
        {L"DoSystemCommand", L"CommandRunDirectory=C:\\Windows",
         "DoCommand failed, the parameter string"},
    };
    for (const SCase& bad : cases)
    {
        SCOPED_TRACE(winport::ToUtf8(bad.function));
        SetUp();
        EXPECT_EQ(Host(std::wstring(L"\"Bad\" \"stockactions.dll\" \"") + bad.function +
                       L"\" -1 \"" + bad.parameters + L"\""),
                  kFailed);
        EXPECT_NE(ProgramLog(L"actionhost").find(bad.logged), std::string::npos)
            << ProgramLog(L"actionhost");
    }
    // The actions that cannot fail only log theirs.
    SetUp();
    EXPECT_EQ(Host(L"\"Bad\" \"stockactions.dll\" \"Install_CopyUnInstallFile\" -1 \"\""), 0ul);
    EXPECT_NE(ProgramLog(L"actionhost").find("Install_CopyUnInstallFile failed, the parameter"),
              std::string::npos);
}

// A state-keeping service action whose service manager cannot be asked (here a server that drops
// every connection, as one being stopped does) fails, instead of taking the service for absent or
// stopped, and records the state as unknown: the later actions of the run, a rollback's start
// among them, leave the service as it was.
TEST(StockServiceActions, FailWhenTheServiceManagerIsAway)
{
    const std::wstring image =
        L"\"" + testsupport::ProgramFolder() + L"\\servicestub.exe\" --name HostProbe";
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service =
        CreateServiceW(manager, L"HostProbe", nullptr, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                       image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(service, nullptr) << GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);

    CPropertyManager properties;
    properties.SetProperty(PackageNames::kParameterString, L"serviceName=HostProbe");
    CActionGlobalResource::s_pPropertyManager = &properties;
    HMODULE library = LoadLibraryW((testsupport::ProgramFolder() + L"\\stockactions.dll").c_str());
    ASSERT_NE(library, nullptr);
    using Action = bool (*)();
    auto stop = reinterpret_cast<Action>(GetProcAddress(library, "StopService_StatusConcerned"));
    auto start = reinterpret_cast<Action>(GetProcAddress(library, "StartService_StatusConcerned"));
    ASSERT_TRUE(stop != nullptr && start != nullptr);

    {
        std::string folder =
            testsupport::FleetRoot() + "/machines/" + winport::fleet::CurrentMachine().name;
        ASSERT_EQ(winport::fleet::StopMachineServer(testsupport::FleetRoot(),
                                                    winport::fleet::CurrentMachine().name),
                  0u);
        testsupport::CDroppingListener away(folder + "/runtime/machined.sock");
        ASSERT_TRUE(away.Listening());
        EXPECT_FALSE(stop());
        EXPECT_FALSE(start());
    }
    EXPECT_EQ(properties.GetProperty(L"OriginalStatusForhostprobe"), L"0");

    // With the manager back, the rollback's start leaves the service stopped.
    EXPECT_TRUE(start());
    CServiceManager probe(nullptr, L"HostProbe");
    EXPECT_EQ(probe.QueryStatus(), static_cast<DWORD>(SERVICE_STOPPED));
    // Without a record, the state is taken as it is: a start starts.
    properties.SetProperty(L"OriginalStatusForhostprobe", L"");
    EXPECT_TRUE(start());
    EXPECT_EQ(probe.QueryStatus(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(probe.Remove());
    CActionGlobalResource::s_pPropertyManager = nullptr;
    FreeLibrary(library);
}
