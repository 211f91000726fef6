// Linux only: timer queues, each a thread of its own that sleeps on a condition variable until
// its next timer is due. Needs no machine.
#include "winport/WinTimerQueue.h"

#include "winport/WinBase.h"
#include "winport/posix/PosixSupport.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace
{

using TClock = std::chrono::steady_clock;

class CTimerQueue;

struct STimer
{
    std::shared_ptr<CTimerQueue> queue;
    WAITORTIMERCALLBACK callback = nullptr;
    PVOID parameter = nullptr;
    TClock::time_point due;
    std::chrono::milliseconds period{0};
    bool armed = true; // false once a one-shot timer has fired
};

class CTimerQueue : public std::enable_shared_from_this<CTimerQueue>
{
public:
    // Starts the queue's thread; false when none can be had.
    bool Start()
    {
        try
        {
            m_Thread = std::thread([self = shared_from_this()] { self->Run(); });
        }
        catch (const std::system_error&)
        {
            return false;
        }
        return true;
    }

    void Add(const std::shared_ptr<STimer>& timer)
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_Timers.push_back(timer);
        m_Wake.notify_all();
    }

    void Change(STimer& timer, DWORD dueTime, DWORD period)
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        if (!timer.armed && timer.period.count() == 0)
            return; // a one-shot timer that has fired stays as it is
        timer.due = TClock::now() + std::chrono::milliseconds(dueTime);
        timer.period = std::chrono::milliseconds(period);
        timer.armed = true;
        m_Wake.notify_all();
    }

    // Takes a timer off the queue; waits for its running callback unless wait is false or the
    // caller is that callback. True when its callback still runs on return; completion (an
    // event, or null) is then signalled when it has returned.
    bool Cancel(const std::shared_ptr<STimer>& timer, bool wait, HANDLE completion = nullptr)
    {
        std::unique_lock<std::mutex> lock(m_Lock);
        m_Timers.erase(std::remove(m_Timers.begin(), m_Timers.end(), timer), m_Timers.end());
        timer->armed = false;
        m_Wake.notify_all();
        if (m_Running != timer)
            return false;
        if (!wait || m_ThreadId == std::this_thread::get_id())
        {
            if (completion != nullptr)
                m_Completions.emplace_back(timer, completion);
            return true;
        }
        m_Done.wait(lock, [&] { return m_Running != timer; });
        return false;
    }

    // Ends the queue: no timer fires any more. Waits for a running callback unless wait is false
    // or the caller is that callback. True when a callback still runs on return; completion (an
    // event, or null) is then signalled when it has returned.
    bool Stop(bool wait, HANDLE completion = nullptr)
    {
        std::unique_lock<std::mutex> lock(m_Lock);
        m_Stopping = true;
        if (completion != nullptr && m_Running != nullptr)
            m_Completions.emplace_back(nullptr, completion);
        for (auto& timer : m_Timers)
            timer->armed = false;
        // Timers hold their queue: let go of them so that the queue can go too.
        std::vector<std::shared_ptr<STimer>> timers;
        timers.swap(m_Timers);
        m_Wake.notify_all();
        bool self = m_ThreadId == std::this_thread::get_id();
        bool running = m_Running != nullptr;
        lock.unlock();
        if (wait && !self)
        {
            m_Thread.join();
            return false;
        }
        m_Thread.detach();
        return running;
    }

private:
    void Run()
    {
        std::unique_lock<std::mutex> lock(m_Lock);
        m_ThreadId = std::this_thread::get_id();
        while (!m_Stopping)
        {
            std::shared_ptr<STimer> next;
            for (const auto& timer : m_Timers)
            {
                if (timer->armed && (!next || timer->due < next->due))
                    next = timer;
            }
            if (!next)
            {
                m_Wake.wait(lock);
                continue;
            }
            TClock::time_point now = TClock::now();
            if (next->due > now)
            {
                m_Wake.wait_until(lock, next->due);
                continue;
            }
            // A late periodic timer fires once for the periods it missed, not once for each.
            if (next->period.count() > 0)
                next->due = std::max(next->due + next->period, now);
            else
                next->armed = false;
            m_Running = next;
            lock.unlock();
            next->callback(next->parameter, TRUE);
            lock.lock();
            m_Running.reset();
            m_Done.notify_all();
            // Deleters that did not wait hear that the callback they left running is over.
            std::vector<HANDLE> finished;
            std::erase_if(m_Completions,
                          [&](const auto& entry)
                          {
                              bool done = entry.first == next || (!entry.first && m_Stopping);
                              if (done)
                                  finished.push_back(entry.second);
                              return done;
                          });
            lock.unlock();
            for (HANDLE event : finished)
                winport::posix::SignalEvent(event);
            lock.lock();
        }
    }

    std::mutex m_Lock;
    std::condition_variable m_Wake; // the thread: timers changed or the queue ends
    std::condition_variable m_Done; // deleters: a callback returned
    std::vector<std::shared_ptr<STimer>> m_Timers;
    std::shared_ptr<STimer> m_Running;
    std::vector<std::pair<std::shared_ptr<STimer>, HANDLE>> m_Completions; // events to signal
    bool m_Stopping = false;
    std::thread::id m_ThreadId;
    std::thread m_Thread;
};

// Live queues and timers by handle. Handle values are never reused and lie apart from those of
// kernel objects, so a stale or foreign handle names nothing. Lock order: this table, then a
// queue's lock.
struct STables
{
    std::mutex lock;
    std::map<HANDLE, std::shared_ptr<CTimerQueue>> queues;
    std::map<HANDLE, std::shared_ptr<STimer>> timers;
    std::shared_ptr<CTimerQueue> defaultQueue;
    uintptr_t next = 0x20000000;
};

STables& Tables()
{
    static auto* s_pTables = new STables(); // outlives every queue thread
    return *s_pTables;
}

HANDLE NewHandle(STables& tables)
{
    tables.next += 8;
    return reinterpret_cast<HANDLE>(tables.next);
}

BOOL Fail(DWORD code)
{
    SetLastError(code);
    return FALSE;
}

// The queue a handle names (NULL: the default queue, started on first use); the table's lock is
// held.
std::shared_ptr<CTimerQueue> FindQueue(STables& tables, HANDLE queue)
{
    if (queue != nullptr)
    {
        auto it = tables.queues.find(queue);
        return it == tables.queues.end() ? nullptr : it->second;
    }
    if (!tables.defaultQueue)
    {
        auto created = std::make_shared<CTimerQueue>();
        if (created->Start())
            tables.defaultQueue = created;
    }
    return tables.defaultQueue;
}

// An event to signal when callbacks are over, or null for INVALID_HANDLE_VALUE (wait) and NULL.
HANDLE CompletionEvent(HANDLE completionEvent)
{
    return completionEvent == INVALID_HANDLE_VALUE ? nullptr : completionEvent;
}

} // namespace

HANDLE CreateTimerQueue()
{
    auto queue = std::make_shared<CTimerQueue>();
    if (!queue->Start())
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    STables& tables = Tables();
    std::lock_guard<std::mutex> guard(tables.lock);
    HANDLE handle = NewHandle(tables);
    tables.queues.emplace(handle, std::move(queue));
    return handle;
}

BOOL CreateTimerQueueTimer(PHANDLE newTimer, HANDLE timerQueue, WAITORTIMERCALLBACK callback,
                           PVOID parameter, DWORD dueTime, DWORD period, ULONG flags)
{
    const ULONG known = WT_EXECUTEINIOTHREAD | WT_EXECUTEINWAITTHREAD | WT_EXECUTEONLYONCE |
                        WT_EXECUTELONGFUNCTION | WT_EXECUTEINTIMERTHREAD |
                        WT_EXECUTEINPERSISTENTTHREAD | WT_TRANSFER_IMPERSONATION;
    if (newTimer == nullptr || callback == nullptr || (flags & ~known) != 0)
        return Fail(ERROR_INVALID_PARAMETER);
    STables& tables = Tables();
    std::lock_guard<std::mutex> guard(tables.lock);
    std::shared_ptr<CTimerQueue> queue = FindQueue(tables, timerQueue);
    if (!queue)
        return Fail(timerQueue == nullptr ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_HANDLE);
    auto timer = std::make_shared<STimer>();
    timer->queue = queue;
    timer->callback = callback;
    timer->parameter = parameter;
    timer->due = TClock::now() + std::chrono::milliseconds(dueTime);
    timer->period = std::chrono::milliseconds((flags & WT_EXECUTEONLYONCE) != 0 ? 0 : period);
    HANDLE handle = NewHandle(tables);
    tables.timers.emplace(handle, timer);
    queue->Add(timer);
    *newTimer = handle;
    return TRUE;
}

BOOL ChangeTimerQueueTimer(HANDLE timerQueue, HANDLE timer, ULONG dueTime, ULONG period)
{
    STables& tables = Tables();
    std::lock_guard<std::mutex> guard(tables.lock);
    auto it = tables.timers.find(timer);
    if (it == tables.timers.end() || it->second->queue != FindQueue(tables, timerQueue))
        return Fail(ERROR_INVALID_HANDLE);
    it->second->queue->Change(*it->second, dueTime, period);
    return TRUE;
}

BOOL DeleteTimerQueueTimer(HANDLE timerQueue, HANDLE timer, HANDLE completionEvent)
{
    std::shared_ptr<STimer> deleted;
    {
        STables& tables = Tables();
        std::lock_guard<std::mutex> guard(tables.lock);
        auto it = tables.timers.find(timer);
        if (it == tables.timers.end() || it->second->queue != FindQueue(tables, timerQueue))
            return Fail(ERROR_INVALID_HANDLE);
        deleted = std::move(it->second);
        tables.timers.erase(it);
    }
    std::shared_ptr<CTimerQueue> queue = std::move(deleted->queue);
    HANDLE event = CompletionEvent(completionEvent);
    if (queue->Cancel(deleted, completionEvent == INVALID_HANDLE_VALUE, event))
        return Fail(ERROR_IO_PENDING);
    if (event != nullptr)
        winport::posix::SignalEvent(event);
    return TRUE;
}

BOOL DeleteTimerQueueEx(HANDLE timerQueue, HANDLE completionEvent)
{
    std::shared_ptr<CTimerQueue> queue;
    {
        STables& tables = Tables();
        std::lock_guard<std::mutex> guard(tables.lock);
        auto it = tables.queues.find(timerQueue);
        if (timerQueue == nullptr || it == tables.queues.end())
            return Fail(ERROR_INVALID_HANDLE);
        queue = std::move(it->second);
        tables.queues.erase(it);
        for (auto timer = tables.timers.begin(); timer != tables.timers.end();)
        {
            if (timer->second->queue == queue)
                timer = tables.timers.erase(timer);
            else
                ++timer;
        }
    }
    HANDLE event = CompletionEvent(completionEvent);
    if (queue->Stop(completionEvent == INVALID_HANDLE_VALUE, event))
        return Fail(ERROR_IO_PENDING);
    if (event != nullptr)
        winport::posix::SignalEvent(event);
    return TRUE;
}

BOOL DeleteTimerQueue(HANDLE timerQueue)
{
    return DeleteTimerQueueEx(timerQueue, nullptr);
}

namespace winport::posix
{

namespace
{
std::atomic<BOOL (*)(HANDLE)> s_SignalEvent{nullptr};
} // namespace

void SetEventSignal(BOOL (*signal)(HANDLE))
{
    s_SignalEvent = signal;
}

void SignalEvent(HANDLE event)
{
    if (BOOL(*signal)(HANDLE) = s_SignalEvent.load())
        signal(event);
}

} // namespace winport::posix
