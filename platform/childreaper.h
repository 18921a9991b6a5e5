// Collection of children that nobody waits for.
//
// A child started without waiting (a time limit of -1) would stay a zombie
// after its end. ReapLater hands it to one background thread that waits for
// the ends of all such children at once (on their pid descriptors where the
// system has them) and collects their exit status. The thread is started on
// first use and blocks without a time-out while it has nothing to reap.
#pragma once

#include <sys/types.h>

// A pid descriptor for the child pid (close-on-exec), or -1 with errno set
// where the system has none or pid is gone. Any thread.
int PidfdOpen(pid_t pid);

// Takes over pid, a child of this process that has not been waited for, and
// pidfd, its pid descriptor (close-on-exec) or -1. The child is reaped soon
// after it ends (at once with a pid descriptor, within about a second
// without); the descriptor is closed then. Any thread.
void ReapLater(pid_t pid, int pidfd);

// Hands every child this process has now to ReapLater and returns how many.
// A restart keeps the process, and with it the children of the image
// before (programs still running for requests that image served); nobody
// in the new image waits for them. To be called in the new image before it
// starts a child of its own (and after a daemon's fork, in the daemon), so
// that no pid that another wait belongs to is taken over. Children are
// found by their parent's pid in /proc. Main thread, at start-up.
int AdoptInheritedChildren();

// Number of children handed over and not reaped yet. For tests.
int PendingReaps();
