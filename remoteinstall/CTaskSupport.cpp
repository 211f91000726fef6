// Tasks and their reflection by class name, the wire form of a task, the block-operation pool.
#include "remoteinstall/CTaskSupport.h"

#include "framework/CAdvancedLog.h"
#include "framework/CFrameworkGlobalVariables.h"
#include "framework/CStringSupport.h"
#include "remoteinstall/BackwardsTaskQueue.h"
#include "remoteinstall/CommunicationPeer.h"
#include "remoteinstall/PackageStatusReport.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// ---- ITaskSupport -----------------------------------------------------------------------------

int ITaskSupport::OnSerializeTo(CSerializeStream* stream)
{
    stream->WriteString(CStringSupport::GetClassNameThroughTypeInfo(typeid(*this)));
    stream->WriteInt(m_bIsTaskExecuted);
    stream->WriteString(m_strTargetServerName);
    return 1;
}

int ITaskSupport::OnSerializeFrom(CSerializeStream* stream)
{
    stream->ReadString();
    m_bIsTaskExecuted = stream->ReadInt();
    m_strTargetServerName = stream->ReadString();
    return 1;
}

void ITaskSupport::RunTaskOnLocal()
{
    OnRun();
    m_bIsTaskExecuted = 1;
}

namespace
{
template <class TTask> ITaskSupport* Make()
{
    return new TTask();
}

// The built-in classes, in the order they are tried.
struct SBuiltInTask
{
    const std::type_info& type;
    ITaskSupport* (*make)();
};
const SBuiltInTask kBuiltInTasks[] = {
    {typeid(ITaskSupport), &Make<ITaskSupport>},
    {typeid(CTestTask), &Make<CTestTask>},
    {typeid(CHeartbeatTask), &Make<CHeartbeatTask>},
    {typeid(CQueryBackwardsTask), &Make<CQueryBackwardsTask>},
    {typeid(CCancelQueryBackwardsTask), &Make<CCancelQueryBackwardsTask>},
    {typeid(CSendBackTaskResultTask), &Make<CSendBackTaskResultTask>},
    {typeid(CTaskBusAgentToSource), &Make<CTaskBusAgentToSource>},
    {typeid(CTaskRetrieveLogonAccount), &Make<CTaskRetrieveLogonAccount>},
    {typeid(CTaskSendPackageInstallProgress), &Make<CTaskSendPackageInstallProgress>},
    {typeid(CTaskSendPackageFinalResult), &Make<CTaskSendPackageFinalResult>},
    {typeid(CTaskSendPackageDebugLog), &Make<CTaskSendPackageDebugLog>},
    {typeid(CTaskServerSyncLockRequest), &Make<CTaskServerSyncLockRequest>},
    {typeid(CTaskServerSyncGetAllVariables), &Make<CTaskServerSyncGetAllVariables>},
    {typeid(CTaskServerSyncSetSingleVariable), &Make<CTaskServerSyncSetSingleVariable>},
};
} // namespace

ITaskSupport* ITaskSupport::NewInstanceOfTask(const std::wstring& className)
{
    CArgVane52ClassReflection reflection(className);
    GetFrameworkGlobalVariables()->m_MessageSupport.SendMessageW(L"MESSAGE_VANE52_CLASS_REFLECTION",
                                                                 &reflection);
    if (reflection.m_pObject != nullptr)
        return reflection.m_pObject;

    std::wstring name = className.substr(0, className.find_first_of(L"\r\n"));
    if (name.empty())
    {
        ADVLOG_UNEXPECTED_BRANCH(L"ITaskSupport::NewInstanceOfTask");
        return nullptr;
    }
    for (const SBuiltInTask& builtIn : kBuiltInTasks)
        if (CStringSupport::GetClassNameThroughTypeInfo(builtIn.type) == name)
            return builtIn.make();
    ADVLOG(ADVLOG_SEVERITY_ERROR, L"Failed to do class reflection. strTaskClassName=%s",
           name.c_str());
    ADVLOG_UNEXPECTED_BRANCH(L"ITaskSupport::NewInstanceOfTask");
    return nullptr;
}

// ---- CTestTask --------------------------------------------------------------------------------

int CTestTask::OnSerializeTo(CSerializeStream* stream)
{
    ITaskSupport::OnSerializeTo(stream);
    stream->WriteString(m_strText);
    return 1;
}

int CTestTask::OnSerializeFrom(CSerializeStream* stream)
{
    ITaskSupport::OnSerializeFrom(stream);
    m_strText = stream->ReadString();
    return 1;
}

void CTestTask::OnRun()
{
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"%s() is called", L"CTestTask::OnRun");
    m_strText = L"Changed.";
}

// ---- Reflection -------------------------------------------------------------------------------

int CTaskReflectionSupport::OnSerializeTo(CSerializeStream*)
{
    ADVLOG_UNEXPECTED_BRANCH(L"CTaskReflectionSupport::OnSerializeTo");
    return 0;
}

int CTaskReflectionSupport::OnSerializeFrom(CSerializeStream* stream)
{
    m_strClassName.clear();
    m_Storage.Clear();
    m_Storage.OpenStorage(0);
    bool first = true;
    while (stream->IsHaveDataForRead())
    {
        std::wstring item = stream->ReadString();
        m_Storage.WriteString(item);
        if (first)
            m_strClassName = item;
        first = false;
    }
    m_Storage.CloseStorage();
    return 1;
}

ITaskSupport* CTaskReflectionSupport::RecoverTaskObject()
{
    ITaskSupport* task = ITaskSupport::NewInstanceOfTask(m_strClassName);
    if (task == nullptr)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CTaskReflectionSupport::RecoverTaskObject");
        return nullptr;
    }
    size_t received = m_Storage.GetItemCount();
    if (!CSerializer::ConstructObjectFromStorage(task, &m_Storage))
        ADVLOG_UNEXPECTED_BRANCH(L"CTaskReflectionSupport::RecoverTaskObject");
    // A text cut short would leave fields at their defaults, and the task would run with them:
    // a task must arrive with every item it writes.
    CPersistentStorageMemory written;
    CSerializer::SerializeObjectToStorage(task, &written);
    if (received < written.GetItemCount())
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CTaskReflectionSupport::RecoverTaskObject");
        delete task;
        return nullptr;
    }
    return task;
}

std::wstring CArgVane52ClassReflection::DumpObjectToString()
{
    // The periodic tasks leave no line per call.
    if (CStringSupport::IsArrayContainItem(L"CTaskGetPackageStatusActively,CHeartbeatTask",
                                           m_strClassName))
        return L"<notprint>";
    return CStringSupport::StringFormat(L"Class:%s, pObject=%p", m_strClassName.c_str(),
                                        static_cast<void*>(m_pObject));
}

// ---- The wire form ----------------------------------------------------------------------------

namespace RemoteInstall
{

std::wstring CRemoteInstallCommon::GetSerializedTaskString(ITaskSupport* task)
{
    CPersistentStorageMemory storage;
    CSerializer::SerializeObjectToStorage(task, &storage);
    return storage.GetMemoryDataAsText();
}

ITaskSupport* CRemoteInstallCommon::DeserializeNewTaskFromString(const std::wstring& text)
{
    CPersistentStorageMemory storage;
    storage.SetMemoryDataFromText(text);
    CTaskReflectionSupport reflection;
    if (!CSerializer::ConstructObjectFromStorage(&reflection, &storage))
    {
        ADVLOG_UNEXPECTED_BRANCH(
            L"RemoteInstall::CRemoteInstallCommon::DeserializeNewTaskFromString");
        return nullptr;
    }
    return reflection.RecoverTaskObject();
}

bool CRemoteInstallCommon::DeserializeTaskResultFromString(ITaskSupport* task,
                                                           const std::wstring& text)
{
    CPersistentStorageMemory storage;
    storage.SetMemoryDataFromText(text);
    if (task == nullptr || !CSerializer::ConstructObjectFromStorage(task, &storage))
    {
        ADVLOG_UNEXPECTED_BRANCH(
            L"RemoteInstall::CRemoteInstallCommon::DeserializeTaskResultFromString");
        return false;
    }
    return true;
}

} // namespace RemoteInstall

// ---- The pool ---------------------------------------------------------------------------------

struct CThreadPoolForBlockOperation::SState
{
    std::mutex lock;
    std::condition_variable work;
    std::condition_variable ended; // a worker has ended
    std::deque<IExecutionUnitForBlockOperation*> queue;
};

struct CThreadPoolForBlockOperation::SWorker
{
    std::atomic<bool> quit{false};
    std::atomic<bool> ended{false};
    std::thread thread;
};

void CThreadPoolForBlockOperation::Init(uint32_t threadCount)
{
    if (!m_pState)
        m_pState = std::make_shared<SState>();
    std::lock_guard<std::mutex> guard(m_pState->lock);
    for (uint32_t i = 0; i < threadCount; ++i)
    {
        auto worker = std::make_shared<SWorker>();
        worker->thread =
            std::thread(&CThreadPoolForBlockOperation::ThreadExecutionEntry, m_pState, worker);
        m_Threads.push_back(worker);
    }
}

void CThreadPoolForBlockOperation::PutExecutionUnitToQueue(IExecutionUnitForBlockOperation* unit)
{
    if (!m_pState)
        m_pState = std::make_shared<SState>();
    {
        std::lock_guard<std::mutex> guard(m_pState->lock);
        m_pState->queue.push_back(unit);
    }
    m_pState->work.notify_one();
}

void CThreadPoolForBlockOperation::Uninit()
{
    if (!m_pState)
        return;
    std::vector<std::shared_ptr<SWorker>> workers;
    {
        std::lock_guard<std::mutex> guard(m_pState->lock);
        workers.swap(m_Threads);
        for (auto& worker : workers)
            worker->quit = true;
    }
    if (workers.empty())
        return;
    m_pState->work.notify_all();
    {
        // Idle workers end at once; one busy with a unit gets a millisecond, then is let go.
        std::unique_lock<std::mutex> guard(m_pState->lock);
        m_pState->ended.wait_for(guard, std::chrono::milliseconds(1),
                                 [&]
                                 {
                                     for (auto& worker : workers)
                                         if (!worker->ended)
                                             return false;
                                     return true;
                                 });
    }
    for (auto& worker : workers)
    {
        // A worker still busy with its unit is let go: it ends once the unit is over.
        if (worker->ended)
            worker->thread.join();
        else
            worker->thread.detach();
    }
}

CThreadPoolForBlockOperation::~CThreadPoolForBlockOperation()
{
    Uninit();
}

void CThreadPoolForBlockOperation::ThreadExecutionEntry(std::shared_ptr<SState> state,
                                                        std::shared_ptr<SWorker> worker)
{
    for (;;)
    {
        IExecutionUnitForBlockOperation* unit = nullptr;
        {
            std::unique_lock<std::mutex> guard(state->lock);
            state->work.wait(guard, [&] { return worker->quit || !state->queue.empty(); });
            if (worker->quit)
                break;
            unit = state->queue.front();
            state->queue.pop_front();
        }
        unit->OnRunBlockOperation();
    }
    {
        std::lock_guard<std::mutex> guard(state->lock);
        worker->ended = true;
    }
    state->ended.notify_all();
}
