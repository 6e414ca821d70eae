// Helpers on records and paths, internal to the watcher.

#ifndef ZORVANE_WATCHER_LISTING_H_
#define ZORVANE_WATCHER_LISTING_H_

#include <string>
#include <string_view>

#include "watcher/event.h"
#include "watcher/path.h"
#include "watcher/status.h"

namespace watcher {

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

/// True when `path` is `dir` or lies below it (both absolute, cleaned):
/// "/a" covers "/a/b" but not "/ab".
bool covers(std::string_view dir, std::string_view path);

/// The last element of a cleaned path; "/" for the root.
std::string_view baseName(std::string_view path);

}  // namespace watcher

#endif  // ZORVANE_WATCHER_LISTING_H_
