// Listing and comparison, internal to the watcher. They take no lock and
// touch no Watcher, so each can be run and measured on its own.

#ifndef ZORVANE_WATCHER_LISTING_H_
#define ZORVANE_WATCHER_LISTING_H_

#include <functional>
#include <string>
#include <string_view>
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

/// True when both records carry a device and inode number and both are
/// equal.
bool sameFile(const FileInfo& fi1, const FileInfo& fi2);

/// True when the last element of `path` begins with ".".
bool isHiddenFile(std::string_view path);

// Paths.

/// `path` made absolute against the current directory (absPathIn), in
/// `*out`; fails only when the current directory cannot be read.
Status absPath(std::string_view path, std::string* out);

/// `path` without its last element ("/a/b" -> "/a", "/a" -> "/"), for
/// cleaned absolute paths.
std::string_view parentDir(std::string_view path);

/// The last element of a cleaned path; "/" for the root.
std::string_view baseName(std::string_view path);

}  // namespace watcher

#endif  // ZORVANE_WATCHER_LISTING_H_
