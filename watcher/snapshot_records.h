// The records a TreeSnapshot is made of, shared by the files that build it:
// snapshot.cc (the records, and what a walk sets aside as gone) and
// walk.cc (the walk, and its stack of levels). Internal to the watcher.

#ifndef ZORVANE_WATCHER_SNAPSHOT_RECORDS_H_
#define ZORVANE_WATCHER_SNAPSHOT_RECORDS_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "watcher/dir_reader.h"
#include "watcher/event.h"
#include "watcher/snapshot.h"

namespace watcher {

inline constexpr uint32_t kNoNode = ~uint32_t{0};

// Record flags.
inline constexpr uint8_t kListed = 1 << 0;  // in the listing: passed every filter
inline constexpr uint8_t kJudged = 1 << 1;  // the name hooks' answer is kept
inline constexpr uint8_t kJudgedDir = 1 << 2;  // ... and was for a directory
inline constexpr int kAnswerShift = 3;         // two bits: the answer (Answer)
// Listed before the walk that marked it, and not since: a removal for that
// walk's changes to report. Cleared once they are emitted.
inline constexpr uint8_t kGone = 1 << 5;
inline constexpr uint8_t kPaired = 1 << 6;  // ... reported as renamed instead

// What the filters said of an entry.
enum Answer : uint8_t { kKeep = 0, kSkip = 1, kSkipDir = 2 };

inline void joinInto(std::string* out, std::string_view dir,
                     std::string_view name) {
  out->assign(dir);
  if (out->empty() || out->back() != '/') out->push_back('/');
  out->append(name);
}

inline std::string joined(std::string_view dir, std::string_view name) {
  std::string out;
  out.reserve(dir.size() + 1 + name.size());
  joinInto(&out, dir, name);
  return out;
}

struct TreeSnapshot::Rec {
  uint32_t nameOff = 0;  // in the node's names
  uint16_t nameLen = 0;
  uint8_t flags = 0;
  uint8_t unused = 0;
  uint32_t mode = 0;
  uint32_t child = kNoNode;  // the directory's node, when it was entered
  int64_t mtime = 0;         // nanoseconds after the epoch
  int64_t size = 0;
  uint64_t dev = 0;
  uint64_t ino = 0;

  bool listed() const { return (flags & kListed) != 0; }
  bool gone() const { return (flags & kGone) != 0; }

  void setStatus(const struct stat& st) {
    mode = st.st_mode;
    mtime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 +
            st.st_mtim.tv_nsec;
    size = st.st_size;
    dev = st.st_dev;
    ino = st.st_ino;
  }
  void copyStatus(const Rec& from) {
    mode = from.mode;
    mtime = from.mtime;
    size = from.size;
    dev = from.dev;
    ino = from.ino;
  }

  FileInfo info(std::string_view name) const {
    FileInfo fi;
    fi.name.assign(name);
    fi.size = size;
    fi.mode = mode;
    fi.modTime = Time(std::chrono::nanoseconds(mtime));
    fi.sys = FileInfo::Sys{dev, ino};
    return fi;
  }
};

struct TreeSnapshot::Node {
  std::vector<Rec> recs;  // in the order the directory gives its entries
  std::string names;      // the records' names (as read, with NULs)

  std::string_view name(const Rec& r) const {
    return std::string_view(names).substr(r.nameOff, r.nameLen);
  }
};

// What a walk took out of the snapshot, to be reported as removed: records
// of one directory (those marked gone), or a directory's whole subtree
// (every record listed in it). Subtrees stay where they are in the
// snapshot's nodes until the changes are emitted: setting them aside costs
// no memory.
struct TreeSnapshot::Grave {
  // The directory the records were in (for the root's own record, the
  // root's path), or the subtree's directory.
  std::string dir;
  bool root = false;  // `node` holds the root's own record, named by `dir`
  Node node;          // records set aside one by one; each keeps its child
  uint32_t subtree = kNoNode;  // or a node set aside with all below it
};

// One directory on the walk's stack (walk.cc), kept with its buffers from
// walk to walk.
struct TreeSnapshot::Level {
  DirEntries dir;  // its entries as read
  // The entries in the order they are visited, when that is not the
  // directory's own: by name, as a listing walks.
  std::vector<uint32_t> order;
  std::vector<uint32_t> oldOrder;  // changed: the old records by name
  std::vector<Rec> recs;  // changed: the new records, in the directory's order
  std::vector<uint8_t> keep;  // which new records (or old, when same) stay
  Node node;                  // its records, out of nodes_ while walked
  uint32_t idx = kNoNode;     // its node
  int fd = -1;                // -1 while given back
  bool lost = false;          // and it could not be had again
  bool same = false;          // holds the names it held: updated in place
  bool dropped = false;       // same: some record goes (see keep)
  size_t pathLen = 0;         // of the walker's path_ for it
  size_t pos = 0;             // entries visited
  size_t oldPos = 0;          // changed: old records passed
  uint32_t at = 0;            // the entry whose directory is walked below
  Rec now;                    // its record, stored when that walk ends
  dev_t dev = 0;              // its identity, while its descriptor is
  ino_t ino = 0;              // given back

  size_t count() const { return dir.ents.size(); }
};

}  // namespace watcher

#endif  // ZORVANE_WATCHER_SNAPSHOT_RECORDS_H_
