// Timer queues: firing, changing, deleting with and without waiting, deleting from a callback.
#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"
#include "winport/WinTimerQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace
{

using std::chrono::milliseconds;
constexpr milliseconds kGuard(20000); // only against a hang

// The call fails and says why.
#define EXPECT_FAILS_WITH(call, code)                                                              \
    do                                                                                             \
    {                                                                                              \
        SetLastError(0);                                                                           \
        EXPECT_FALSE(call);                                                                        \
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(code));                                       \
    } while (false)

struct SCounter
{
    std::atomic<int> calls{0};
    std::atomic<bool> allTrue{true};
};

void Count(PVOID parameter, BOOLEAN fired)
{
    auto* counter = static_cast<SCounter*>(parameter);
    if (fired != TRUE)
        counter->allTrue = false;
    ++counter->calls;
}

// A callback that takes its time.
struct SSlow
{
    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};
};

void Slow(PVOID parameter, BOOLEAN)
{
    auto* slow = static_cast<SSlow*>(parameter);
    slow->started = true;
    std::this_thread::sleep_for(milliseconds(300));
    slow->finished = true;
}

// A callback that deletes its own timer, or its whole queue.
struct SSelf
{
    HANDLE queue = nullptr;
    HANDLE timer = nullptr;
    bool wholeQueue = false;
    std::atomic<bool> ready{false};
    std::atomic<int> calls{0};
    BOOL result = TRUE;
    DWORD error = 0;
    std::atomic<bool> done{false};
};

void DeleteSelf(PVOID parameter, BOOLEAN)
{
    auto* self = static_cast<SSelf*>(parameter);
    while (!self->ready)
        std::this_thread::sleep_for(milliseconds(1));
    if (++self->calls > 1)
        return;
    SetLastError(0);
    self->result = self->wholeQueue
                       ? DeleteTimerQueueEx(self->queue, INVALID_HANDLE_VALUE)
                       : DeleteTimerQueueTimer(self->queue, self->timer, INVALID_HANDLE_VALUE);
    self->error = GetLastError();
    self->done = true;
}

bool Reaches(const std::atomic<int>& calls, int count)
{
    return testsupport::WaitFor([&] { return calls >= count; }, kGuard);
}

} // namespace

TEST(WinTimerQueue, FiresPeriodicOneShotAndAtOnce)
{
    HANDLE queue = CreateTimerQueue();
    ASSERT_NE(queue, nullptr);

    SCounter periodic;
    HANDLE timer = nullptr;
    ASSERT_TRUE(CreateTimerQueueTimer(&timer, queue, Count, &periodic, 10, 10, WT_EXECUTEDEFAULT));
    EXPECT_TRUE(Reaches(periodic.calls, 5));
    EXPECT_TRUE(DeleteTimerQueueTimer(queue, timer, INVALID_HANDLE_VALUE)) << GetLastError();
    int seen = periodic.calls;
    std::this_thread::sleep_for(milliseconds(60));
    EXPECT_EQ(periodic.calls, seen); // a deleted timer fires no more
    EXPECT_TRUE(periodic.allTrue);

    // Due at once on the default queue, ahead of a timer due much later; a one-shot timer
    // fires once, WT_EXECUTEONLYONCE makes one of a period.
    SCounter late, atOnce, oneShot;
    HANDLE lateTimer = nullptr, atOnceTimer = nullptr, oneShotTimer = nullptr;
    ASSERT_TRUE(CreateTimerQueueTimer(&lateTimer, nullptr, Count, &late, 3600000, 0,
                                      WT_EXECUTEINTIMERTHREAD));
    ASSERT_TRUE(
        CreateTimerQueueTimer(&atOnceTimer, nullptr, Count, &atOnce, 0, 0, WT_EXECUTEDEFAULT));
    ASSERT_TRUE(
        CreateTimerQueueTimer(&oneShotTimer, queue, Count, &oneShot, 5, 5, WT_EXECUTEONLYONCE));
    EXPECT_TRUE(Reaches(atOnce.calls, 1));
    EXPECT_TRUE(Reaches(oneShot.calls, 1));
    std::this_thread::sleep_for(milliseconds(60));
    EXPECT_EQ(atOnce.calls, 1);
    EXPECT_EQ(oneShot.calls, 1);
    EXPECT_EQ(late.calls, 0);

    // A fired one-shot timer is not changed; a waiting one is.
    EXPECT_TRUE(ChangeTimerQueueTimer(queue, oneShotTimer, 0, 0));
    EXPECT_TRUE(ChangeTimerQueueTimer(nullptr, lateTimer, 0, 0));
    EXPECT_TRUE(Reaches(late.calls, 1));
    std::this_thread::sleep_for(milliseconds(60));
    EXPECT_EQ(oneShot.calls, 1);
    EXPECT_EQ(late.calls, 1);

    // A fired one-shot timer keeps its handle until it is deleted, and only once.
    EXPECT_TRUE(DeleteTimerQueueTimer(queue, oneShotTimer, INVALID_HANDLE_VALUE));
    EXPECT_TRUE(DeleteTimerQueueTimer(nullptr, atOnceTimer, INVALID_HANDLE_VALUE));
    EXPECT_TRUE(DeleteTimerQueueTimer(nullptr, lateTimer, nullptr));
    EXPECT_FAILS_WITH(DeleteTimerQueueTimer(nullptr, lateTimer, nullptr), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE));
    EXPECT_TRUE(atOnce.allTrue && oneShot.allTrue && late.allTrue);
}

TEST(WinTimerQueue, DeletionWaitsForARunningCallbackOnlyWhenAsked)
{
    HANDLE queue = CreateTimerQueue();
    ASSERT_NE(queue, nullptr);

    SSlow waited;
    HANDLE timer = nullptr;
    ASSERT_TRUE(CreateTimerQueueTimer(&timer, queue, Slow, &waited, 0, 0, 0));
    ASSERT_TRUE(testsupport::WaitFor([&] { return waited.started.load(); }, kGuard));
    EXPECT_TRUE(DeleteTimerQueueTimer(queue, timer, INVALID_HANDLE_VALUE));
    EXPECT_TRUE(waited.finished);

    // Without waiting: the callback runs on, the call says so.
    SSlow running;
    ASSERT_TRUE(CreateTimerQueueTimer(&timer, queue, Slow, &running, 0, 0, 0));
    ASSERT_TRUE(testsupport::WaitFor([&] { return running.started.load(); }, kGuard));
    EXPECT_FAILS_WITH(DeleteTimerQueueTimer(queue, timer, nullptr), ERROR_IO_PENDING);
    EXPECT_FALSE(running.finished);
    EXPECT_TRUE(testsupport::WaitFor([&] { return running.finished.load(); }, kGuard));

    // A whole queue: waiting, then not.
    SSlow inQueue;
    ASSERT_TRUE(CreateTimerQueueTimer(&timer, queue, Slow, &inQueue, 0, 50, 0));
    ASSERT_TRUE(testsupport::WaitFor([&] { return inQueue.started.load(); }, kGuard));
    EXPECT_TRUE(DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE));
    EXPECT_TRUE(inQueue.finished);
    EXPECT_FAILS_WITH(DeleteTimerQueueTimer(queue, timer, nullptr), ERROR_INVALID_HANDLE);

    queue = CreateTimerQueue();
    ASSERT_NE(queue, nullptr);
    SSlow leftRunning;
    ASSERT_TRUE(CreateTimerQueueTimer(&timer, queue, Slow, &leftRunning, 0, 1, 0));
    ASSERT_TRUE(testsupport::WaitFor([&] { return leftRunning.started.load(); }, kGuard));
    EXPECT_FAILS_WITH(DeleteTimerQueue(queue), ERROR_IO_PENDING);
    EXPECT_TRUE(testsupport::WaitFor([&] { return leftRunning.finished.load(); }, kGuard));
    leftRunning.started = false;
    std::this_thread::sleep_for(milliseconds(60));
    EXPECT_FALSE(leftRunning.started); // the queue fires no more

    // With an event: at once when nothing runs, else when the running callback has returned.
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    queue = CreateTimerQueue();
    ASSERT_TRUE(CreateTimerQueueTimer(&timer, queue, Slow, &waited, 3600000, 0, 0));
    EXPECT_TRUE(DeleteTimerQueueTimer(queue, timer, done));
    EXPECT_EQ(WaitForSingleObject(done, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    ResetEvent(done);
    SSlow signalled;
    ASSERT_TRUE(CreateTimerQueueTimer(&timer, queue, Slow, &signalled, 0, 0, 0));
    ASSERT_TRUE(testsupport::WaitFor([&] { return signalled.started.load(); }, kGuard));
    EXPECT_FAILS_WITH(DeleteTimerQueueTimer(queue, timer, done), ERROR_IO_PENDING);
    EXPECT_EQ(WaitForSingleObject(done, kGuard.count()), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(signalled.finished);
    ResetEvent(done);
    SSlow whole;
    ASSERT_TRUE(CreateTimerQueueTimer(&timer, queue, Slow, &whole, 0, 0, 0));
    ASSERT_TRUE(testsupport::WaitFor([&] { return whole.started.load(); }, kGuard));
    EXPECT_FAILS_WITH(DeleteTimerQueueEx(queue, done), ERROR_IO_PENDING);
    EXPECT_EQ(WaitForSingleObject(done, kGuard.count()), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(whole.finished);
    CloseHandle(done);
}

TEST(WinTimerQueue, CallbackDeletesItsOwnTimerOrQueueWithoutDeadlock)
{
    for (bool wholeQueue : {false, true})
    {
        SSelf self;
        self.wholeQueue = wholeQueue;
        self.queue = CreateTimerQueue();
        ASSERT_NE(self.queue, nullptr);
        ASSERT_TRUE(CreateTimerQueueTimer(&self.timer, self.queue, DeleteSelf, &self, 0, 5, 0));
        self.ready = true;
        ASSERT_TRUE(testsupport::WaitFor([&] { return self.done.load(); }, kGuard));
        // It cannot wait for itself: done all the same, and its callback was still running.
        EXPECT_FALSE(self.result);
        EXPECT_EQ(self.error, static_cast<DWORD>(ERROR_IO_PENDING));
        std::this_thread::sleep_for(milliseconds(60));
        EXPECT_EQ(self.calls, 1);
        EXPECT_FAILS_WITH(DeleteTimerQueueTimer(self.queue, self.timer, INVALID_HANDLE_VALUE),
                          ERROR_INVALID_HANDLE);
        if (wholeQueue)
            EXPECT_FALSE(DeleteTimerQueueEx(self.queue, INVALID_HANDLE_VALUE));
        else
            EXPECT_TRUE(DeleteTimerQueueEx(self.queue, INVALID_HANDLE_VALUE));
    }
}

TEST(WinTimerQueue, RefusesBadHandlesAndParameters)
{
    HANDLE first = CreateTimerQueue();
    HANDLE second = CreateTimerQueue();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    SCounter counter;
    HANDLE timer = nullptr;
    int bogus = 0;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);

    EXPECT_FAILS_WITH(CreateTimerQueueTimer(&timer, &bogus, Count, &counter, 0, 0, 0),
                      ERROR_INVALID_HANDLE);
    EXPECT_FAILS_WITH(CreateTimerQueueTimer(&timer, first, nullptr, &counter, 0, 0, 0),
                      ERROR_INVALID_PARAMETER);
    EXPECT_FAILS_WITH(CreateTimerQueueTimer(nullptr, first, Count, &counter, 0, 0, 0),
                      ERROR_INVALID_PARAMETER);
    EXPECT_FAILS_WITH(CreateTimerQueueTimer(&timer, first, Count, &counter, 0, 0, 0x40000000),
                      ERROR_INVALID_PARAMETER);

    ASSERT_TRUE(CreateTimerQueueTimer(&timer, first, Count, &counter, 3600000, 0, 0));
    // A timer is known by its own queue only.
    EXPECT_FAILS_WITH(DeleteTimerQueueTimer(second, timer, nullptr), ERROR_INVALID_HANDLE);
    EXPECT_FAILS_WITH(DeleteTimerQueueTimer(nullptr, timer, nullptr), ERROR_INVALID_HANDLE);
    EXPECT_FAILS_WITH(ChangeTimerQueueTimer(second, timer, 0, 0), ERROR_INVALID_HANDLE);
    EXPECT_FAILS_WITH(DeleteTimerQueueTimer(first, &bogus, nullptr), ERROR_INVALID_HANDLE);
    EXPECT_FAILS_WITH(DeleteTimerQueueTimer(first, first, nullptr), ERROR_INVALID_HANDLE);
    EXPECT_FAILS_WITH(DeleteTimerQueueEx(timer, nullptr), ERROR_INVALID_HANDLE);
    EXPECT_FAILS_WITH(DeleteTimerQueueEx(nullptr, nullptr), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(ChangeTimerQueueTimer(first, timer, 0, 0));
    EXPECT_TRUE(Reaches(counter.calls, 1));

    EXPECT_TRUE(DeleteTimerQueueTimer(first, timer, INVALID_HANDLE_VALUE));
    EXPECT_TRUE(DeleteTimerQueueEx(first, INVALID_HANDLE_VALUE));
    EXPECT_TRUE(DeleteTimerQueueEx(second, nullptr));
    EXPECT_FAILS_WITH(DeleteTimerQueueEx(first, INVALID_HANDLE_VALUE), ERROR_INVALID_HANDLE);
    EXPECT_FAILS_WITH(DeleteTimerQueue(second), ERROR_INVALID_HANDLE);
    EXPECT_FAILS_WITH(ChangeTimerQueueTimer(first, timer, 0, 0), ERROR_INVALID_HANDLE);
    CloseHandle(event);
}
