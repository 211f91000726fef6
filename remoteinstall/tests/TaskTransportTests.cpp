// Tasks and their wire form, the transport and the backwards queue inside one process, and the
// heartbeat's time limits.
#include "framework/CFrameworkGlobalVariables.h"
#include "framework/CStringSupport.h"
#include "remoteinstall/BackwardsTaskQueue.h"
#include "remoteinstall/CommunicationPeer.h"
#include "remoteinstall/PackageStatusReport.h"
#include "remoteinstall/RemoteInstallRpc.h"
#include "testsupport/LogCapture.h"
#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"
#include "winport/WinString.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

using namespace std::chrono_literals;
using RemoteInstall::CRemoteInstallCommon;
using testsupport::CLogCapture;

// Test tasks live outside any namespace: the wire names a class by its bare name.
// A task whose run throws the framework's exception.
class CThrowingTask : public ITaskSupport
{
protected:
    void OnRun() override { throw CRPCException(RPC_S_CALL_FAILED); }
};
// A test task as a module's own receiver makes it.
class CReceiverTestTask : public CTestTask
{
};

namespace
{

// Answers the reflection message for the test's own classes, as a module of the process would.
class CTestReflection : public IEventSupportCallback
{
public:
    CTestReflection()
    {
        GetFrameworkGlobalVariables()->m_MessageSupport.RegisterReceiver(
            L"MESSAGE_VANE52_CLASS_REFLECTION", this);
    }
    ~CTestReflection() override
    {
        GetFrameworkGlobalVariables()->m_MessageSupport.UnregisterReceiver(
            L"MESSAGE_VANE52_CLASS_REFLECTION", this);
    }
    void OnFire(CEventSupportArgs* args) override
    {
        auto* reflection = static_cast<CArgVane52ClassReflection*>(args);
        if (reflection->m_pObject != nullptr)
            return;
        if (reflection->m_strClassName == L"CThrowingTask")
            reflection->m_pObject = new CThrowingTask();
        else if (reflection->m_strClassName == L"CTestTask" && m_bTakeTestTask)
            reflection->m_pObject = new CReceiverTestTask();
    }
    bool m_bTakeTestTask = false;
};

std::string Narrow(const std::wstring& text)
{
    return winport::ToUtf8(text);
}

std::wstring FirstLine(const std::wstring& text)
{
    return text.substr(0, text.find_first_of(L"\r\n"));
}

} // namespace

TEST(Tasks, WireFormReflectionAndResults)
{
    CLogCapture log;
    CTestReflection receiver;

    // A round trip: serialize, rebuild by name, run, read the result back into the sender's object.
    CTestTask sent;
    sent.m_strTargetServerName = L"SRV1";
    std::wstring text = CRemoteInstallCommon::GetSerializedTaskString(&sent);
    EXPECT_EQ(FirstLine(text), L"CTestTask");
    ITaskSupport* rebuilt = CRemoteInstallCommon::DeserializeNewTaskFromString(text);
    ASSERT_NE(rebuilt, nullptr);
    EXPECT_EQ(rebuilt->m_strTargetServerName, L"SRV1");
    rebuilt->RunTaskOnLocal();
    ASSERT_TRUE(CRemoteInstallCommon::DeserializeTaskResultFromString(
        &sent, CRemoteInstallCommon::GetSerializedTaskString(rebuilt)));
    delete rebuilt;
    EXPECT_EQ(sent.m_strText, L"Changed.");
    EXPECT_EQ(sent.m_bIsTaskExecuted, 1);
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_DEBUG, L"CTestTask::OnRun() is called"));

    // A flag that arrives set stays set without a run.
    ITaskSupport* again = CRemoteInstallCommon::DeserializeNewTaskFromString(
        CRemoteInstallCommon::GetSerializedTaskString(&sent));
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->m_bIsTaskExecuted, 1);
    delete again;

    // Nobody knows the class: null and the line with its name.
    CTestTask unknown;
    std::wstring renamed = L"CNoSuchTask" + text.substr(text.find_first_of(L"\r\n"));
    log.Clear();
    EXPECT_EQ(CRemoteInstallCommon::DeserializeNewTaskFromString(renamed), nullptr);
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_ERROR,
                        L"Failed to do class reflection. strTaskClassName=CNoSuchTask"));
    EXPECT_TRUE(log.HasUnexpected(L"ITaskSupport::NewInstanceOfTask"));

    // A class name whose first line is empty: null without trying the built-in names.
    log.Clear();
    CPersistentStorageMemory broken;
    for (const wchar_t* item : {L"\nCTestTask", L"0", L""})
        broken.WriteString(item);
    EXPECT_EQ(CRemoteInstallCommon::DeserializeNewTaskFromString(broken.GetMemoryDataAsText()),
              nullptr);
    EXPECT_EQ(log.CountPrefix(L"Failed to do class reflection"), 0);
    EXPECT_TRUE(log.HasUnexpected(L"ITaskSupport::NewInstanceOfTask"));
    EXPECT_EQ(CRemoteInstallCommon::DeserializeNewTaskFromString(L""), nullptr);

    // A receiver that answers first wins even for a built-in name.
    receiver.m_bTakeTestTask = true;
    ITaskSupport* fromReceiver = CRemoteInstallCommon::DeserializeNewTaskFromString(text);
    EXPECT_NE(dynamic_cast<CReceiverTestTask*>(fromReceiver), nullptr);
    delete fromReceiver;

    // Every built-in class rebuilds under its own name.
    for (const wchar_t* name :
         {L"ITaskSupport", L"CHeartbeatTask", L"CQueryBackwardsTask", L"CCancelQueryBackwardsTask",
          L"CSendBackTaskResultTask", L"CTaskBusAgentToSource", L"CTaskRetrieveLogonAccount",
          L"CTaskSendPackageInstallProgress", L"CTaskSendPackageFinalResult",
          L"CTaskSendPackageDebugLog", L"CTaskServerSyncLockRequest",
          L"CTaskServerSyncGetAllVariables", L"CTaskServerSyncSetSingleVariable"})
    {
        ITaskSupport* task = CRemoteInstallCommon::DeserializeNewTaskFromString(
            std::wstring(name) + L"\n0\n" + std::wstring(10, L'\n'));
        ASSERT_NE(task, nullptr) << Narrow(name);
        EXPECT_EQ(CStringSupport::GetClassNameThroughTypeInfo(typeid(*task)), name);
        delete task;
    }

    // A reflection carrier is read-only, and a result that cannot be read changes nothing.
    CTaskReflectionSupport carrier;
    CPersistentStorageMemory storage;
    EXPECT_EQ(CSerializer::SerializeObjectToStorage(&carrier, &storage), 0);
    EXPECT_FALSE(CRemoteInstallCommon::DeserializeTaskResultFromString(nullptr, text));

    // The periodic tasks leave no line in the message log.
    CArgVane52ClassReflection heartbeat(L"CHeartbeatTask");
    EXPECT_EQ(heartbeat.DumpObjectToString(), L"<notprint>");
    CArgVane52ClassReflection test(L"CTestTask");
    EXPECT_EQ(test.DumpObjectToString().rfind(L"Class:CTestTask, pObject=", 0), 0u);
}

TEST(Tasks, PoolRunsInOrderAndLetsABusyWorkerGo)
{
    struct SUnit : IExecutionUnitForBlockOperation
    {
        std::function<void()> work;
        void OnRunBlockOperation() override { work(); }
    };
    std::mutex lock;
    std::vector<int> order;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> ran{0};
    std::vector<std::unique_ptr<SUnit>> units;
    for (int i = 0; i < 5; ++i)
    {
        units.push_back(std::make_unique<SUnit>());
        units.back()->work = [&, i]
        {
            {
                std::lock_guard<std::mutex> guard(lock);
                order.push_back(i);
            }
            ++ran;
        };
    }
    SUnit blocker;
    blocker.work = [&] { released.wait(); };
    {
        CThreadPoolForBlockOperation pool;
        pool.Init(1);
        for (auto& unit : units)
            pool.PutExecutionUnitToQueue(unit.get());
        ASSERT_TRUE(testsupport::WaitFor([&] { return ran == 5; }, 10s));
        EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));

        // A worker busy at Uninit does not hold it up; what is still queued is not run.
        pool.PutExecutionUnitToQueue(&blocker);
        std::this_thread::sleep_for(50ms);
        pool.PutExecutionUnitToQueue(units[0].get());
        auto start = std::chrono::steady_clock::now();
        pool.Uninit();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    }
    release.set_value();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(ran, 5);
}

// ---- The transport in one process ---------------------------------------------------------------

TEST(Transport, LocalRoundTripsFailuresAndSharedListening)
{
    CLogCapture log;
    CTestReflection receiver;
    CCommPeerParameter serverParameter(RemoteInstall::LOCAL, L"TransportTest");
    auto server = std::make_unique<CCommunicationPeerSupport>(serverParameter);
    ASSERT_EQ(server->GetErrorCode(), 0u) << Narrow(server->GetErrorMessage());
    EXPECT_EQ(server->SendAsyncTask(nullptr), 0); // a passive peer sends nothing by itself

    // An endpoint alone: an active local peer, no query thread, no heartbeat.
    CCommPeerParameter clientParameter(L"TransportTest");
    EXPECT_EQ(clientParameter.m_iMode, 1);
    EXPECT_EQ(clientParameter.m_Protocol, RemoteInstall::LOCAL);
    CCommunicationPeerSupport client(clientParameter);
    CCommPeerParameter again(L"TransportTest");
    EXPECT_EQ(client.Init(again), 1);

    CTestTask task;
    EXPECT_EQ(client.SendTask(&task), 1);
    EXPECT_EQ(task.m_strText, L"Changed.");
    EXPECT_EQ(task.m_bIsTaskExecuted, 1);
    EXPECT_EQ(log.CountPrefix(L"Send query backwards task"), 0);

    // Asynchronous: the result arrives on a run-time thread.
    CTestTask later;
    ASSERT_EQ(client.SendAsyncTask(&later), 1);
    EXPECT_TRUE(testsupport::WaitFor([&] { return later.m_bIsTaskExecuted == 1; }, 10s));
    EXPECT_EQ(later.m_strText, L"Changed.");

    // A task the server cannot rebuild: no result.
    log.Clear();
    class CUnknownToServer : public ITaskSupport
    {
    } unknown;
    EXPECT_EQ(client.SendTask(&unknown), 0);
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_ERROR, L"CRPCClient::SendTask(), return data is empty"));
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_ERROR, L"Send task failed."));
    EXPECT_EQ(unknown.m_bIsTaskExecuted, 0);

    // A run that throws: no result, the server logs the exception's text.
    log.Clear();
    CThrowingTask throwing;
    EXPECT_EQ(client.SendTask(&throwing), 0);
    EXPECT_TRUE(log.HasStart(ADVLOG_SEVERITY_ERROR, L"Internal_Server_SendRequest(), "));

    // A second server kind in the process only counts; the first to leave keeps listening.
    {
        CCommPeerParameter remoteParameter(RemoteInstall::REMOTE, L"TransportTestRemote");
        CCommunicationPeerSupport remote(remoteParameter);
        EXPECT_EQ(remote.GetErrorCode(), 0u);
        EXPECT_TRUE(
            log.Has(ADVLOG_SEVERITY_DEBUG, L"CRPCServer::Listen(), s_iListeningSrvCount: 2"));
    }
    EXPECT_TRUE(
        log.Has(ADVLOG_SEVERITY_DEBUG, L"CRPCServer::Shutdown(), 1 server still listening."));
    EXPECT_EQ(RpcMgmtIsServerListening(nullptr), RPC_S_OK);
    CTestTask afterwards;
    EXPECT_EQ(client.SendTask(&afterwards), 1);
    EXPECT_EQ(afterwards.m_strText, L"Changed.");

    // When the last server goes, listening stops; the endpoint stays the process's, so the next
    // server's registration of it is accepted with a warning, and listening starts again.
    server.reset();
    EXPECT_EQ(RpcMgmtIsServerListening(nullptr), RPC_S_NOT_LISTENING);
    log.Clear();
    server = std::make_unique<CCommunicationPeerSupport>(serverParameter);
    EXPECT_EQ(server->GetErrorCode(), 0u) << Narrow(log.Dump());
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_WARNING, L"Register RPC Server, duplicate endpoint"))
        << Narrow(log.Dump());
    CTestTask reborn;
    EXPECT_EQ(client.SendTask(&reborn), 1);
    EXPECT_EQ(reborn.m_strText, L"Changed.");

    // A client whose binding cannot be made fails at once and keeps the reason.
    CCommPeerParameter badParameter(L"bad[server", L"TransportTest");
    CCommunicationPeerSupport bad(badParameter);
    EXPECT_EQ(bad.Init(badParameter), 0);
    EXPECT_NE(bad.GetErrorCode(), 0u);
    EXPECT_FALSE(bad.GetErrorMessage().empty());
    CTestTask never;
    EXPECT_EQ(bad.SendTask(&never), 0);
}

// What a hostile caller may send to an agent's endpoints: each gets no result and a line.
TEST(Transport, HostileRequestTextsGetNoResult)
{
    CLogCapture log;
    CCommPeerParameter localParameter(RemoteInstall::LOCAL, L"HostileLocal");
    CCommunicationPeerSupport local(localParameter);
    CCommPeerParameter remoteParameter(RemoteInstall::REMOTE, L"HostileRemote");
    CCommunicationPeerSupport remote(remoteParameter);
    ASSERT_EQ(local.GetErrorCode() + remote.GetErrorCode(), 0u);
    RPC_BINDING_HANDLE binding = nullptr;
    ASSERT_EQ(RpcBindingFromStringBindingW(const_cast<RPC_WSTR>(L"ncalrpc:[HostileLocal]"), &binding),
              RPC_S_OK);
    auto send = [&](const std::wstring& request)
    {
        int32_t length = -1;
        wchar_t* result = nullptr;
        LocalSendRequest(binding, request.c_str(), &length, &result);
        free(result);
        return length;
    };

    CTestTask whole;
    std::wstring text = CRemoteInstallCommon::GetSerializedTaskString(&whole);
    EXPECT_GT(send(text), 0);
    // Garbage, and a known class cut short (it would run with its fields at their defaults).
    for (const std::wstring& bad : {std::wstring(L"\x01\x7f garbage \\x00zz"), std::wstring(L"CTestTask\n0\n"),
                                    std::wstring(L"\n\n\n"), std::wstring()})
    {
        log.Clear();
        EXPECT_EQ(send(bad), 0) << Narrow(bad);
        EXPECT_TRUE(log.HasStart(ADVLOG_SEVERITY_ERROR, L"Deserialize task failed: ")) << Narrow(log.Dump());
    }
    // A carrier inside a carrier would have the wizard wait on a queue of its own.
    CTaskBusAgentToSource inner, outer;
    CTestTask report;
    inner.m_strPassenger = CRemoteInstallCommon::GetSerializedTaskString(&report);
    std::wstring nested = CRemoteInstallCommon::GetSerializedTaskString(&inner);
    for (int depth = 0; depth < 20; ++depth)
    {
        outer.m_strPassenger = nested;
        nested = CRemoteInstallCommon::GetSerializedTaskString(&outer);
    }
    log.Clear();
    EXPECT_EQ(send(nested), 0);
    EXPECT_TRUE(log.HasStart(ADVLOG_SEVERITY_ERROR, L"Internal_Server_SendRequest(), CTaskBusAgentToSource::OnRun, "
                                                    L"a passenger of class CTaskBusAgentToSource"))
        << Narrow(log.Dump());
    EXPECT_EQ(CPassiveTaskList::GetTaskCount(), 0u);
    RpcBindingFree(&binding);

    // Over the remote interface's 10 MiB, refused unread.
    ASSERT_EQ(RpcBindingFromStringBindingW(const_cast<RPC_WSTR>(L"ncacn_np:[\\pipe\\HostileRemote]"), &binding),
              RPC_S_OK);
    std::wstring huge = L"CTestTask\n0\n\n" + std::wstring(6 << 20, L'x') + L"\n";
    RPC_STATUS status = RPC_S_OK;
    int32_t length = -1;
    wchar_t* result = nullptr;
    RpcTryExcept
    {
        RemoteSendRequest(binding, huge.c_str(), &length, &result);
    }
    RpcExcept(EXCEPTION_EXECUTE_HANDLER)
    {
        status = RpcExceptionCode();
    }
    RpcEndExcept;
    EXPECT_EQ(status, RPC_S_ACCESS_DENIED);
    EXPECT_EQ(result, nullptr);
    // and the endpoint serves on.
    length = 0;
    RemoteSendRequest(binding, text.c_str(), &length, &result);
    EXPECT_GT(length, 0);
    free(result);
    RpcBindingFree(&binding);
}

TEST(Transport, TheBackwardsQueueHandsOutInOrderAndStops)
{
    CLogCapture log;
    CTestTask first, second;
    first.m_strText = L"first";
    second.m_strText = L"second";
    auto pushFirst =
        std::async(std::launch::async, [&] { return CPassiveTaskList::PushTask(&first); });
    ASSERT_TRUE(testsupport::WaitFor([] { return CPassiveTaskList::GetTaskCount() == 1; }, 10s));
    auto pushSecond =
        std::async(std::launch::async, [&] { return CPassiveTaskList::PushTask(&second); });
    ASSERT_TRUE(testsupport::WaitFor([] { return CPassiveTaskList::GetTaskCount() == 2; }, 10s));

    // Each query takes the oldest waiting entry; its answer completes that sender alone.
    for (CTestTask* expected : {&first, &second})
    {
        CQueryBackwardsTask query;
        query.RunTaskOnLocal();
        ASSERT_EQ(query.m_iWaitResult, QUERY_WAIT_TASK);
        ITaskSupport* carried =
            CRemoteInstallCommon::DeserializeNewTaskFromString(query.m_strTaskText);
        ASSERT_NE(carried, nullptr);
        EXPECT_EQ(static_cast<CTestTask*>(carried)->m_strText, expected->m_strText);
        carried->RunTaskOnLocal();
        CSendBackTaskResultTask sendBack;
        sendBack.m_strResultText = CRemoteInstallCommon::GetSerializedTaskString(carried);
        delete carried;
        sendBack.RunTaskOnLocal();
    }
    EXPECT_TRUE(pushFirst.get());
    EXPECT_TRUE(pushSecond.get());
    EXPECT_EQ(first.m_strText, L"Changed.");
    EXPECT_EQ(second.m_strText, L"Changed.");
    EXPECT_EQ(log.Count(ADVLOG_SEVERITY_DEBUG, L"Task complete."), 2);

    // A cancel for a name nobody waits on does nothing else.
    CCancelQueryBackwardsTask cancelNobody;
    cancelNobody.m_strCancelEventName = L"CANCEL_QUERY_TASK_nobody";
    cancelNobody.RunTaskOnLocal();

    // A query cancelled by its name ends with 2.
    // (The test holds the event too, so the cancel finds it whenever the query starts waiting.)
    HANDLE held = CreateEventW(nullptr, TRUE, FALSE, L"CANCEL_QUERY_TASK_test");
    CQueryBackwardsTask cancelled;
    cancelled.m_strCancelEventName = L"CANCEL_QUERY_TASK_test";
    auto waiting = std::async(std::launch::async, [&] { cancelled.RunTaskOnLocal(); });
    CCancelQueryBackwardsTask cancel;
    cancel.m_strCancelEventName = L"CANCEL_QUERY_TASK_test";
    cancel.RunTaskOnLocal();
    ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(cancelled.m_iWaitResult, QUERY_WAIT_CANCELLED);
    EXPECT_TRUE(cancelled.m_strTaskText.empty());
    CloseHandle(held);

    // The stop event ends a waiting push (false) and every query after it (3); the entry of the
    // push that gave up is never handed out.
    CTestTask abandoned;
    auto push =
        std::async(std::launch::async, [&] { return CPassiveTaskList::PushTask(&abandoned); });
    ASSERT_TRUE(testsupport::WaitFor([] { return CPassiveTaskList::GetTaskCount() == 1; }, 10s));
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, CPassiveTaskList::kStopEventName);
    SetEvent(stop);
    ASSERT_EQ(push.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(push.get());
    EXPECT_EQ(CPassiveTaskList::GetTaskCount(), 0u); // the abandoned entry left with its sender
    EXPECT_TRUE(
        log.Has(ADVLOG_SEVERITY_DEBUG, L"Got process quit event, stop waiting for passive tasks."));
    CQueryBackwardsTask afterStop;
    afterStop.RunTaskOnLocal();
    EXPECT_EQ(afterStop.m_iWaitResult, QUERY_WAIT_AGENT_STOPPING);
    EXPECT_TRUE(afterStop.m_strTaskText.empty());
    ResetEvent(stop);
    CloseHandle(stop);

    // Once no wizard fetches, a waiting push and every later one fail at once.
    CTestTask unread, late;
    push = std::async(std::launch::async, [&] { return CPassiveTaskList::PushTask(&unread); });
    ASSERT_TRUE(testsupport::WaitFor([] { return CPassiveTaskList::GetTaskCount() == 1; }, 10s));
    CPassiveTaskList::Abandon();
    ASSERT_EQ(push.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(push.get());
    EXPECT_FALSE(CPassiveTaskList::PushTask(&late));
    EXPECT_EQ(CPassiveTaskList::GetTaskCount(), 0u);
}

TEST(Heartbeat, TheAgentTimesOutBetweenNMinusOneAndNPeriods)
{
    const int count = 3;
    const auto period = 200ms;
    HANDLE fired = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::chrono::steady_clock::time_point lastHeartbeat;
    {
        CAgentTimeoutClean watch(count, static_cast<int>(period.count()), fired);
        // Heartbeats keep it quiet.
        for (int i = 0; i < 6; ++i)
        {
            CHeartbeatTask heartbeat;
            heartbeat.RunTaskOnLocal();
            std::this_thread::sleep_for(period / 2);
        }
        EXPECT_EQ(WaitForSingleObject(fired, 0), static_cast<DWORD>(WAIT_TIMEOUT));
        CHeartbeatTask last;
        last.RunTaskOnLocal();
        lastHeartbeat = std::chrono::steady_clock::now();
        ASSERT_EQ(WaitForSingleObject(fired, 10000), WAIT_OBJECT_0);
    }
    auto silence = std::chrono::steady_clock::now() - lastHeartbeat;
    EXPECT_GE(silence, (count - 1) * period - 20ms);
    EXPECT_LE(silence, count * period + 150ms); // the guard is for a loaded machine's wake-up
    CloseHandle(fired);
}
