// Kernel32 subset: timer queues.
//
// Each queue has one thread of its own that runs the callbacks of its timers one after the
// other (whatever the WT_EXECUTE* flags ask), so a long callback delays the queue's other timers.
// Timer and queue handles are no kernel objects: they are closed by the Delete calls only.
#pragma once

#include "winport/WinTypes.h"

typedef void (*WAITORTIMERCALLBACK)(PVOID parameter, BOOLEAN timerOrWaitFired);

#define WT_EXECUTEDEFAULT 0x00000000
#define WT_EXECUTEINIOTHREAD 0x00000001
#define WT_EXECUTEINWAITTHREAD 0x00000004
#define WT_EXECUTEONLYONCE 0x00000008
#define WT_EXECUTELONGFUNCTION 0x00000010
#define WT_EXECUTEINTIMERTHREAD 0x00000020
#define WT_EXECUTEINPERSISTENTTHREAD 0x00000080
#define WT_TRANSFER_IMPERSONATION 0x00000100

HANDLE CreateTimerQueue();

// A timer of a queue (NULL: the process's default queue) that calls callback(parameter, TRUE)
// dueTime milliseconds from now (0: at once), then every period milliseconds (0, or
// WT_EXECUTEONLYONCE: once). A one-shot timer keeps its handle until it is deleted.
BOOL CreateTimerQueueTimer(PHANDLE newTimer, HANDLE timerQueue, WAITORTIMERCALLBACK callback,
                           PVOID parameter, DWORD dueTime, DWORD period, ULONG flags);

// Sets a timer's next due time and period. A one-shot timer that has fired is not changed.
BOOL ChangeTimerQueueTimer(HANDLE timerQueue, HANDLE timer, ULONG dueTime, ULONG period);

// Deleting a timer or a whole queue. completionEvent INVALID_HANDLE_VALUE waits until a running
// callback has returned; NULL returns at once, and then FALSE with ERROR_IO_PENDING when a
// callback still runs (it runs to its end; the timer is deleted all the same). A callback that
// deletes its own timer or queue is never waited for (that would deadlock): the deletion is done
// and the call answers as with NULL. An event handle returns at once as NULL does, and the event
// is signalled once no callback of the deleted timer or queue runs any more (at once when none
// does). A handle that names no timer or
// queue (deleted already, or the timer of another queue) gives ERROR_INVALID_HANDLE.
BOOL DeleteTimerQueueTimer(HANDLE timerQueue, HANDLE timer, HANDLE completionEvent);
BOOL DeleteTimerQueueEx(HANDLE timerQueue, HANDLE completionEvent);
// DeleteTimerQueueEx with no completion event.
BOOL DeleteTimerQueue(HANDLE timerQueue);
