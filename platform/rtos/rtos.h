// The real-time operating system API of the application process, on POSIX threads.
//
// How the host differs from the device's kernel:
// - Priorities are recorded and reported (taskPriorityGet). They order the tasks of the tick core
//   (below); every other task is scheduled by Linux with its normal policy, in parallel. Stack
//   sizes are recorded; threads get at least the requested stack. CPU affinity is applied where
//   Linux allows it and otherwise only recorded.
// - Ticks are those of the one host clock (hostclock.h) at 1000 Hz. When a test drives that clock
//   by hand, every time-out in this file runs on the hand-driven time.
// - taskDelete/taskDeleteForce are cooperative: the task is marked, woken if it waits in any call
//   of this file, and ends at that wait (or its next one) by unwinding its stack. A task that
//   never waits again is not stopped.
// - Named objects (names beginning with "/") live in one registry of this process; another
//   process does not see them.
// - Mutex semaphores are recursive and owned; options are accepted and recorded. Queueing by
//   priority is not enforced; waiters are served in the order the host wakes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

using STATUS = int;
inline constexpr STATUS OK = 0;
inline constexpr STATUS ERROR = -1;

using _Vx_ticks_t = int;
inline constexpr _Vx_ticks_t WAIT_FOREVER = -1;
inline constexpr _Vx_ticks_t NO_WAIT = 0;

// ---------------------------------------------------------------------------------------------
// Tasks

using TASK_ID = long;
inline constexpr TASK_ID TASK_ID_ERROR = -1;

inline constexpr int VX_FP_TASK = 0x01000000; // floating-point context (recorded)
// Host option: the task belongs to the tick core from its creation (see the end of this file).
inline constexpr int TASK_OPT_TICK_CORE = 0x00100000;

// Creates and starts a task running `body`. Returns TASK_ID_ERROR when the thread cannot start.
TASK_ID taskSpawn(const char* name, int priority, int options, size_t stackSize, std::function<void()> body);
// Creates a task that starts only with taskActivate.
TASK_ID taskCreate(const char* name, int priority, int options, size_t stackSize, std::function<void()> body);
STATUS taskActivate(TASK_ID tid);

STATUS taskDelay(_Vx_ticks_t ticks);
TASK_ID taskIdSelf();
// Host extension: the calling thread, one not made by taskSpawn (the main thread, a thread of the
// host layer), is known by `name` in the task list, in the log and to the OS, as a task is (the
// main thread's OS name is the process's). It must come before the thread's first other call of
// this API (a thread keeps the name it has); ERROR after it. A thread that names itself not is
// "tHost<id>", a name that differs from run to run.
STATUS taskNameThread(const char* name);
TASK_ID taskNameToId(const char* name);
const char* taskName(TASK_ID tid); // nullptr for an unknown task; valid while the task exists
STATUS taskPriorityGet(TASK_ID tid, int* priority);
STATUS taskIdVerify(TASK_ID tid);
// True while the task waits on a semaphore, a queue or its events (pended), or in taskDelay.
bool taskIsPended(TASK_ID tid);
bool taskIsDelayed(TASK_ID tid);

using cpuset_t = uint32_t; // bit n = processor n
STATUS taskCpuAffinitySet(TASK_ID tid, cpuset_t cpus);
STATUS taskCpuAffinityGet(TASK_ID tid, cpuset_t* cpus);

STATUS taskDelete(TASK_ID tid);
STATUS taskDeleteForce(TASK_ID tid);
// Host extension: waits (in real time) until the task's thread has ended. Used by the ordered
// shutdown and by tests; a task cannot join itself.
STATUS taskJoin(TASK_ID tid, int timeoutMs);
// Host extension: true once a join has run out of time, so that a task may still run where its
// joiner meant it to have ended.
bool taskJoinTimedOut();

int sysClkRateGet(); // 1000
uint64_t tickGet64();
uint32_t tickGet();

// ---------------------------------------------------------------------------------------------
// Semaphores

struct Semaphore;
using SEM_ID = Semaphore*;
inline constexpr SEM_ID SEM_ID_NULL = nullptr;

enum SEM_B_STATE { SEM_EMPTY = 0, SEM_FULL = 1 };
enum SEM_TYPE { SEM_TYPE_BINARY = 0, SEM_TYPE_MUTEX = 1, SEM_TYPE_COUNTING = 2 };

inline constexpr int SEM_Q_FIFO = 0x00;
inline constexpr int SEM_Q_PRIORITY = 0x01;
inline constexpr int SEM_DELETE_SAFE = 0x04;
inline constexpr int SEM_INVERSION_SAFE = 0x08;

SEM_ID semBCreate(int options, SEM_B_STATE initialState);
SEM_ID semCCreate(int options, int initialCount);
SEM_ID semMCreate(int options);
// Error number (errno) of a take or give on a null or deleted semaphore: the invalid object.
inline constexpr int S_objLib_OBJ_ID_ERROR = 0x3D0001;

STATUS semTake(SEM_ID sem, _Vx_ticks_t timeout);
STATUS semGive(SEM_ID sem);
STATUS semFlush(SEM_ID sem); // wakes every waiter of a binary or counting semaphore
STATUS semDelete(SEM_ID sem);
int semCount(SEM_ID sem);   // host extension for tests: count of a counting/binary semaphore
int semWaiting(SEM_ID sem); // host extension for tests: tasks waiting on the semaphore

// Named objects: open modes.
inline constexpr int OM_CREATE = 0x10000000;
inline constexpr int OM_EXCL = 0x20000000;

// Opens the named semaphore, creating it with OM_CREATE. Names begin with "/".
SEM_ID semOpen(const char* name, SEM_TYPE type, int initState, int options, int mode, void* context);
STATUS semClose(SEM_ID sem);
STATUS semUnlink(const char* name);

// ---------------------------------------------------------------------------------------------
// Message queues

struct MsgQueue;
using MSG_Q_ID = MsgQueue*;
inline constexpr MSG_Q_ID MSG_Q_ID_NULL = nullptr;

inline constexpr int MSG_Q_FIFO = 0x00;
inline constexpr int MSG_Q_PRIORITY = 0x01;
inline constexpr int MSG_PRI_NORMAL = 0;
inline constexpr int MSG_PRI_URGENT = 1;

MSG_Q_ID msgQCreate(int maxMsgs, int maxMsgLength, int options);
// Urgent messages go ahead of every normal one (and behind earlier urgent ones).
STATUS msgQSend(MSG_Q_ID q, const void* buffer, size_t nBytes, _Vx_ticks_t timeout, int priority);
// Returns the number of bytes received (truncated to maxNBytes) or ERROR on time-out.
ssize_t msgQReceive(MSG_Q_ID q, void* buffer, size_t maxNBytes, _Vx_ticks_t timeout);
int msgQNumMsgs(MSG_Q_ID q);
STATUS msgQDelete(MSG_Q_ID q);
MSG_Q_ID msgQOpen(const char* name, int maxMsgs, int maxMsgLength, int options, int mode, void* context);
STATUS msgQClose(MSG_Q_ID q);
STATUS msgQUnlink(const char* name);

// ---------------------------------------------------------------------------------------------
// Task events

inline constexpr int EVENTS_WAIT_ALL = 0x00;
inline constexpr int EVENTS_WAIT_ANY = 0x01;
inline constexpr int EVENTS_RETURN_ALL = 0x02;
inline constexpr int EVENTS_KEEP_UNWANTED = 0x04;
inline constexpr int EVENTS_FETCH = 0x80;

STATUS eventSend(TASK_ID tid, uint32_t events);
// Waits for the wanted events of the calling task; received events are cleared unless
// EVENTS_KEEP_UNWANTED keeps the unwanted ones.
STATUS eventReceive(uint32_t events, int options, _Vx_ticks_t timeout, uint32_t* eventsReceived);
STATUS eventClear();

// ---------------------------------------------------------------------------------------------
// Doubly linked lists (nodes embedded in the caller's records)

struct NODE {
    NODE* next;
    NODE* previous;
};
struct LIST {
    NODE node; // head (next) and tail (previous)
    int count;
};

void lstInit(LIST* list);
void lstAdd(LIST* list, NODE* node); // at the tail
void lstInsert(LIST* list, NODE* prev, NODE* node);
void lstDelete(LIST* list, NODE* node);
NODE* lstFirst(LIST* list);
NODE* lstLast(LIST* list);
NODE* lstNext(NODE* node);
NODE* lstGet(LIST* list); // removes and returns the first node
int lstCount(LIST* list);

// ---------------------------------------------------------------------------------------------
// Memory pools of fixed-size items. Thread-safe when created with POOL_THREAD_SAFE.

struct Pool;
using POOL_ID = Pool*;
inline constexpr int POOL_THREAD_SAFE = 0x01;

// incrCnt 0 makes a fixed pool that never grows.
POOL_ID poolCreate(const char* name, size_t itemSize, size_t alignment, size_t initCnt, size_t incrCnt,
                   void* partId, int options);
void* poolItemGet(POOL_ID pool);
STATUS poolItemReturn(POOL_ID pool, void* item); // ERROR for an item not of this pool
size_t poolFreeCount(POOL_ID pool);
size_t poolTotalCount(POOL_ID pool);
STATUS poolDelete(POOL_ID pool, bool force);

// ---------------------------------------------------------------------------------------------
// The tick core (host extension)
//
// On the device the process runs on one core: when the base tick makes several tasks ready at
// once, the one with the higher priority runs to its next wait before a lower one starts. Tasks
// spawned with TASK_OPT_TICK_CORE get the same order here (the raster tasks, the calculation task
// and the tick counter; every other task stays parallel):
// - A member is ready from its creation, as a spawned task is, and takes its first turn like any
//   other.
// - A member holds the core from its turn until it waits in a call of this API (semaphore, queue,
//   event, delay). A member made ready gets its turn when no better member (higher priority, or
//   equal priority and ready earlier) is ready or holds the core; a member that makes a better one
//   ready gives way to it at the end of that call.
// - A better member that becomes ready while a worse one holds the core runs at once, beside it:
//   an overrunning task never delays the higher-priority tasks of the next tick.
// - A member that holds a mutex semaphore takes its turn at once: a task outside the core that
//   waits for the mutex is never held back by the order of the core.
// - A member asleep in the host kernel outside this API (a socket, a file, a plain mutex) holds
//   the core until it has been seen asleep there, without running, for a few milliseconds; after
//   that it no longer holds back the others (not while the clock is driven by hand: a test keeps
//   the order strictly). Priority inheritance is not modelled.
// It needs no real-time privileges: the order is kept by the members themselves, whatever the host
// scheduler does, and on the hand-driven clock as on the real one.

// True when every member waits in a call of this API (the hand-driven clock waits for it per tick).
bool taskTickCoreIdle();
