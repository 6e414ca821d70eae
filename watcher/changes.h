// What the walks of one cycle found changed, and the events made of it in
// the order the watcher promises. Internal to the watcher.
//
// Writes, mode changes and new paths are few in a cycle and are kept here
// as they are found. Paths gone are not: a walk leaves them where they
// were (marked in its snapshot, or set aside with the records of a
// directory that went), as compact as the snapshot held them, and
// emitChanges builds a path and a status only for those it reports. A
// cycle that finds most of a large tree gone (the first one after the name
// filters are added, a folder ignored from now on, a root that went) thus
// needs no memory beyond the snapshot's own.

#ifndef ZORVANE_WATCHER_CHANGES_H_
#define ZORVANE_WATCHER_CHANGES_H_

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "watcher/event.h"

namespace watcher {

class TreeSnapshot;

/// The changes of one cycle. Fill it with walks (TreeSnapshot::Walk), then
/// hand it to emitChanges once.
struct Changes {
  /// Write and Chmod events, Write first for one path.
  std::vector<Event> written;
  /// Paths listed now and not before, with their new status.
  std::vector<std::pair<std::string, FileInfo>> appeared;
  /// The trees holding paths listed before and not now; they keep them
  /// until emitChanges is done with them, and must live until then.
  std::vector<TreeSnapshot*> vanishedIn;
  /// How many paths those trees hold.
  size_t vanished = 0;
  /// The trees that make up the listing after this cycle, when the roots
  /// of several may overlap: a path gone from one tree but still listed by
  /// another is not gone. Empty for one tree.
  std::vector<const TreeSnapshot*> listing;

  bool empty() const {
    return written.empty() && appeared.empty() && vanished == 0;
  }
};

/// Calls `emit` for each change in the order the watcher promises: every
/// Write and Chmod, then Rename and Move (a vanished and an appeared path
/// that are the same file; Rename when both lie in one directory), then
/// Create, then Remove. A path found twice in one group (watched trees that
/// overlap) is emitted once. Stops as soon as `emit` returns false. Either
/// way the trees then let go of their vanished paths, and `changes` is
/// spent.
void emitChanges(Changes& changes, const std::function<bool(Event)>& emit);

}  // namespace watcher

#endif  // ZORVANE_WATCHER_CHANGES_H_
