// The threads that serve connections, counted and parked. A ready thread
// takes work in turns (the pool says what a turn is); before anything that
// may wait it gives up its duty to take work (MayBlock), and others are made
// ready when no thread is taking work, so there is one thread per connection
// being served. After such a session a thread becomes ready again when too
// few are, and otherwise parks; a parked thread is woken when one is needed
// again. Threads beyond what is needed end after an idle while: a parked
// thread beyond kSpareThreads that is not woken within the idle limit, and
// a ready thread beyond the number kept ready whose wait for work
// (WorkWaitMs) came back empty. The idle limit is kIdleThreadMs, or the
// milliseconds in the environment variable TEV_IDLE_THREAD_MS when it holds
// a number from 1 to kIdleThreadMs (for tests and measurements).
#pragma once

// Parked threads kept without an idle limit, ready for the next burst.
const int kSpareThreads = 2;
// The idle limit of a thread beyond those needed.
const int kIdleThreadMs = 30000;

// One turn of a ready thread: look for one piece of work (inside a
// TLookingForWork, waiting no longer than WorkWaitMs) and do it. Returns
// false when no work came, true once it is done.
using TWorkTurn = bool (*)();
// True when connections wait to be taken (so that a thread about to wait
// makes two threads ready instead of one).
using TWorkWaiting = bool (*)();

// Sets what threads do in their turns and makes threads ready until there
// is the number kept ready ("Cannot start session thread: %s\n" when one
// cannot be started). Main thread; the same functions each time.
void StartThreads(TWorkTurn turn, TWorkWaiting waiting);

// The calling thread is about to wait, or to do work that may take long:
// when it is a ready thread it stops counting as one, and when no other
// thread is taking work, others are made ready first ("Cannot start session
// thread: %s\n" when that fails). Nothing on other threads or when called
// again in the same turn.
void MayBlock();

// Before the process exits: joins the ended thread that is left over (each
// ending thread joins the one before it), and makes the threads that end
// from now on detach themselves, so that no ended thread is left unjoined.
// Main thread.
void JoinEndedThreads();

// Makes a thread ready when none is (after failed thread starts). Main
// thread; reports a failure once per run of failures.
void KeepOneThreadReady();

// How long the calling ready thread may wait for work in its turn: -1 (for
// ever) while no more threads are ready than are kept ready, otherwise the
// idle limit. Any pool thread.
int WorkWaitMs();

// The idle limit in milliseconds (see the top). Any thread.
int IdleThreadMs();

// Counts the calling ready thread among those looking for work while it
// lives: a thread that has to wait while one is looking makes no other
// ready.
class TLookingForWork {
  public:
    TLookingForWork();
    ~TLookingForWork();
    TLookingForWork(const TLookingForWork&) = delete;
    TLookingForWork& operator=(const TLookingForWork&) = delete;
};
