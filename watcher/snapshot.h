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
// what changed, and for the filters' first look at a name. What a walk
// finds gone stays in the snapshot's records (marked, or set aside) until
// its changes are emitted (changes.h).
//
// The parts: snapshot.cc (the records, what is set aside, lookups), walk.cc
// (the walk, with its own stack of directory levels), dir_reader.cc (a
// directory read whole) and changes.cc (the events and their order).
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
#include <vector>

#include "watcher/changes.h"
#include "watcher/dir_reader.h"
#include "watcher/event.h"
#include "watcher/status.h"

namespace watcher {

/// One filter hook: exactly one of the two is set.
struct FilterHook {
  NameFilterHookFunc byName;  // judged before the entry's status is read
  FilterFileHookFunc byInfo;  // judged on the entry's full status
};

/// What decides whether an entry belongs in a listing: the hooks in their
/// order; a null pointer means none. `generation` must change whenever the
/// hooks change: answers kept from another generation are asked again.
struct WalkFilters {
  const std::vector<FilterHook>* hooks = nullptr;
  uint64_t generation = 0;
};

/// The snapshot of one watched name (absolute, cleaned) and what lies below
/// it. Not thread-safe: the watcher's lock guards it.
class TreeSnapshot {
  struct Rec;
  struct Node;
  struct Grave;
  struct Level;
  class Walker;

 public:
  explicit TreeSnapshot(std::string root);
  ~TreeSnapshot();
  TreeSnapshot(const TreeSnapshot&) = delete;
  TreeSnapshot& operator=(const TreeSnapshot&) = delete;

  const std::string& root() const { return root_; }

  /// Lists the tree afresh with `filters`, updates the snapshot to it, and
  /// adds to `*changes` (when not null) how it differs from what the
  /// snapshot held; the paths gone stay with this tree until emitChanges
  /// (or the next walk) lets go of them. The root is read following a
  /// symbolic link (a dangling link does not exist, "stat <root>: ...");
  /// below it links are listed as themselves and never entered. Every
  /// path, the root included, passes the filters, in a depth-first walk in
  /// name order.
  ///
  /// Returns an error only when the root itself cannot be read (its status,
  /// "lstat"/"stat", opening, "open", or reading, "readdirent") or a hook
  /// fails with an error other than ErrSkip and ErrSkipDir. When the root
  /// does not exist, the snapshot is left as it was; on any other error,
  /// what the walk did not reach counts as gone: after a hook's failure,
  /// every path after the failing one in the walk's order. A directory
  /// below the root that cannot be read keeps its own entry and loses its
  /// contents, and its failure is appended to `*unreadable`. Entries that
  /// vanish during the walk are left out.
  ///
  /// Depth costs heap memory, not stack. The walk keeps a descriptor open
  /// per directory level; when none is left to open (EMFILE, ENFILE) it
  /// closes those of the levels above and opens them again when it gets
  /// back to them, so a descriptor limit makes it slower, not blind.
  Status Walk(const WalkFilters& filters, Changes* changes,
              std::vector<Status>* unreadable);

  /// Reports everything the snapshot lists as gone into `*changes` (when
  /// not null) and empties it.
  void VanishAll(Changes* changes);

  /// Takes out of the snapshot, without an event, what the watch list's
  /// removal of `path` drops: `path` itself and, when `isDir`, the entries
  /// directly inside it (everything below it when `recursive`). `path` may
  /// lie inside this tree or above its root. A later walk that finds them
  /// reports them as created.
  void Forget(std::string_view path, bool isDir, bool recursive);

  /// True when the snapshot lists `path`; `*isDir` then tells whether it is
  /// a directory.
  bool Lists(std::string_view path, bool* isDir = nullptr) const;

  /// Adds every listed path with its status to `*out`.
  void Collect(Listing* out) const;

  /// A path the last walk found gone; valid during ForEachVanished's call.
  class Vanished {
   public:
    std::string path() const;
    /// Its status as the snapshot last listed it.
    FileInfo info() const;
    FileInfo::Sys sys() const;
    /// Whether it was reported as renamed or moved; marks it so.
    bool paired() const;
    void pair();

   private:
    friend class TreeSnapshot;
    Rec* rec_ = nullptr;
    std::string_view dir_;
    std::string_view name_;
    std::string_view whole_;  // for the root: its path
  };
  /// Calls `f` for each path gone that this tree holds, until `f` returns
  /// false; returns false then.
  bool ForEachVanished(const std::function<bool(Vanished&)>& f);
  /// Lets go of the paths gone: nothing is reported for them any more.
  void SettleVanished();

 private:
  uint32_t newNode();
  void freeNode(uint32_t idx);
  // The record of `path` (the root or a path below it), or null.
  const Rec* find(std::string_view path) const;
  // A record leaving the snapshot, of the entry `name` of the directory
  // `dir`: it and what lies below it are set aside as gone for `*changes`
  // (when not null) or dropped.
  void setAside(std::string_view dir, std::string_view name, const Rec& r,
                Changes* changes);
  // The same for node `idx` (of the directory `dir`) and everything below.
  void setAsideNode(uint32_t idx, std::string_view dir, Changes* changes);
  // The records listed (or marked gone) in node `idx` and below it.
  size_t countListed(uint32_t idx) const;
  // Frees node `idx` and every node below it.
  void freeTree(uint32_t idx);
  // Calls `f` for each record below node `idx` (of the directory `dir`)
  // that `counts`, depth first; false when `f` stopped it.
  bool eachBelow(uint32_t idx, std::string_view dir, bool (*counts)(const Rec&),
                 const std::function<bool(Vanished&)>& f);
  // `*rec` (of `old`, listed before) stays in the snapshot unlisted: it is
  // marked gone for `*changes`, keeping the status it was listed with.
  void markGone(const Rec& old, Rec* rec, Changes* changes);
  void noteGone(Changes* changes, size_t n);
  // What counts as gone below a node set aside, and in the snapshot.
  static bool setAsideCounts(const Rec& r);
  static bool markedGone(const Rec& r);

  std::string root_;
  std::unique_ptr<Rec> rootRec_;  // null until the root has been seen
  std::vector<Node> nodes_;       // directories below the root
  std::vector<uint32_t> freeNodes_;
  // The walk's stack: one level per directory depth, with buffers kept
  // from walk to walk up to some depth.
  std::vector<std::unique_ptr<Level>> levels_;
  DirReader reader_;
  uint64_t generation_ = ~uint64_t{0};  // of the filters answers came from
  // What the last walks found gone: records set aside, and whether some
  // records still in the snapshot are marked gone.
  std::vector<Grave> graves_;
  bool goneInSnapshot_ = false;
};

}  // namespace watcher

#endif  // ZORVANE_WATCHER_SNAPSHOT_H_
