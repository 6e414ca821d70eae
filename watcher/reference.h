// The straightforward listing and comparison the watcher was first built
// with: a map of full paths per cycle, compared map against map. The
// watcher itself walks a snapshot (snapshot.h); these stay as the
// reference its tests and benchmarks hold it against.

#ifndef ZORVANE_WATCHER_REFERENCE_H_
#define ZORVANE_WATCHER_REFERENCE_H_

#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "watcher/event.h"
#include "watcher/path.h"
#include "watcher/status.h"

namespace watcher {

/// What decides whether an entry belongs in a listing; a null pointer means
/// none. The pointed-to values must stay unchanged during the listing (the
/// watcher's lock).
struct ListFilters {
  const std::vector<FilterFileHookFunc>* hooks = nullptr;
  const std::unordered_set<std::string>* ignored = nullptr;
  bool ignoreHidden = false;
};

/// The one-level listing of `name` (absolute, cleaned): `name` itself, with
/// its status following links and passing no filter, and for a directory
/// each entry (status not following links) that passes, in this order,
/// `ignored`, the hidden-name test and the hooks. An entry that vanished
/// since the directory was read is left out. On failure `*out` is left
/// empty and the status, open, directory-read or hook error is returned.
Status list(const std::string& name, const ListFilters& filters, Listing* out);

/// The tree listing of `name` (absolute, cleaned), depth first in name
/// order. A `name` that is a symbolic link is followed (a dangling one
/// fails as not existing, "stat <name>: ..."); below it no link is followed
/// or entered, each is listed as itself. Every path, the root included,
/// passes the hooks first: ErrSkip leaves it out, but a directory left out
/// so is still entered; any other hook error stops the walk and is
/// returned, with `*out` holding what was gathered. Then a path in
/// `ignored`, or hidden when `ignoreHidden`, is left out, a directory with
/// its whole subtree.
/// Returns an error only when `name` itself cannot be listed (its status,
/// opening or reading it) or a hook failed. An entry that vanished during
/// the walk is left out silently. A directory below `name` that cannot be
/// read keeps its own entry but loses its contents, and its failure is
/// appended to `*unreadable`; the walk goes on.
Status listRecursive(const std::string& name, const ListFilters& filters,
                     Listing* out, std::vector<Status>* unreadable);

/// Compares the listing `cur` with the previous listing `prev` and calls
/// `emit` for each change in the order documented in watcher.h. Stops as
/// soon as `emit` returns false.
void compareListings(const Listing& prev, const Listing& cur,
                     const std::function<bool(Event)>& emit);

}  // namespace watcher

#endif  // ZORVANE_WATCHER_REFERENCE_H_
