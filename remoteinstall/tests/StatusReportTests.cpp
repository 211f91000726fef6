#include "remoteinstall/PackageStatusReport.h"

#include "framework/CAdvancedLog.h"
#include "framework/CFrameworkGlobalVariables.h"
#include "framework/CStringSupport.h"
#include "remoteinstall/BackwardsTaskQueue.h"
#include "remoteinstall/CommunicationPeer.h"
#include "testsupport/LogCapture.h"
#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinReg.h"
#include "winport/WinString.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace
{

using RemoteInstall::CRemoteInstallCommon;
using testsupport::CLogCapture;

const wchar_t kProductKey[] = L"Software\\Halvorn\\Parvel for Exchange\\CurrentVersion";
const wchar_t kSyncNamespace[] = L"Framework\\ServerSynchronization\\";

// A string bundle file with the given texts; removed by the caller.
std::wstring WriteBundle(const std::map<std::wstring, std::wstring>& texts)
{
    std::wstring path = CStringSupport::PathGetTempFile(L"srb");
    CPropertyManager strings;
    for (const auto& [key, text] : texts)
        strings.SetProperty(key, text);
    CPersistentStorageFile storage(path);
    EXPECT_EQ(CSerializer::SerializeObjectToStorage(&strings, &storage), 1);
    return path;
}

// Sends a task the way the wire does: text, rebuilt by class name on the far side, run there, and
// the far side's text read back into the sender's object.
void RunOverWire(ITaskSupport* task)
{
    std::unique_ptr<ITaskSupport> far(CRemoteInstallCommon::DeserializeNewTaskFromString(
        CRemoteInstallCommon::GetSerializedTaskString(task)));
    ASSERT_NE(far, nullptr);
    far->RunTaskOnLocal();
    ASSERT_TRUE(CRemoteInstallCommon::DeserializeTaskResultFromString(
        task, CRemoteInstallCommon::GetSerializedTaskString(far.get())));
}

std::vector<std::wstring> WireItems(ITaskSupport* task)
{
    CPersistentStorageMemory storage;
    EXPECT_EQ(CSerializer::SerializeObjectToStorage(task, &storage), 1);
    std::vector<std::wstring> items;
    while (storage.IsHaveDataForRead())
        items.push_back(storage.ReadString());
    return items;
}

std::wstring SyncProperty(const std::wstring& name)
{
    return GetFrameworkGlobalVariables()->m_PropertyManager.GetProperty(kSyncNamespace + name);
}

void ClearSyncNamespace()
{
    CPropertyManagerNamespaceView(&GetFrameworkGlobalVariables()->m_PropertyManager,
                                  L"Framework\\ServerSynchronization")
        .Clear();
}

class StatusReport : public ::testing::Test
{
protected:
    void SetUp() override { CPackageStatusReport::m_nBusTaskSendFailedCount = 0; }
    void TearDown() override
    {
        CStatusReporter::Uninitialize();
        CPackageStatusReport::m_nBusTaskSendFailedCount = 0;
        for (const std::wstring& path : m_Files)
            DeleteFileW(path.c_str());
    }
    std::wstring Bundle(const std::map<std::wstring, std::wstring>& texts)
    {
        m_Files.push_back(WriteBundle(texts));
        return m_Files.back();
    }

    std::vector<std::wstring> m_Files;
};

// ---- The package side without an agent ----------------------------------------------------------

TEST_F(StatusReport, ReporterIsSilentWithoutInitializeAndSendsFailWithoutPeer)
{
    CLogCapture log;
    CStatusReporter::ReportProgress(L"msg.Step");
    CStatusReporter::ReportProgressWithFormat(L"msg.Copy", L"a.dll", 1, 3);
    CStatusReporter::ReportErrorMessage(L"msg.Error");
    CStatusReporter::ReportErrorMessageWithFormat(L"msg.Error", L"a.dll", 5);
    CStatusReporter::ReportProgress(nullptr);
    EXPECT_TRUE(log.m_Lines.empty()) << winport::ToUtf8(log.Dump());
    EXPECT_EQ(CPackageStatusReport::m_pPeerToAgent, nullptr);
    EXPECT_EQ(CPackageStatusReport::m_pThreadPool, nullptr);

    // Taken down again, the reporter is as silent as before it started.
    std::wstring bundle = Bundle({{L"msg.Step", L"Copying files"}});
    CStatusReporter::Initialize(bundle, nullptr);
    EXPECT_NE(CPackageStatusReport::m_pPeerToAgent, nullptr);
    CStatusReporter::Uninitialize();
    EXPECT_EQ(CPackageStatusReport::m_pPeerToAgent, nullptr);
    EXPECT_EQ(CPackageStatusReport::m_pThreadPool, nullptr);
    log.Clear();
    CStatusReporter::ReportProgress(L"msg.Step");
    CStatusReporter::ReportErrorMessage(L"msg.Step");
    EXPECT_TRUE(log.m_Lines.empty()) << winport::ToUtf8(log.Dump());

    // Without a peer a send fails at once and the report says which text was lost.
    CTaskSendPackageInstallProgress task;
    EXPECT_EQ(CPackageStatusReport::SendTaskToSetup(&task), 0);
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_ERROR,
                        L"SendTaskToSetup failed. The m_pPeerToAgent is NULL means it doesn't "
                        L"connect to Agent"),
              1);
    CPackageStatusReport::ReportDebugLogToUI(ADVLOG_SEVERITY_WARNING, L"low disk");
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_ERROR,
                        L"ReportDebugLogToUI failed. The debug log is 'low disk'"),
              1);
    std::wstring user = L"unchanged", password = L"unchanged";
    EXPECT_EQ(CPackageStatusReport::RetrieveLogonAccount(&user, &password), 0);
    EXPECT_EQ(log.CountUnexpected(L"CPackageStatusReport::RetrieveLogonAccount"), 1);
    EXPECT_EQ(user, L"unchanged");
    EXPECT_EQ(password, L"unchanged");
    EXPECT_EQ(task.m_bIsTaskExecuted, 0);
}

TEST_F(StatusReport, RollbackReplacesProgressButNotErrorsAndLongTextsAreWhole)
{
    std::wstring bundle = Bundle({{L"info.RollbackAction", L"Rolling back the changes"},
                                  {L"msg.Step", L"Stopping services"},
                                  {L"msg.Copy", L"Copying %s (%d of %d)"},
                                  {L"msg.Error", L"Cannot copy %s (error %d)"},
                                  {L"msg.Plain", L"Setup failed"},
                                  {L"msg.Long", L"[%s]"}});
    CPropertyManager properties;
    properties.SetProperty(L"CurrentInstallationStatus", L"Rollback");
    CStatusReporter::Initialize(bundle, &properties);

    CLogCapture log;
    const std::wstring progressFailed = L"ReportProgressToUI failed. The progress message is '";
    const std::wstring errorFailed = L"ReportErrorMessageToUI failed. The error message is '";
    CStatusReporter::ReportProgress(L"msg.Step");
    CStatusReporter::ReportProgressWithFormat(L"msg.Copy", L"a.dll", 1, 3);
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_ERROR, progressFailed + L"Rolling back the changes'"), 2)
        << winport::ToUtf8(log.Dump());
    EXPECT_FALSE(log.HasContaining(ADVLOG_SEVERITY_ERROR, L"Stopping services"));
    EXPECT_FALSE(log.HasContaining(ADVLOG_SEVERITY_ERROR, L"Copying"));
    CStatusReporter::ReportErrorMessageWithFormat(L"msg.Error", L"a.dll", 5);
    CStatusReporter::ReportErrorMessage(L"msg.Plain");
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_ERROR, errorFailed + L"Cannot copy a.dll (error 5)'"),
              1);
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_ERROR, errorFailed + L"Setup failed'"), 1);

    // Only the exact status is a rollback.
    log.Clear();
    properties.SetProperty(L"CurrentInstallationStatus", L"rollback");
    CStatusReporter::ReportProgressWithFormat(L"msg.Copy", L"a.dll", 1, 3);
    properties.SetProperty(L"CurrentInstallationStatus", L"");
    CStatusReporter::ReportProgress(L"msg.Step");
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_ERROR, progressFailed + L"Copying a.dll (1 of 3)'"), 1);
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_ERROR, progressFailed + L"Stopping services'"), 1);
    EXPECT_EQ(log.CountPrefix(progressFailed + L"Rolling back"), 0);

    // Around the first buffer's edge and past the heap buffers the text stays whole (the log
    // line itself ends at the hub's 4,095 characters).
    for (size_t length : {257u, 258u, 259u, 400u, 8190u, 20000u})
    {
        log.Clear();
        std::wstring middle(length - 2, L'x');
        middle[0] = L'<';
        middle[middle.size() - 1] = L'>';
        CStatusReporter::ReportProgressWithFormat(L"msg.Long", middle.c_str());
        std::wstring expected = progressFailed + L"[" + middle + L"]'";
        ASSERT_EQ(log.m_Lines.size() >= 1, true);
        const std::wstring& line = log.m_Lines.back().message;
        if (expected.size() <= 4095)
            EXPECT_EQ(line, expected) << length;
        else
            EXPECT_EQ(line, expected.substr(0, 4095)) << length;
    }
}

TEST_F(StatusReport, FinalResultTakesTheWarningFromTheRegistry)
{
    std::wstring bundle =
        Bundle({{L"info.FinishedWithWarningMsg", L"Finished with a warning: %s"}});
    CStatusReporter::Initialize(bundle, nullptr);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kProductKey);

    CLogCapture log;
    auto finalMessage = [&]() -> std::wstring
    {
        for (const testsupport::SLogLine& line : log.m_Lines)
            if (line.severity == ADVLOG_SEVERITY_DEBUG &&
                CStringSupport::IsStringBeginWith(line.message,
                                                  L"TaskFinalResult.m_strFinalMessage="))
                return line.message.substr(wcslen(L"TaskFinalResult.m_strFinalMessage="));
        return L"<none>";
    };

    // No product key: said once, and the given message goes.
    CPackageStatusReport::ReportFinalResultToUI(true, L"All done");
    EXPECT_TRUE(log.HasStart(ADVLOG_SEVERITY_ERROR, L"prvlKey.Open failed because:2, "))
        << winport::ToUtf8(log.Dump());
    EXPECT_EQ(finalMessage(), L"All done");
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_DEBUG, L"Enter ReportFinalResultToUI"), 1);
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_DEBUG, L"Leave ReportFinalResultToUI"), 1);
    // Nobody ran it: no agent here.
    EXPECT_EQ(log.CountUnexpected(L"CPackageStatusReport::ReportFinalResultToUI"), 1);

    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    log.Clear();
    CPackageStatusReport::ReportFinalResultToUI(true, L"All done");
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_DEBUG, L"wstrWaringMsg="), 1);
    EXPECT_EQ(finalMessage(), L"All done");

    const std::wstring warning = L"Restart the server to finish";
    ASSERT_EQ(RegSetValueExW(key, L"SP2SetupWarning", 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(warning.c_str()),
                             static_cast<DWORD>((warning.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    log.Clear();
    CPackageStatusReport::ReportFinalResultToUI(true, L"All done");
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_DEBUG, L"wstrWaringMsg=" + warning), 1);
    EXPECT_EQ(finalMessage(), L"Finished with a warning: " + warning);

    // A failure is reported as given; the warning is not even read.
    log.Clear();
    CPackageStatusReport::ReportFinalResultToUI(false, L"Setup failed");
    EXPECT_EQ(finalMessage(), L"Setup failed");
    EXPECT_EQ(log.CountPrefix(L"wstrWaringMsg="), 0);

    // A value of another type is no warning.
    DWORD number = 7;
    ASSERT_EQ(RegSetValueExW(key, L"SP2SetupWarning", 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&number), sizeof number),
              ERROR_SUCCESS);
    log.Clear();
    CPackageStatusReport::ReportFinalResultToUI(true, L"All done");
    EXPECT_EQ(finalMessage(), L"All done");

    // Without the reporter's bundle the given message goes even with a warning.
    ASSERT_EQ(RegSetValueExW(key, L"SP2SetupWarning", 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(warning.c_str()),
                             static_cast<DWORD>((warning.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    CStatusReporter::Uninitialize();
    log.Clear();
    CPackageStatusReport::ReportFinalResultToUI(true, L"All done");
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_DEBUG, L"wstrWaringMsg=" + warning), 1);
    EXPECT_EQ(finalMessage(), L"All done");

    RegCloseKey(key);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, kProductKey), ERROR_SUCCESS);
}

TEST_F(StatusReport, TwoTimeoutsInARowSwitchReportingOff)
{
    CPropertyManager& properties = GetFrameworkGlobalVariables()->m_PropertyManager;
    properties.SetProperty(L"Framework\\Test\\ReportTimeout", L"300");
    // The agent stand-in: its local endpoint takes the buses, and no wizard ever fetches them.
    CCommunicationPeerSupport agent;
    CCommPeerParameter agentParameter(RemoteInstall::LOCAL, AGENT_LOCAL_ENDPOINT);
    ASSERT_EQ(agent.Init(agentParameter), 1);

    CLogCapture log;
    ASSERT_EQ(CPackageStatusReport::Init(), 1) << winport::ToUtf8(log.Dump());
    EXPECT_EQ(CPackageStatusReport::m_pThreadPool, nullptr); // its threads come with a report
    CCommunicationPeerSupport* peer = CPackageStatusReport::m_pPeerToAgent;
    EXPECT_EQ(CPackageStatusReport::Init(), 0);
    EXPECT_EQ(CPackageStatusReport::m_pPeerToAgent, peer);

    const std::wstring noResponse = L"SendTaskToSetup failed. The agent doesn't give any response";
    auto busRuns = [&] {
        return log.Count(ADVLOG_ENTRY_ENTERED, ADVLOG_SEVERITY_NOISY,
                         L"CTaskBusAgentToSource::OnRun");
    };
    CPackageStatusReport::ReportProgressToUI(L"first");
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_DEBUG, noResponse), 1) << winport::ToUtf8(log.Dump());
    EXPECT_EQ(CPackageStatusReport::m_nBusTaskSendFailedCount, 1);
    CPackageStatusReport::ReportErrorMessageToUI(L"second");
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_DEBUG, noResponse), 2) << winport::ToUtf8(log.Dump());
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_ERROR,
                        L"ReportErrorMessageToUI failed. The error message is 'second'"),
              1);
    EXPECT_TRUE(testsupport::WaitFor([&] { return busRuns() == 2; }, std::chrono::seconds(20)));

    // Off: the next report fails at once, without a bus and without waiting out a time-out.
    CTaskSendPackageDebugLog third;
    EXPECT_EQ(CPackageStatusReport::SendTaskToSetupUsingThreadPool(&third), 0);
    CPackageStatusReport::ReportProgressToUI(L"third");
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_ERROR,
                        L"ReportProgressToUI failed. The progress message is 'third'"),
              1);
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_DEBUG, noResponse), 2);
    EXPECT_EQ(CPackageStatusReport::m_nBusTaskSendFailedCount, 2);

    // The agent stops: its waiting buses come back unrun to workers whose callers left long ago.
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, CPassiveTaskList::kStopEventName);
    ASSERT_NE(stop, nullptr);
    SetEvent(stop);
    EXPECT_TRUE(testsupport::WaitFor(
        [&]
        {
            return log.Count(ADVLOG_ENTRY_LEFT, ADVLOG_SEVERITY_NOISY,
                             L"CTaskBusAgentToSource::OnRun") == 2;
        },
        std::chrono::seconds(20)));
    EXPECT_EQ(
        log.CountPrefix(L"m_pPeerToSetup->SendTask(pPassenger) return FALSE, pPassenger type is "
                        L"CTaskSendPackageInstallProgress"),
        2);
    EXPECT_EQ(busRuns(), 2);
    CPackageStatusReport::Uninit();
    ResetEvent(stop);
    CloseHandle(stop);
    properties.SetProperty(L"Framework\\Test\\ReportTimeout", L"");
}

// ---- Server synchronization ---------------------------------------------------------------------

// Runs a lock request over the wire; returns the granted answer.
bool RequestLock(const std::wstring& name, const std::wstring& owner, bool acquire,
                 bool grantedBefore = false)
{
    CTaskServerSyncLockRequest request;
    request.m_strLockName = name;
    request.m_strOwner = owner;
    request.m_bAcquire = acquire;
    request.m_bGranted = grantedBefore;
    RunOverWire(&request);
    EXPECT_EQ(request.m_bIsTaskExecuted, 1);
    EXPECT_EQ(request.m_strLockName, name);
    return request.m_bGranted;
}

TEST(ServerSync, LockIsOwnedCountedAndRefusedToOthers)
{
    ClearSyncNamespace();
    // Releasing a free lock changes nothing and leaves the answer as it came.
    EXPECT_FALSE(RequestLock(L"Deploy", L"WIZ-A", false, false));
    EXPECT_TRUE(RequestLock(L"Deploy", L"WIZ-A", false, true));
    EXPECT_EQ(SyncProperty(L"Deploy"), L"");
    EXPECT_EQ(SyncProperty(L"Deploy_RefCount"), L"");

    EXPECT_TRUE(RequestLock(L"Deploy", L"WIZ-A", true));
    EXPECT_EQ(SyncProperty(L"Deploy"), L"WIZ-A");
    EXPECT_EQ(SyncProperty(L"Deploy_RefCount"), L"1");

    // A second owner is refused either way, even when it arrives granted, and nothing moves.
    EXPECT_FALSE(RequestLock(L"Deploy", L"WIZ-B", true));
    EXPECT_FALSE(RequestLock(L"Deploy", L"WIZ-B", false, true));
    EXPECT_FALSE(RequestLock(L"Deploy", L"wiz-a", true));
    EXPECT_EQ(SyncProperty(L"Deploy"), L"WIZ-A");
    EXPECT_EQ(SyncProperty(L"Deploy_RefCount"), L"1");

    // Another lock is another owner's business.
    EXPECT_TRUE(RequestLock(L"Backup", L"WIZ-B", true));
    EXPECT_EQ(SyncProperty(L"Backup"), L"WIZ-B");

    EXPECT_TRUE(RequestLock(L"Deploy", L"WIZ-A", true));
    EXPECT_EQ(SyncProperty(L"Deploy_RefCount"), L"2");
    EXPECT_TRUE(RequestLock(L"Deploy", L"WIZ-A", false));
    EXPECT_EQ(SyncProperty(L"Deploy"), L"WIZ-A");
    EXPECT_EQ(SyncProperty(L"Deploy_RefCount"), L"1");
    EXPECT_TRUE(RequestLock(L"Deploy", L"WIZ-A", false));
    EXPECT_EQ(GetFrameworkGlobalVariables()->m_PropertyManager.IsPropertyExist(
                  kSyncNamespace + std::wstring(L"Deploy")),
              0);
    EXPECT_EQ(GetFrameworkGlobalVariables()->m_PropertyManager.IsPropertyExist(
                  kSyncNamespace + std::wstring(L"Deploy_RefCount")),
              0);

    // Free again: the other owner gets it.
    EXPECT_TRUE(RequestLock(L"Deploy", L"WIZ-B", true));
    EXPECT_EQ(SyncProperty(L"Deploy"), L"WIZ-B");
    EXPECT_EQ(SyncProperty(L"Backup"), L"WIZ-B");

    // A request without a name or an owner holds nothing.
    CLogCapture log;
    EXPECT_FALSE(RequestLock(L"Empty", L"", true, true));
    EXPECT_FALSE(RequestLock(L"", L"WIZ-A", true));
    EXPECT_EQ(SyncProperty(L"Empty_RefCount"), L"");
    EXPECT_EQ(log.CountPrefix(L"Server synchronization lock request refused."), 2);
    ClearSyncNamespace();
}

TEST(ServerSync, LockHasOneHolderAcrossThreads)
{
    ClearSyncNamespace();
    std::atomic<int> holders{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> acquired{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back(
            [&, t]
            {
                std::wstring owner = L"OWNER-" + std::to_wstring(t);
                for (int round = 0; round < 20; ++round)
                {
                    CTaskServerSyncLockRequest request;
                    request.m_strLockName = L"Shared";
                    request.m_strOwner = owner;
                    request.m_bAcquire = true;
                    for (;;)
                    {
                        request.RunTaskOnLocal();
                        if (request.m_bGranted)
                            break;
                        std::this_thread::yield();
                    }
                    if (holders.fetch_add(1) != 0)
                        ++overlaps;
                    ++acquired;
                    holders.fetch_sub(1);
                    request.m_bAcquire = false;
                    request.RunTaskOnLocal();
                    if (!request.m_bGranted)
                        ++overlaps;
                }
            });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(acquired.load(), 120);
    EXPECT_EQ(SyncProperty(L"Shared"), L"");
    ClearSyncNamespace();
}

TEST(ServerSync, VariablesRoundTripThroughTheWire)
{
    ClearSyncNamespace();
    GetFrameworkGlobalVariables()->m_PropertyManager.SetProperty(L"Framework\\Other\\Outside",
                                                                 L"hidden");
    const std::map<std::wstring, std::wstring> values = {{L"Alpha", L"1"},
                                                         {L"Path", L"C:\\Temp\\a=b"},
                                                         {L"Lines", L"first\nsecond\r\nthird"},
                                                         {L"Unicode", L"\u00e9\u4e2d"}};
    for (const auto& [name, value] : values)
    {
        CTaskServerSyncSetSingleVariable set;
        set.m_strName = name;
        set.m_strValue = value;
        RunOverWire(&set);
        EXPECT_EQ(set.m_bIsTaskExecuted, 1);
        EXPECT_EQ(SyncProperty(name), value);
    }
    // An empty value removes the variable; an empty name sets nothing.
    CTaskServerSyncSetSingleVariable remove;
    remove.m_strName = L"Alpha";
    RunOverWire(&remove);
    CLogCapture log;
    CTaskServerSyncSetSingleVariable nameless;
    nameless.m_strValue = L"orphan";
    RunOverWire(&nameless);
    EXPECT_EQ(log.CountUnexpected(L"CTaskServerSyncSetSingleVariable::OnRun"), 1);

    CTaskServerSyncGetAllVariables get;
    RunOverWire(&get);
    EXPECT_EQ(get.m_bIsTaskExecuted, 1);
    ASSERT_FALSE(get.m_strVariables.empty());
    CPersistentStorageMemory storage;
    storage.SetMemoryDataFromText(get.m_strVariables);
    CPropertyManager read;
    ASSERT_EQ(CSerializer::ConstructObjectFromStorage(&read, &storage), 1);
    std::vector<CPropertyItem> items;
    read.EnumerateProperties(&items);
    std::map<std::wstring, std::wstring> got;
    for (const CPropertyItem& item : items)
        got[item.m_strName] = item.m_strValue;
    // The view's items keep their full names, so a reader can load them into its own store.
    std::map<std::wstring, std::wstring> expected;
    for (const auto& [name, value] : values)
        if (name != L"Alpha")
            expected[kSyncNamespace + name] = value;
    EXPECT_EQ(got, expected);
    GetFrameworkGlobalVariables()->m_PropertyManager.SetProperty(L"Framework\\Other\\Outside", L"");
    ClearSyncNamespace();
}

// ---- Tasks run on the wizard --------------------------------------------------------------------

class CWizardRecorder : public IEventSupportCallback
{
public:
    void OnFire(CEventSupportArgs* args) override
    {
        if (auto* progress = dynamic_cast<CArgVane52PackageProgressChanged*>(args))
            m_Progress.push_back(*progress);
        else if (auto* result = dynamic_cast<CArgVane52PackageFinalResult*>(args))
            m_Results.push_back(*result);
        else if (auto* logon = dynamic_cast<CArgVane52RetrieveLogonAccount*>(args))
        {
            m_LogonServers.push_back(logon->m_strServerName);
            logon->m_strLogonUsername = L"CONTOSO\\deployer";
            logon->m_strLogonPassword = L"Pa55!word-xyz";
        }
    }

    std::vector<CArgVane52PackageProgressChanged> m_Progress;
    std::vector<CArgVane52PackageFinalResult> m_Results;
    std::vector<std::wstring> m_LogonServers;
};

TEST(WizardTasks, RaiseTheirMessagesWithTheSendingServer)
{
    CWizardRecorder recorder;
    CAutoMessageRegister progressHook, resultHook, logonHook;
    progressHook.RegisterReceiver(L"MESSAGE_VANE52_PACKAGE_PROGRESS_CHANGED", &recorder);
    resultHook.RegisterReceiver(L"MESSAGE_VANE52_PACKAGE_EXECUTION_FINISHED", &recorder);
    logonHook.RegisterReceiver(L"MESSAGE_VANE52_RETRIEVE_LOGON_ACCOUNT", &recorder);
    CLogCapture log;

    CTaskSendPackageInstallProgress progress;
    progress.m_strTargetServerName = L"EXCH01";
    progress.m_bIsErrorMessage = true;
    progress.m_strMessage = L"Disk is full";
    RunOverWire(&progress);
    ASSERT_EQ(recorder.m_Progress.size(), 1u);
    EXPECT_EQ(recorder.m_Progress[0].m_strServerName, L"EXCH01");
    EXPECT_TRUE(recorder.m_Progress[0].m_bIsErrorMessage);
    EXPECT_EQ(recorder.m_Progress[0].m_strLastProgressMessage, L"Disk is full");
    EXPECT_EQ(log.Count(ADVLOG_ENTRY_ENTERED, ADVLOG_SEVERITY_NOISY,
                        L"CTaskSendPackageInstallProgress::OnRun"),
              1);
    EXPECT_EQ(log.Count(ADVLOG_ENTRY_LEFT, ADVLOG_SEVERITY_NOISY,
                        L"CTaskSendPackageInstallProgress::OnRun"),
              1);

    CTaskSendPackageFinalResult result;
    result.m_strTargetServerName = L"EXCH02";
    result.m_bIsSucceed = true;
    result.m_strFinalMessage = L"Installed";
    RunOverWire(&result);
    ASSERT_EQ(recorder.m_Results.size(), 1u);
    EXPECT_EQ(recorder.m_Results[0].m_strServerName, L"EXCH02");
    EXPECT_TRUE(recorder.m_Results[0].m_bIsSucceed);
    EXPECT_EQ(recorder.m_Results[0].m_strFinalResultMessage, L"Installed");
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_DEBUG,
                        L"The install/uninstall action is completed. Server is EXCH02, final "
                        L"result is 1 (0:Fail, "
                        L"1:Succeed)"),
              1);
    EXPECT_EQ(
        log.Count(ADVLOG_ENTRY_LEFT, ADVLOG_SEVERITY_NOISY, L"CTaskSendPackageFinalResult::OnRun"),
        1);

    CTaskSendPackageDebugLog debug;
    debug.m_strTargetServerName = L"EXCH03";
    debug.m_iSeverity = ADVLOG_SEVERITY_WARNING;
    debug.m_strText = L"free space is low";
    RunOverWire(&debug);
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_WARNING, L"EXCH03:free space is low"), 1);
    EXPECT_EQ(
        log.Count(ADVLOG_ENTRY_ENTERED, ADVLOG_SEVERITY_NOISY, L"CTaskSendPackageDebugLog::OnRun"),
        1);

    // The logon account comes from the receiver and travels back to the sender.
    CTaskRetrieveLogonAccount logon;
    logon.m_strTargetServerName = L"EXCH04";
    RunOverWire(&logon);
    EXPECT_EQ(logon.m_bIsTaskExecuted, 1);
    EXPECT_EQ(recorder.m_LogonServers, std::vector<std::wstring>{L"EXCH04"});
    EXPECT_EQ(logon.m_strLogonUsername, L"CONTOSO\\deployer");
    EXPECT_EQ(logon.m_strLogonPassword, L"Pa55!word-xyz");
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_DEBUG, L"CTaskRetrieveLogonAccount::OnRun() is called"),
              1);
    EXPECT_EQ(
        log.Count(ADVLOG_ENTRY_ENTERED, ADVLOG_SEVERITY_NOISY, L"CTaskRetrieveLogonAccount::OnRun"),
        0);

    // Without a server there is nobody to ask for: the branch is logged and nothing else happens.
    log.Clear();
    CTaskRetrieveLogonAccount nameless;
    RunOverWire(&nameless);
    EXPECT_EQ(recorder.m_LogonServers.size(), 1u);
    EXPECT_EQ(nameless.m_strLogonUsername, L"");
    EXPECT_EQ(nameless.m_strLogonPassword, L"");
    EXPECT_EQ(log.CountUnexpected(L"CTaskRetrieveLogonAccount::OnRun"), 1);
    EXPECT_EQ(log.CountPrefix(L"strMsgName='MESSAGE_VANE52_RETRIEVE_LOGON_ACCOUNT'"), 0);

    // The message log shows the account, never its password.
    for (const testsupport::SLogLine& line : log.m_Lines)
        EXPECT_EQ(line.message.find(L"Pa55!word-xyz"), std::wstring::npos)
            << winport::ToUtf8(line.message);
}

TEST(WizardTasks, WireFormAndDumpTexts)
{
    // Own fields follow the class name, executed flag and server, in their order; flags are ints.
    CTaskSendPackageInstallProgress progress;
    progress.m_strTargetServerName = L"S";
    progress.m_bIsErrorMessage = true;
    progress.m_strMessage = L"m";
    EXPECT_EQ(WireItems(&progress), (std::vector<std::wstring>{L"CTaskSendPackageInstallProgress",
                                                               L"0", L"S", L"1", L"m"}));
    CTaskSendPackageFinalResult result;
    result.m_strFinalMessage = L"done";
    EXPECT_EQ(WireItems(&result), (std::vector<std::wstring>{L"CTaskSendPackageFinalResult", L"0",
                                                             L"", L"0", L"done"}));
    CTaskSendPackageDebugLog debug;
    debug.m_iSeverity = 50;
    debug.m_strText = L"t";
    EXPECT_EQ(WireItems(&debug),
              (std::vector<std::wstring>{L"CTaskSendPackageDebugLog", L"0", L"", L"50", L"t"}));
    CTaskRetrieveLogonAccount logon;
    logon.m_strLogonUsername = L"u";
    logon.m_strLogonPassword = L"p";
    EXPECT_EQ(WireItems(&logon),
              (std::vector<std::wstring>{L"CTaskRetrieveLogonAccount", L"0", L"", L"u", L"p"}));
    CTaskServerSyncLockRequest lock;
    lock.m_strLockName = L"L";
    lock.m_strOwner = L"O";
    lock.m_bAcquire = true;
    EXPECT_EQ(WireItems(&lock), (std::vector<std::wstring>{L"CTaskServerSyncLockRequest", L"0", L"",
                                                           L"0", L"L", L"O", L"1"}));
    CTaskServerSyncSetSingleVariable set;
    set.m_strName = L"n";
    set.m_strValue = L"v";
    EXPECT_EQ(WireItems(&set), (std::vector<std::wstring>{L"CTaskServerSyncSetSingleVariable", L"0",
                                                          L"", L"n", L"v"}));
    CTaskBusAgentToSource bus;
    bus.m_strPassenger = CRemoteInstallCommon::GetSerializedTaskString(&set);
    std::vector<std::wstring> busItems = WireItems(&bus);
    ASSERT_EQ(busItems.size(), 4u);
    EXPECT_EQ(busItems[0], L"CTaskBusAgentToSource");
    EXPECT_EQ(busItems[3], bus.m_strPassenger);

    CArgVane52PackageProgressChanged progressArgs;
    progressArgs.m_strServerName = L"EXCH01";
    progressArgs.m_bIsErrorMessage = true;
    progressArgs.m_strLastProgressMessage = L"Copying";
    EXPECT_EQ(progressArgs.DumpObjectToString(),
              L"ServerName:EXCH01, bIsErrorMessage=1, strLastProgressMessage=Copying");
    CArgVane52PackageFinalResult resultArgs;
    resultArgs.m_strServerName = L"EXCH01";
    resultArgs.m_strFinalResultMessage = L"Failed";
    EXPECT_EQ(resultArgs.DumpObjectToString(),
              L"ServerName:EXCH01, bIsSucceed=0, strFinalResultMessage=Failed");
    CArgVane52RetrieveLogonAccount logonArgs;
    logonArgs.m_strServerName = L"EXCH01";
    logonArgs.m_strLogonUsername = L"CONTOSO\\deployer";
    logonArgs.m_strLogonPassword = L"Secret-123";
    EXPECT_EQ(logonArgs.DumpObjectToString(),
              L"ServerName:EXCH01, strLogonAccount=CONTOSO\\deployer");
}

} // namespace
