// The floor walker's cycle: the least work any polling watcher can do to
// notice a change in a tree.
//
// A cycle reads every directory with the raw getdents64 system call and the
// status of every entry with fstatat relative to its directory's
// descriptor, links not followed. Each entry is compared on the spot with
// its record from the previous cycle, found in an open-addressing table by a
// 64-bit hash of its path; no path text is ever built and nothing is
// allocated per entry. What remains is the cost of the system calls, which
// is the yardstick the controller's polling cycle is measured against.
//
// Written in the plain C manner on purpose: structs, functions and
// malloc, so that nothing of a library's making hides in the figures.
// Single-threaded: a FloorWalker belongs to one thread.

#ifndef ZORVANE_BENCH_FLOOR_WALK_H_
#define ZORVANE_BENCH_FLOOR_WALK_H_

#include <stddef.h>
#include <stdint.h>

namespace bench {

/// One entry's record: what a change would alter.
struct FloorRecord {
  uint64_t key;       // hash of the path below the root; 0 marks a free slot
  int64_t mtimeNs;    // modification time, nanoseconds since the epoch
  uint64_t ino;       // inode number: a replaced file gets a new one
  uint64_t sizeMark;  // size, and in the top bit the mark of the last cycle
                      // that saw the entry
};

/// A read buffer for the directories of one depth.
struct FloorBuffer {
  char* data;
  size_t capacity;
};

/// The walker's whole state: the table of records (capacity a power of
/// two, at most four fifths full) and one read buffer per directory depth.
struct FloorWalker {
  FloorRecord* slots;
  size_t capacity;
  size_t live;    // records in the table
  uint64_t mark;  // 0 or 1: the mark this cycle gives the records it sees
  FloorBuffer* buffers;
  size_t depths;  // buffers allocated
};

/// What one cycle found. On the first cycle every entry counts as created.
struct FloorCounts {
  int64_t entries;  // entries below the root seen by this cycle
  int64_t created;
  int64_t changed;  // modification time, size or inode differ
  int64_t removed;
};

/// Sets up an empty walker. Returns 0, or ENOMEM.
int FloorInit(FloorWalker* w);

/// Frees what the walker holds; it may be set up again with FloorInit.
void FloorFree(FloorWalker* w);

/// Runs one cycle over the tree below the directory `root` (the root's own
/// status is not part of it) and stores its counts in `*counts`. An entry
/// that vanishes between the directory read and its status call is simply
/// not seen; a subdirectory that cannot be opened loses its contents for
/// this cycle (they count as removed). Returns 0, or the error number of
/// opening or reading `root` itself (the table is then left as it was), or
/// ENOMEM.
int FloorCycle(FloorWalker* w, const char* root, FloorCounts* counts);

}  // namespace bench

#endif  // ZORVANE_BENCH_FLOOR_WALK_H_
