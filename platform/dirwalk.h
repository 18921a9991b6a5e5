// Walks of directory trees of any depth without a descriptor per level.
//
// A walk reads each directory whole, in large getdents64 blocks, hands its
// entries (name and the type the directory itself records) to the caller,
// and then descends into the sub-directories the caller chose. Descriptors
// are held for the first levels and, deeper down, only for every so many
// levels; the levels between are reached by a path relative to the nearest
// held one. A walk therefore never holds more than kMaxHeldDirs
// descriptors, however deep the tree; a folder that lies too deep to be
// reached within that bound (a relative path longer than PATH_MAX) is
// treated like one that cannot be opened.
// Memory: one read block per walk, plus the names of the sub-directories
// still to visit along the current branch.
#pragma once

#include <functional>
#include <string>
#include <vector>

// Upper bound of the directory descriptors one walk holds at once (the
// starting folder included).
const int kMaxHeldDirs = 48;

// A sub-directory to visit next: Name is relative to the directory being
// read (it may hold '/'), Tag is the caller's and comes back on the visit.
struct TWalkSub {
    std::string Name;
    int Tag;
};

class TTreeWalk {
  public:
    // Called for each directory reached: Fd is the open directory (read it
    // with ReadEntries), Depth 0 for the root, Tag as queued. Append to Subs
    // the sub-directories to descend into, in the order wanted.
    using Visitor = std::function<void(int Fd, int Depth, int Tag, std::vector<TWalkSub>& Subs)>;
    // Called for each entry of a directory: its name and its d_type
    // (DT_UNKNOWN when the file system does not record it).
    using EntryFn = std::function<void(const char* Name, unsigned char Type)>;

    TTreeWalk();
    TTreeWalk(const TTreeWalk&) = delete;
    TTreeWalk& operator=(const TTreeWalk&) = delete;
    ~TTreeWalk();

    // Opens Root (followed when it is a link), visits it with RootTag and
    // then, depth first, every sub-directory the visitor queues. Sub-
    // directories are opened without following a final link; those that
    // cannot be opened are skipped. Returns 0, or the errno of opening Root
    // (nothing visited), or ENOMEM when the read block cannot be allocated.
    int Walk(const char* Root, int RootTag, const Visitor& Visit);

    // Visits Subs (relative to the open directory Fd, which stays the
    // caller's and open) and, depth first, everything the visitor queues
    // below them; depths count from 1. Several walks (one TTreeWalk each)
    // may go below one Fd at once from different threads.
    void WalkBelow(int Fd, std::vector<TWalkSub> Subs, const Visitor& Visit);

    // Passes every entry of the open directory Fd, "." and ".." included, to
    // Fn, from the stream's position (the start for a fresh descriptor; seek
    // to 0 to read again). Returns 0, or -1 when reading fails (entries
    // passed so far stay passed).
    int ReadEntries(int Fd, const EntryFn& Fn);

  private:
    char* block;
};

// d_type of Name in directory Fd from lstat, for entries whose type the
// directory does not record. DT_UNKNOWN when it cannot be examined.
unsigned char EntryTypeAt(int Fd, const char* Name);
