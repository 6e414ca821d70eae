// Lexical path handling shared by the watcher and its users, so that a name
// is made absolute and cleaned the same way wherever it is written down.
// Nothing here touches the file system but absPath, which reads the
// current directory.

#ifndef ZORVANE_WATCHER_PATH_H_
#define ZORVANE_WATCHER_PATH_H_

#include <string>
#include <string_view>

#include "watcher/status.h"

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

/// `path` made absolute against the current directory (absPathIn), in
/// `*out`; fails only when the current directory cannot be read.
Status absPath(std::string_view path, std::string* out);

/// `path` without its last element ("/a/b" -> "/a", "/a" -> "/"), for
/// cleaned absolute paths.
std::string_view parentDir(std::string_view path);

/// True when `path` is `dir` or lies below it (both absolute, cleaned):
/// "/a" covers "/a/b" but not "/ab".
bool covers(std::string_view dir, std::string_view path);

/// The last element of a cleaned path; "/" for the root.
std::string_view baseName(std::string_view path);

}  // namespace watcher

#endif  // ZORVANE_WATCHER_PATH_H_
