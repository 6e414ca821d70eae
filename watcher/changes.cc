#include "watcher/changes.h"

#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "watcher/path.h"
#include "watcher/snapshot.h"

namespace watcher {

namespace {

// Watched roots that overlap (one inside another) see the same paths.
// Here a path gone from one tree is still in the listing when another
// tree lists it, and one gone from two trees is reported once.
class Overlaps {
 public:
  explicit Overlaps(const Changes& c) : c_(c) {
    std::vector<const TreeSnapshot*> all(c.listing.begin(), c.listing.end());
    all.insert(all.end(), c.vanishedIn.begin(), c.vanishedIn.end());
    for (const TreeSnapshot* t : c.vanishedIn) {
      for (const TreeSnapshot* u : all) {
        if (u != t && (covers(u->root(), t->root()) ||
                       covers(t->root(), u->root()))) {
          overlapping_.insert(t);
          break;
        }
      }
    }
  }

  bool any(const TreeSnapshot* t) const {
    return overlapping_.contains(t);
  }

  // Whether `path`, gone from `t`, is to be reported: listed by no other
  // tree, and not reported before in this pass.
  bool report(const TreeSnapshot* t, const std::string& path) {
    for (const TreeSnapshot* u : c_.listing) {
      if (u != t && covers(u->root(), path) && u->Lists(path)) return false;
    }
    return seen_.insert(path).second;
  }

  // A new pass over the paths gone.
  void restart() { seen_.clear(); }

 private:
  const Changes& c_;
  std::unordered_set<const TreeSnapshot*> overlapping_;
  std::unordered_set<std::string> seen_;
};

}  // namespace

void emitChanges(Changes& changes, const std::function<bool(Event)>& emit) {
  // However the emission ends, the trees let go of their paths gone.
  struct Settle {
    Changes& c;
    ~Settle() {
      for (TreeSnapshot* t : c.vanishedIn) t->SettleVanished();
      c.vanishedIn.clear();
      c.vanished = 0;
    }
  } settle{changes};

  struct Appeared {
    std::pair<std::string, FileInfo>* entry;
    size_t trees = 1;  // that found it new
    bool listedBefore = false;
    bool paired = false;
  };
  // Watched trees that overlap find the same path new twice.
  std::unordered_map<std::string_view, size_t> appearedAt;
  std::vector<Appeared> appeared;
  for (auto& a : changes.appeared) {
    const auto [at, added] = appearedAt.emplace(a.first, appeared.size());
    if (added) {
      appeared.push_back({&a});
    } else {
      ++appeared[at->second].trees;
    }
  }
  Overlaps overlaps(changes);
  // What trees that overlap tell apart is one listing's: a path new to one
  // tree (it forgot the path, or did not reach it last time) was listed
  // before when another tree listed it then, still lists it (and reports
  // its own changes), or lost it now. Only the last compares statuses
  // across trees.
  std::vector<Event> across;
  if (!changes.listing.empty()) {
    for (Appeared& a : appeared) {
      size_t listing = 0;
      for (const TreeSnapshot* t : changes.listing) {
        listing += covers(t->root(), a.entry->first) && t->Lists(a.entry->first);
      }
      a.listedBefore = listing > a.trees;
    }
  }
  for (TreeSnapshot* t : changes.vanishedIn) {
    if (appeared.empty() || !overlaps.any(t)) continue;
    (void)t->ForEachVanished([&](TreeSnapshot::Vanished& v) {
      const auto at = appearedAt.find(v.path());
      if (at == appearedAt.end()) return true;
      Appeared& a = appeared[at->second];
      if (a.listedBefore) return true;
      a.listedBefore = true;
      const FileInfo was = v.info();
      const FileInfo& now = a.entry->second;
      if (was.modTime != now.modTime || was.size != now.size ||
          !sameFile(was, now)) {
        across.push_back(Event{Op::Write, a.entry->first, now});
      }
      if (was.mode != now.mode) {
        across.push_back(Event{Op::Chmod, a.entry->first, now});
      }
      return true;
    });
  }
  std::erase_if(appeared, [](const Appeared& a) { return a.listedBefore; });

  // Watched trees that overlap find the same change twice.
  std::unordered_set<std::string_view> seen, seenChmod;
  for (std::vector<Event>* written : {&changes.written, &across}) {
    for (const Event& e : *written) {
      const bool first = (e.Op == Op::Chmod ? seenChmod : seen)
                             .insert(e.Path)
                             .second;
      if (first && !emit(e)) return;
    }
  }

  // Visits every path gone, once each, that is not listed elsewhere.
  const auto eachVanished =
      [&](const std::function<bool(TreeSnapshot::Vanished&)>& f) {
        overlaps.restart();
        for (TreeSnapshot* t : changes.vanishedIn) {
          const bool check = overlaps.any(t);
          const bool more = t->ForEachVanished([&](TreeSnapshot::Vanished& v) {
            if (check && !overlaps.report(t, v.path())) return true;
            return f(v);
          });
          if (!more) return false;
        }
        return true;
      };

  // A vanished and an appeared path that are the same file: Rename within
  // a directory, Move across. A vanished path may pair with several
  // appeared ones (hard links), an appeared one pairs once. Candidates are
  // found by inode rather than by trying every pair.
  if (changes.vanished > 0 && !appeared.empty()) {
    std::unordered_multimap<uint64_t, size_t> byInode;
    for (size_t i = 0; i < appeared.size(); ++i) {
      const FileInfo& fi = appeared[i].entry->second;
      if (fi.sys) byInode.emplace(fi.sys->ino, i);
    }
    const bool more = eachVanished([&](TreeSnapshot::Vanished& v) {
      const FileInfo::Sys was = v.sys();
      const auto [first, last] = byInode.equal_range(was.ino);
      for (auto it = first; it != last; ++it) {
        Appeared& a = appeared[it->second];
        const FileInfo& now = a.entry->second;
        if (a.paired || now.sys->dev != was.dev) continue;
        a.paired = true;
        v.pair();
        const std::string from = v.path();
        const std::string& to = a.entry->first;
        const Op op = parentDir(from) == parentDir(to) ? Op::Rename : Op::Move;
        if (!emit(Event{op, from + " -> " + to, v.info(), to})) return false;
      }
      return true;
    });
    if (!more) return;
  }
  for (Appeared& a : appeared) {
    if (!a.paired &&
        !emit(Event{Op::Create, a.entry->first, a.entry->second})) {
      return;
    }
  }
  if (changes.vanished > 0) {
    (void)eachVanished([&](TreeSnapshot::Vanished& v) {
      return v.paired() || emit(Event{Op::Remove, v.path(), v.info()});
    });
  }
}

}  // namespace watcher
