// Tasks: work that crosses a process or machine boundary as text, rebuilt by class name on the
// far side, run there and read back into the sender's object. Also the small pool of workers
// for blocking operations.
#pragma once

#include "framework/CMessageSupport.h"
#include "framework/ErrorHandles.h"
#include "framework/Serialization.h"
#include "framework/Sync.h"

#include <deque>
#include <memory>
#include <string>
#include <vector>

class CTaskReflectionSupport;

class ITaskSupport : public ISerializeSupport
{
public:
    ITaskSupport() = default;
    virtual ~ITaskSupport() = default;

    // Class name, executed flag, target server name; derived tasks follow with their own fields.
    int OnSerializeTo(CSerializeStream* stream) override;
    int OnSerializeFrom(CSerializeStream* stream) override;

protected:
    virtual void OnRun() {}

public:
    // Called on the sending side once a result came back (or reading it was tried).
    virtual void OnTaskComplete() {}
    void RunTaskOnLocal();

    int m_bIsTaskExecuted = 0;
    std::wstring m_strTargetServerName;

private:
    friend class CTaskReflectionSupport;
    // A new task of that class (the caller owns it), or null.
    static ITaskSupport* NewInstanceOfTask(const std::wstring& className);
};

// Runs a round trip's proof: the text comes back "Changed." when the far side ran it.
class CTestTask : public ITaskSupport
{
public:
    int OnSerializeTo(CSerializeStream* stream) override;
    int OnSerializeFrom(CSerializeStream* stream) override;

    std::wstring m_strText = L"Init";

protected:
    void OnRun() override;
};

// A read-only carrier: takes the items of a serialized task and rebuilds the task by name.
class CTaskReflectionSupport : public ISerializeSupport
{
public:
    int OnSerializeTo(CSerializeStream* stream) override;
    int OnSerializeFrom(CSerializeStream* stream) override;
    // The rebuilt task (the caller owns it), or null.
    ITaskSupport* RecoverTaskObject();

private:
    CPersistentStorageMemory m_Storage;
    std::wstring m_strClassName;
};

// Asks the modules of the process for a task class they know (message
// "MESSAGE_VANE52_CLASS_REFLECTION"); a receiver that knows the name fills m_pObject.
class CArgVane52ClassReflection : public CMessageSupportArgs
{
public:
    explicit CArgVane52ClassReflection(const std::wstring& className) : m_strClassName(className) {}
    std::wstring DumpObjectToString() override;

    std::wstring m_strClassName;
    ITaskSupport* m_pObject = nullptr;
};

// A task that refuses to run the request it came with; the transport answers it with no result.
class CTaskRefusedException : public CExceptionSupport
{
public:
    explicit CTaskRefusedException(std::wstring description) : m_strDescription(std::move(description)) {}
    std::wstring GetDescription() const override { return m_strDescription; }

private:
    std::wstring m_strDescription;
};

namespace RemoteInstall
{
class CRemoteInstallCommon
{
public:
    static std::wstring GetSerializedTaskString(ITaskSupport* task);
    static ITaskSupport* DeserializeNewTaskFromString(const std::wstring& text);
    static bool DeserializeTaskResultFromString(ITaskSupport* task, const std::wstring& text);
};
} // namespace RemoteInstall

class IExecutionUnitForBlockOperation
{
public:
    virtual ~IExecutionUnitForBlockOperation() = default;
    virtual void OnRunBlockOperation() {}
};

// Workers that run queued units first in, first out; the pool owns no unit.
class CThreadPoolForBlockOperation
{
public:
    CThreadPoolForBlockOperation() = default;
    ~CThreadPoolForBlockOperation();
    CThreadPoolForBlockOperation(const CThreadPoolForBlockOperation&) = delete;
    CThreadPoolForBlockOperation& operator=(const CThreadPoolForBlockOperation&) = delete;

    void Init(uint32_t threadCount);
    void PutExecutionUnitToQueue(IExecutionUnitForBlockOperation* unit);
    // Ends the workers; one still busy with a unit is left to finish it on its own (threads are
    // not ended from outside), and queued units stay queued.
    void Uninit();

private:
    struct SState;
    struct SWorker;
    static void ThreadExecutionEntry(std::shared_ptr<SState> state,
                                     std::shared_ptr<SWorker> worker);

    // Shared with the workers, so that one left busy at Uninit outlives nothing it uses.
    std::shared_ptr<SState> m_pState;
    std::vector<std::shared_ptr<SWorker>> m_Threads;
};
