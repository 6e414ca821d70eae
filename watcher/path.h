// Lexical path handling shared by the watcher and its users, so that a name
// is made absolute and cleaned the same way wherever it is written down.
// Nothing here touches the file system.

#ifndef ZORVANE_WATCHER_PATH_H_
#define ZORVANE_WATCHER_PATH_H_

#include <string>
#include <string_view>

namespace watcher {

/// `path` cleaned: one separator between elements, "." dropped, ".."
/// removing the element before it (at the root, dropped), no trailing
/// separator except in "/". An empty path cleans to ".".
std::string cleanPath(std::string_view path);

/// `path` made absolute against the directory `dir` and cleaned: an
/// absolute `path` is only cleaned, a relative one is joined to `dir`
/// first. `dir` should be absolute; ".." is resolved lexically, so
/// through a symbolic link in `dir` it climbs the link's own parent.
std::string absPathIn(std::string_view dir, std::string_view path);

}  // namespace watcher

#endif  // ZORVANE_WATCHER_PATH_H_
