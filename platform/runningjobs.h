// The running requests' children and temporary files, known by one
// register so that a stop or a restart leaves none of them behind.
//
// Each child a request starts and waits for is entered with its pid (the
// leader of its own session, so its process group carries the same number)
// from just before its start until it has been waited for; each temporary
// file a request creates, from its creation until its removal.
// EndRunningChildren kills those children's process groups and removes
// those files, and from then on nothing new is entered: a start or a
// creation asked for afterwards is refused, so no child and no file slips
// in between the end and the process's exit or exec.
#pragma once

#include <sys/types.h>

#include "core/zostring.h"

// One child of a request, from before its start until it has been waited
// for. Not copyable; one thread.
class TJobSlot {
  public:
    // Takes a place, unless the running work has been ended (Open() false
    // then: start nothing).
    TJobSlot();
    // Gives the place back (and forgets the pid).
    ~TJobSlot();
    TJobSlot(const TJobSlot&) = delete;
    TJobSlot& operator=(const TJobSlot&) = delete;

    // False when nothing may be started any more.
    bool Open() const { return open; }
    // Enters pid, the child just started in its own session. When the work
    // was ended meanwhile, its process group is killed at once and false is
    // returned (the caller then waits for it as for a killed child).
    bool SetPid(pid_t pid);

  private:
    bool open;
    pid_t pid = -1;
};

// Enters Path (zero-terminated, absolute or relative to the working
// directory, never changed once threads run) as a request's temporary file,
// created a moment ago. Returns false when the running work has been ended:
// the caller then removes the file itself and fails. Any thread.
bool AddTempFile(const String& Path);
// Removes the file at Path (no error when it is gone) and forgets it. Any
// thread.
void RemoveTempFile(const String& Path);

// Ends the running requests' work: kills the process group of every entered
// child, waits up to about two seconds until the threads waiting for them
// have collected them (a child stuck in the kernel is left to end on its
// own), then removes every entered temporary file. Afterwards no child is
// started and no temporary file created through this register until
// ReopenRunningWork. Returns the number of children signalled. Any thread;
// meant for the main thread just before the process exits, re-executes
// itself (ReloadApp, the update script) or hands over to an update script.
int EndRunningChildren();

// Allows starts and temporary files again after EndRunningChildren, for an
// agent that goes on serving because its exec failed. Any thread.
void ReopenRunningWork();

// Number of children and temporary files entered now. For tests.
int RunningChildren();
int RunningTempFiles();
