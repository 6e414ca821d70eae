// A polling file watcher.
//
// A Watcher keeps a watch list of names (files or directory trees) and a
// snapshot of the status of every file and directory under them. Start
// turns the calling thread into the polling loop: each cycle lists every
// name again, comparing what it finds with the snapshot as it goes, and
// delivers the differences as events. No change notification from the
// kernel is used. An unchanged entry costs one status call a cycle; one
// that a name filter leaves out and that is no directory costs none, and a
// directory left out with ErrSkipDir is not entered at all.
//
// Use:
//
//   RE2 pattern("\\.js$");                    // outlives the watcher
//   std::shared_ptr<watcher::Watcher> w = watcher::New();
//   w->SetMaxEvents(1);
//   if (auto err = w->AddRecursive("/w/app"); !err.ok()) ...
//   w->AddFilterHook(watcher::RegexFilterHook(pattern, false));
//   std::thread consumer([w] {
//     for (;;) {
//       watcher::Delivery d = w->Receive();
//       if (auto* e = std::get_if<watcher::Event>(&d)) ...      // a change
//       else if (auto* s = std::get_if<watcher::Status>(&d)) ... // a failure
//       else if (auto* f = std::get_if<watcher::RootFound>(&d)) ...
//       else if (auto* c = std::get_if<watcher::ErrorCleared>(&d)) ...
//       else break;                                              // Closed
//     }
//   });
//   watcher::Status err = w->Start(std::chrono::milliseconds(500));
//
// A path in both listings is written when its modification time, its size
// or its device and inode numbers differ, and changes mode (Chmod) when its
// mode differs. Events within one cycle come in this order: every Write and
// Chmod (for one path, Write first), then every Rename and Move, then every
// Create, then every Remove. Within each group the order is not defined.
//
// Roots come back. A watched name that vanishes is reported once
// (ErrWatchedFileDeleted), is taken off the watch list as RemoveRecursive
// does, and goes on a list of roots to look for; so does a name that
// AddRecursive could not find. Each cycle looks for each of them with one
// status call, and one that exists is watched again from that cycle on
// (RootFound).
//
// Failures are reported once. A path that cannot be read (a folder without
// permission, say) is delivered as a Status when it starts failing, not on
// every cycle while it fails; when a cycle reads it again, ErrorCleared
// says so, and its contents count as created.
//
// Deliveries have no buffer: the loop waits at each event and error until
// the consumer takes it, so the loop runs at the consumer's pace. The
// consumer must run on another thread than Start's and must keep receiving
// until it gets Closed. The loop holds no lock while it delivers.

#ifndef ZORVANE_WATCHER_WATCHER_H_
#define ZORVANE_WATCHER_WATCHER_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include <re2/re2.h>

#include "base/mutex.h"
#include "watcher/event.h"
#include "watcher/handoff.h"
#include "watcher/snapshot.h"
#include "watcher/status.h"

namespace watcher {

/// The notice that the polling loop has stopped; nothing more will come.
struct Closed {};

/// The notice that a root looked for exists and is watched from this cycle
/// on. `path` is the watched name (absolute, cleaned). `returned` is true
/// for a root that was watched before it went missing: this cycle reports
/// its entries as created, after this notice (entries that its going left
/// in the snapshot, as RemoveRecursive does when a hook had left out the
/// root's own path, are compared as usual). It is false for a root missing
/// since it was added: it is recorded like a root at start, with the filter
/// hooks of the moment, and nothing it already holds is reported.
struct RootFound {
  std::string path;
  bool returned = false;
};

/// The notice that a failure delivered before is over: `path` is the path
/// of that Status (Status::path()), or the watched name whose walk failed
/// for a failure without a path (a hook's error), and a cycle has now
/// listed it without that failure. Not given when the path left the watch
/// list, or its root went missing, meanwhile.
struct ErrorCleared {
  std::string path;
};

/// One item for the consumer: a change, a failure reported by the loop (a
/// listing failure, once while it lasts, or ErrWatchedFileDeleted), a root
/// found again, the end of a failure, or the closing notice.
using Delivery = std::variant<Event, Status, RootFound, ErrorCleared, Closed>;

/// A filter hook that keeps an entry when `r` matches anywhere in its base
/// name, or in its full path when `useFullPath` is true (RE2::PartialMatch:
/// anchored only where the expression anchors itself), and answers ErrSkip
/// otherwise. Directories are judged like files. The hook refers to `r`,
/// which must outlive every listing that may call it (in practice, the
/// watcher). A compiled RE2 is safe to use from several threads at once.
FilterFileHookFunc RegexFilterHook(const RE2& r, bool useFullPath);
/// Refused: the hook would outlive the temporary expression.
FilterFileHookFunc RegexFilterHook(const RE2&& r, bool useFullPath) = delete;
/// As above, sharing the ownership of `r`. A hook made here judges by name
/// alone, and AddFilterHook knows it: its answers are kept, and a file it
/// leaves out costs no status call.
FilterFileHookFunc RegexFilterHook(std::shared_ptr<const RE2> r,
                                   bool useFullPath);

/// Every method may be called from any thread, except from a filter hook
/// and, while a cycle delivers, from the consumer (see above). The lock
/// order is simple: the watcher's lock is never held while the loop
/// delivers, and the hand-off queues' locks are leaves.
class Watcher {
 public:
  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;

  /// Sets the most events that one cycle delivers; 0 or less means no
  /// limit. Takes effect from the next cycle's listing.
  void SetMaxEvents(int64_t limit) EXCLUDES(mu_);

  /// Appends a filter hook; hooks run in the order they were added. A hook
  /// filters listings made after it was added, not the snapshot already
  /// recorded.
  void AddFilterHook(FilterFileHookFunc f) EXCLUDES(mu_);

  /// Appends a filter hook that judges by name alone (NameFilterHookFunc),
  /// in the same order as AddFilterHook's. Its answers are kept with the
  /// entries; it may answer ErrSkipDir to keep a directory's contents out
  /// without entering it.
  void AddNameFilterHook(NameFilterHookFunc f) EXCLUDES(mu_);

  /// The snapshot as a listing: every watched path with its status.
  Listing WatchedFiles() EXCLUDES(mu_);

  /// Adds the tree rooted at `name` (a file or a directory; a relative name
  /// is taken against the current directory) to the watch list and records
  /// its listing in the snapshot. A `name` that is a symbolic link is
  /// followed and its target watched under `name`; links below it are
  /// listed as themselves and never entered. Fails, leaving the watch list
  /// and the snapshot unchanged, only when `name` itself cannot be listed
  /// (the status error, e.g. "lstat /w/app: no such file or directory"),
  /// or when a hook returns an error other than ErrSkip (that very error).
  /// A `name` that does not exist (a dangling link included) is put on the
  /// list of roots to look for all the same, and watched once it appears
  /// (RootFound with `returned` false). A directory below `name` that
  /// cannot be read is left out here, and reported by the first cycle.
  /// Adding a watched name again lists it afresh without events; if that
  /// fails, the watch list and the snapshot stay as they were.
  Status AddRecursive(const std::string& name) EXCLUDES(mu_);

  /// Takes `name` off the watch list and off the list of roots to look
  /// for, and drops from the snapshot its own entry and, for a directory,
  /// the entries directly inside it (deeper entries stay), whichever
  /// watched names list them; when the snapshot does not list `name`, it
  /// drops nothing. What it keeps and another watched name still lists is
  /// not reported as removed. A name that is not watched is no error;
  /// fails only when `name` cannot be made absolute.
  Status Remove(const std::string& name) EXCLUDES(mu_);

  /// As Remove, but drops the directory's whole subtree: `name` and every
  /// path below `name` + "/" (a sibling such as `name` + "2" stays).
  Status RemoveRecursive(const std::string& name) EXCLUDES(mu_);

  /// Runs the polling loop on the calling thread until Close: each cycle
  /// lists and compares, updating the snapshot, delivers, then sleeps `d`.
  /// The first cycle runs at once. Returns no error after Close;
  /// ErrDurationTooShort at once if `d` is below 1ns; ErrWatcherRunning at
  /// once if the watcher runs; ErrWatcherClosed at once if it ran before.
  /// Listing failures are delivered as Status items, once while they last
  /// (see ErrorCleared), and polling goes on; a watched name that vanished
  /// is delivered once as ErrWatchedFileDeleted and looked for from then
  /// on (see RootFound).
  Status Start(std::chrono::nanoseconds d) EXCLUDES(mu_);

  /// Stops a running watcher: empties the watch list, the roots to look
  /// for and the snapshot,
  /// then hands a stop request to the loop and returns once the loop took
  /// it, after which the loop delivers Closed and Start returns. The loop
  /// takes the request only between deliveries, so Close waits while the
  /// loop lists, sleeps or waits for the consumer. Does nothing to a
  /// watcher that is not running.
  void Close() EXCLUDES(mu_);

  /// Waits for the next item for the consumer: whichever comes first of an
  /// Event, an error Status, or Closed. Once closed, returns Closed at once
  /// for good.
  Delivery Receive() EXCLUDES(mu_);

  /// As Receive, but gives up at `deadline` (nullopt).
  std::optional<Delivery> ReceiveUntil(
      std::chrono::steady_clock::time_point deadline) EXCLUDES(mu_);

 private:
  friend std::shared_ptr<Watcher> New();
  friend class WatcherPeer;  // Tests look at the watch list and snapshot.

  Watcher() = default;

  using OutboxItem = std::variant<Event, Status, RootFound, ErrorCleared>;

  // One cycle's work under mu_: lists every watched name afresh, and every
  // root looked for that exists again, updating the snapshot, and returns
  // the events to deliver, up to the `maxEvents` limit. Puts the failures,
  // their ends and the roots found into `*notices`. Takes mu_.
  std::vector<Event> poll(std::vector<OutboxItem>* notices) EXCLUDES(mu_);
  // A failure of one cycle's walk of the watched name `root`.
  struct Failure {
    std::string root;
    Status status;
  };
  // Turns the cycle's failures into notices: those not reported while they
  // last, and the ends of those that are over. `walked` holds the roots
  // this cycle walked.
  void noteFailures(std::vector<Failure>& failures,
                    const std::unordered_set<std::string>& walked,
                    std::vector<OutboxItem>* notices) REQUIRES(mu_);
  // Looks for each root of missing_ with one status call; a root that
  // exists and can be listed moves to names_, and for one that was watched
  // before, its entries are added to `*changes` as created.
  void findMissingRoots(const WalkFilters& filters, Changes* changes,
                        std::vector<Failure>* failures,
                        std::unordered_set<std::string>* walked,
                        std::vector<RootFound>* found) REQUIRES(mu_);
  // Delivers the cycle's events; true when a close request was taken. The
  // consumer may take its time: mu_ is not held, so that the watcher's
  // other operations (Close above all) go on meanwhile.
  bool deliver(std::vector<Event>& events) EXCLUDES(mu_);
  // Remove and RemoveRecursive: `name` made absolute, then removeLocked.
  Status removeName(const std::string& name, bool recursive) EXCLUDES(mu_);
  // Takes `name` (absolute, cleaned) off the watch list and out of the
  // snapshot; `recursive` chooses the subtree.
  void removeLocked(const std::string& name, bool recursive) REQUIRES(mu_);
  WalkFilters filtersLocked() const REQUIRES(mu_) {
    return {&hooks_, filterGeneration_};
  }

  // The consumer's queue: events and errors on one unbuffered channel, so
  // their order is kept; closing it is the Closed notice.
  using Outbox = Rendezvous<OutboxItem>;
  Outbox out_;
  CloseRequest close_;

  // mu_ guards every field below. Walks run with it held, and so do the
  // filter hooks they call: a hook must not call back into the Watcher.
  base::Mutex mu_;
  std::vector<FilterHook> hooks_ GUARDED_BY(mu_);
  // Counts changes of the filters.
  uint64_t filterGeneration_ GUARDED_BY(mu_) = 0;
  bool running_ GUARDED_BY(mu_) = false;
  bool started_ GUARDED_BY(mu_) = false;  // Start has run the loop once.
  // Watched name (absolute, cleaned) -> added recursively. AddRecursive is
  // the only add operation, so every value is true.
  std::unordered_map<std::string, bool> names_ GUARDED_BY(mu_);
  // The roots to look for: names (absolute, cleaned) that are not there.
  // One entry per name however often it comes and goes; never in names_ at
  // the same time.
  struct MissingRoot {
    bool recursive = true;
    bool watched = false;  // Watched before it went missing.
  };
  std::unordered_map<std::string, MissingRoot> missing_ GUARDED_BY(mu_);
  // The snapshot, one tree per name. A tree whose name has left names_
  // (Remove) still holds what was not taken out with it: the next cycle
  // reports that as removed and drops the tree.
  std::unordered_map<std::string, std::unique_ptr<TreeSnapshot>> trees_
      GUARDED_BY(mu_);
  // The failures delivered and not over, by path (or by watched name, for
  // a failure without a path): the message delivered, and the watched
  // name whose walk found it.
  struct Failing {
    std::string root;
    std::string message;
  };
  std::unordered_map<std::string, Failing> failing_ GUARDED_BY(mu_);
  int64_t maxEvents_ GUARDED_BY(mu_) = 0;
};

/// A new, idle watcher with an empty watch list, no hooks and no limit.
std::shared_ptr<Watcher> New();

}  // namespace watcher

#endif  // ZORVANE_WATCHER_WATCHER_H_
