// The watcher's snapshot of one watched tree, and the walk that lists the
// tree afresh and compares it with the snapshot in one pass. Internal to
// the watcher; takes no lock (the watcher's lock guards every call).
//
// The snapshot is organised by directory: per directory, its entries in
// the order the directory gives them, as compact records (the name in an arena,
// modification time, size, mode, device and inode), each remembering what the
// name filters answered for it. A walk reads each directory once, compares its
// entries with the records of the previous cycle as it goes, and updates them,
// so only one snapshot is alive and an unchanged entry costs its status call
// and nothing more. Full paths and FileInfo records are built only for
// what changed, and for the filters' first look at a name.
//
// Name filters answer from the name, the full path and whether the entry
// is a directory, and from nothing else, so their answer is kept with the
// entry; an entry they leave out that is not a directory is not even read:
// its directory entry's type already tells it is no directory. ErrSkipDir
// leaves a directory out without entering it.

#ifndef ZORVANE_WATCHER_SNAPSHOT_H_
#define ZORVANE_WATCHER_SNAPSHOT_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "watcher/event.h"
#include "watcher/status.h"

namespace watcher {

/// One filter hook: exactly one of the two is set.
struct FilterHook {
  NameFilterHookFunc byName;  // judged before the entry's status is read
  FilterFileHookFunc byInfo;  // judged on the entry's full status
};

/// What decides whether an entry belongs in a listing: the hooks in their
/// order, then `ignored` and the hidden-name test. Null pointers mean none.
/// `generation` must change whenever any of them changes: answers kept from
/// another generation are asked again.
struct WalkFilters {
  const std::vector<FilterHook>* hooks = nullptr;
  const std::unordered_set<std::string>* ignored = nullptr;
  bool ignoreHidden = false;
  uint64_t generation = 0;
};

/// What walks found changed, in the comparison's terms.
struct Changes {
  /// Write and Chmod events, Write first for one path.
  std::vector<Event> written;
  /// Paths listed now and not before, with their new status.
  std::vector<std::pair<std::string, FileInfo>> appeared;
  /// Paths listed before and not now, with their previous status.
  std::vector<std::pair<std::string, FileInfo>> vanished;

  bool empty() const {
    return written.empty() && appeared.empty() && vanished.empty();
  }
};

/// Calls `emit` for each change in the order the watcher promises: every
/// Write and Chmod, then Rename and Move (a vanished and an appeared path
/// that are the same file; Rename when both lie in one directory), then
/// Create, then Remove. A path found twice in one group (watched trees that
/// overlap) is emitted once. Stops as soon as `emit` returns false.
void emitChanges(Changes& changes, const std::function<bool(Event)>& emit);

/// The snapshot of one watched name (absolute, cleaned) and what lies below
/// it. Not thread-safe: the watcher's lock guards it.
class TreeSnapshot {
 public:
  explicit TreeSnapshot(std::string root);
  ~TreeSnapshot();
  TreeSnapshot(const TreeSnapshot&) = delete;
  TreeSnapshot& operator=(const TreeSnapshot&) = delete;

  const std::string& root() const { return root_; }

  /// Lists the tree afresh with `filters`, updates the snapshot to it, and
  /// appends to `*changes` (when not null) how it differs from what the
  /// snapshot held. The root is read following a symbolic link (a dangling
  /// link does not exist, "stat <root>: ..."); below it links are listed as
  /// themselves and never entered. Every path, the root included, passes
  /// the filters.
  ///
  /// Returns an error only when the root itself cannot be read (its status,
  /// "lstat"/"stat", opening, "open", or reading, "readdirent") or a hook
  /// fails with an error other than ErrSkip and ErrSkipDir. When the root
  /// does not exist, the snapshot is left as it was; on any other error,
  /// what the walk did not reach counts as gone. A directory below the
  /// root that cannot be read keeps its own entry and loses its contents,
  /// and its failure is appended to `*unreadable`. Entries that vanish
  /// during the walk are left out.
  Status Walk(const WalkFilters& filters, Changes* changes,
              std::vector<Status>* unreadable);

  /// Reports everything the snapshot lists as gone and empties it.
  void VanishAll(Changes* changes);

  /// Takes `path`, the root or a path below it, out of the snapshot without
  /// an event, and with it the entries directly inside it (its whole
  /// subtree when `recursive`). A later walk that finds them reports them
  /// as created. Nothing happens when `path` is not listed here.
  void Forget(std::string_view path, bool recursive);

  /// Adds every listed path with its status to `*out`.
  void Collect(Listing* out) const;

 private:
  struct Rec;
  struct Node;
  struct Level;
  class Walker;

  uint32_t newNode();
  void freeNode(uint32_t idx);
  // Reports every listed entry below node `idx` (of the directory `dir`)
  // as gone into `*changes` (when not null) and frees the node.
  void vanishNode(uint32_t idx, const std::string& dir, Changes* changes);

  std::string root_;
  std::unique_ptr<Rec> rootRec_;  // null until the root has been seen
  std::vector<Node> nodes_;       // directories below the root
  std::vector<uint32_t> freeNodes_;
  // Per depth of the walk: buffers reused by every walk.
  std::vector<std::unique_ptr<Level>> levels_;
  std::unique_ptr<char[]> dirents_;     // where directories are read into
  uint64_t generation_ = ~uint64_t{0};  // of the filters answers came from
};

}  // namespace watcher

#endif  // ZORVANE_WATCHER_SNAPSHOT_H_
