#include <vector>

#include "watcher/reference.h"

namespace watcher {

namespace {

// A path of one listing, pointing into it: the working sets copy nothing.
struct Side {
  const std::string* path;
  const FileInfo* info;
  bool paired = false;
};

// True when the file at one path holds other content than before. The
// time alone misses a second save within one timestamp tick (whole seconds
// on some mounts); the size, or a new inode from a save that replaces the
// file, still tells.
bool written(const FileInfo& before, const FileInfo& now) {
  if (before.modTime != now.modTime || before.size != now.size) return true;
  return before.sys && now.sys && !sameFile(before, now);
}

}  // namespace

void compareListings(const Listing& prev, const Listing& cur,
                     const std::function<bool(Event)>& emit) {
  // Paths in both listings: Write, then Chmod. One lookup per path.
  std::vector<Side> appeared;
  size_t inBoth = 0;
  for (const auto& [path, info] : cur) {
    const auto old = prev.find(path);
    if (old == prev.end()) {
      appeared.push_back({&path, &info});
      continue;
    }
    ++inBoth;
    if (written(old->second, info) && !emit(Event{Op::Write, path, info})) {
      return;
    }
    if (old->second.mode != info.mode && !emit(Event{Op::Chmod, path, info})) {
      return;
    }
  }

  // Only look for vanished paths when some are missing.
  std::vector<Side> vanished;
  if (inBoth < prev.size()) {
    for (const auto& [path, info] : prev) {
      if (!cur.contains(path)) vanished.push_back({&path, &info});
    }
  }

  // Renames, found the slow and obvious way: every vanished path is held
  // against every appeared one, and two are one file when both records
  // carry a device and inode number and both are equal. A vanished path
  // takes every appeared one that matches (several links to one file); an
  // appeared path is taken once, by the first vanished one that matches.
  // Within a directory it is a Rename, across directories a Move.
  for (Side& v : vanished) {
    if (!v.info->sys) continue;
    for (Side& a : appeared) {
      if (a.paired || !a.info->sys || a.info->sys->dev != v.info->sys->dev ||
          a.info->sys->ino != v.info->sys->ino) {
        continue;
      }
      a.paired = true;
      v.paired = true;
      const Op op =
          parentDir(*v.path) == parentDir(*a.path) ? Op::Rename : Op::Move;
      if (!emit(Event{op, *v.path + " -> " + *a.path, *v.info, *a.path})) {
        return;
      }
    }
  }

  for (const Side& a : appeared) {
    if (!a.paired && !emit(Event{Op::Create, *a.path, *a.info})) return;
  }
  for (const Side& v : vanished) {
    if (!v.paired && !emit(Event{Op::Remove, *v.path, *v.info})) return;
  }
}

}  // namespace watcher
