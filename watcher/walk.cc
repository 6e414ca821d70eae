// The walk of a TreeSnapshot: lists the tree afresh, compares it with the
// snapshot and updates the snapshot, in one pass.
//
// The walk keeps its own stack of directory levels on the heap: however
// deep the tree, the thread's stack does not grow. Each level holds the
// directory's descriptor, for the status calls of its entries and the
// opening of its subdirectories; when no descriptor is left to open one
// (EMFILE, ENFILE), the levels above give theirs back, and each gets its
// own again, through ".." of the level below, when the walk returns to it.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "watcher/path.h"
#include "watcher/snapshot.h"
#include "watcher/snapshot_records.h"

namespace watcher {

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
// Levels kept from walk to walk with their buffers; a deeper walk makes
// the rest anew each time.
constexpr size_t kKeptLevels = 64;

bool isShortage(int err) {
  return err == EMFILE || err == ENFILE;
}

}  // namespace

class TreeSnapshot::Walker {
 public:
  Walker(TreeSnapshot& t, const WalkFilters& f, Changes* changes,
         std::vector<Status>* unreadable)
      : t_(t), f_(f), changes_(changes), unreadable_(unreadable) {
    static_assert(sizeof(Rec) == 48, "records stay compact");
    useAnswers_ = t.generation_ == f.generation;
    t.generation_ = f.generation;
    if (f.hooks != nullptr) {
      while (byNameHooks_ < f.hooks->size() &&
             (*f.hooks)[byNameHooks_].byName) {
        ++byNameHooks_;
      }
      laterHooks_ = byNameHooks_ < f.hooks->size();
    }
  }

  Status Run();

 private:
  enum class Step { kDone, kGone, kEnter };

  // The full path of the entry being judged, made only when needed.
  class EntryPath {
   public:
    EntryPath(const std::string& dir, std::string_view name, std::string* buf)
        : dir_(dir), name_(name), buf_(buf) {}
    // For the root, whose path is known.
    explicit EntryPath(const std::string& path)
        : dir_(path), buf_(nullptr), made_(true) {}
    const std::string& get() {
      if (!made_) {
        joinInto(buf_, dir_, name_);
        made_ = true;
      }
      return buf_ != nullptr ? *buf_ : dir_;
    }

   private:
    const std::string& dir_;
    std::string_view name_;
    std::string* buf_;
    bool made_ = false;
  };

  // One entry on its way through judge(): where it lies, what its
  // directory said of it, its status once read, and what the snapshot held
  // (a copy, as the new record may be written over the old one).
  struct Entry {
    int fd;                 // its directory; -1 for the root
    std::string_view name;  // NUL-terminated
    EntryPath& path;
    bool isDir;
    bool haveStat;  // `st` holds its status, the link itself's
    struct stat st;
    bool hadOld;  // the snapshot held `old`
    Rec old;
  };

  // Walks the directory `fd` (node `idx`, path path_) and everything below
  // it. Fails only when that directory cannot be read; `fd` is closed.
  Status walkTree(int fd, uint32_t idx);
  // Makes the level `depth` the directory `fd`, node `idx`, path path_:
  // reads it and plans the visit of its entries.
  Status push(size_t depth, int fd, uint32_t idx);
  // Visits the entries of the level `depth` until one is a directory to
  // walk (true: `*sub` is open on it, path_ is its path) or none is left.
  bool visit(size_t depth, int* sub);
  bool visitSame(size_t depth, uint32_t i, int* sub);
  bool visitChanged(size_t depth, uint32_t k, int* sub);
  // Stores the record of the entry walked below the level.
  void store(Level& lv);
  // Puts the level's records back into the snapshot.
  void finish(Level& lv);
  // Judges, reads and compares the entry `name` (NUL-terminated) of the
  // level `depth`, that the snapshot held as `*old` (null when new), into
  // `*rec` (whose name is set). kGone when the entry is gone, or when a
  // hook failed (failed_); `*rec` is then untouched. kEnter when it is a
  // directory to walk: `*sub` is open on it and its record is in the
  // level's `now`.
  Step entry(size_t depth, std::string_view name, uint8_t type,
             const Rec* old, Rec* rec, int* sub);
  // What entry() and the root share: judges `e`, reads its status if it
  // is to be listed and was not read, compares it into `*rec`, and sets
  // `*enter`. False when it is gone or a hook failed.
  bool judge(Entry& e, Rec* rec, bool* enter);
  // Reads the status of `e` into e.st, the link itself and not its
  // target. False when it is gone (or unreadable, which is reported).
  bool statAt(Entry& e);
  void compare(const Entry& e, const Rec& now);
  // The record `r` of the entry `name` of the directory path_ leaves the
  // snapshot, with what lies below it.
  void setAside(const Rec& r, std::string_view name) {
    t_.setAside(path_, name, r, changes_);
  }

  // Descriptors. Opens the subdirectory `name` of the level `depth`; on a
  // shortage the levels above give theirs back first.
  int openSub(size_t depth, std::string_view name);
  // Gives back the descriptors of the levels above `depth`; false when
  // none held one.
  bool releaseAbove(size_t depth);
  // The level `depth` gets its descriptor back, if it gave it away and has
  // entries left, from `below` (the level just walked) or by its path.
  void reclaim(size_t depth, const Level& below);

  Level& level(size_t depth);
  // The hooks that judge by name, in order, up to the first that judges
  // by status.
  Answer judgeByName(std::string_view name, const std::string& path,
                     bool isDir);
  // The remaining hooks, on the full status.
  Answer judgeByInfo(const FileInfo& info, const std::string& path);
  Answer answerOf(const Status& s, bool isDir);

  TreeSnapshot& t_;
  const WalkFilters& f_;
  Changes* changes_;
  std::vector<Status>* unreadable_;
  bool useAnswers_ = false;
  size_t byNameHooks_ = 0;
  bool laterHooks_ = false;  // hooks after the name hooks: asked each walk
  std::string path_;         // the directory being walked
  std::string entryPath_;    // where EntryPath makes an entry's path
  Status failed_;            // a hook's error: the walk stops
};

Status TreeSnapshot::Walk(const WalkFilters& filters, Changes* changes,
                          std::vector<Status>* unreadable) {
  // Paths gone that an earlier walk left unreported are not this walk's.
  SettleVanished();
  Status s = Walker(*this, filters, changes, unreadable).Run();
  if (levels_.size() > kKeptLevels) levels_.resize(kKeptLevels);
  return s;
}

Status TreeSnapshot::Walker::Run() {
  const std::string& root = t_.root_;
  struct stat st;
  const char* op = "lstat";
  int rc = ::lstat(root.c_str(), &st);
  // A root given as a link ("/app -> /workspace/app") is walked as what it
  // points to, under the name given; a dangling one does not exist.
  if (rc == 0 && S_ISLNK(st.st_mode)) {
    op = "stat";
    rc = ::stat(root.c_str(), &st);
  }
  if (rc != 0) {
    const int err = errno;
    // A root that is gone is the caller's to drop; for any other failure
    // its listing is empty this cycle.
    if (err != ENOENT) t_.VanishAll(changes_);
    return Status::PathError(op, root, err);
  }

  const bool hadOld = t_.rootRec_ != nullptr;
  EntryPath path(root);
  Entry e{-1, baseName(root), path, S_ISDIR(st.st_mode), true, st, hadOld,
          hadOld ? *t_.rootRec_ : Rec{}};
  Rec rec;
  bool enter = false;
  if (!judge(e, &rec, &enter)) {
    // Only a hook's failure gets here: nothing was reached.
    t_.VanishAll(changes_);
    return failed_;
  }
  uint32_t child = hadOld ? e.old.child : kNoNode;
  if (!enter) {
    if (child != kNoNode) t_.setAsideNode(child, root, changes_);
    rec.child = kNoNode;
    t_.rootRec_ = std::make_unique<Rec>(rec);
    return Status();
  }
  if (child == kNoNode) child = t_.newNode();
  rec.child = child;
  t_.rootRec_ = std::make_unique<Rec>(rec);
  const int fd = ::open(root.c_str(), kDirFlags);
  const int openErr = fd < 0 ? errno : 0;
  // Gone since its status call: the caller's to drop, as above, so that
  // the same going is reported the same way whenever it falls.
  if (openErr == ENOENT) return Status::PathError("open", root, openErr);
  Status s = fd < 0 ? Status::PathError("open", root, openErr) : Status();
  path_ = root;
  if (s.ok()) s = walkTree(fd, child);
  if (!s.ok()) {
    t_.setAsideNode(child, root, changes_);
    t_.rootRec_->child = kNoNode;
    return s;
  }
  return failed_;
}

TreeSnapshot::Level& TreeSnapshot::Walker::level(size_t depth) {
  while (t_.levels_.size() <= depth) {
    t_.levels_.push_back(std::make_unique<Level>());
  }
  return *t_.levels_[depth];
}

Status TreeSnapshot::Walker::walkTree(int fd, uint32_t idx) {
  if (Status s = push(0, fd, idx); !s.ok()) {
    ::close(fd);
    return s;
  }
  size_t depth = 0;
  for (;;) {
    int sub = -1;
    if (visit(depth, &sub)) {
      Level& lv = level(depth);
      const uint32_t child = lv.now.child;
      if (Status s = push(depth + 1, sub, child); !s.ok()) {
        // An unreadable directory loses its contents only.
        ::close(sub);
        if (unreadable_ != nullptr) unreadable_->push_back(std::move(s));
        t_.setAsideNode(child, path_, changes_);
        lv.now.child = kNoNode;
        store(lv);
        path_.resize(lv.pathLen);
        continue;
      }
      ++depth;
      continue;
    }
    Level& lv = level(depth);
    finish(lv);
    if (depth > 0) reclaim(depth - 1, lv);
    if (lv.fd >= 0) ::close(lv.fd);
    lv.fd = -1;
    if (depth == 0) return Status();
    --depth;
    Level& parent = level(depth);
    store(parent);
    path_.resize(parent.pathLen);
  }
}

Status TreeSnapshot::Walker::push(size_t depth, int fd, uint32_t idx) {
  Level& lv = level(depth);
  if (int err = t_.reader_.Read(fd, &lv.dir); err != 0) {
    return Status::PathError("readdirent", path_, err);
  }
  lv.fd = fd;
  lv.idx = idx;
  lv.lost = false;
  lv.dropped = false;
  lv.pathLen = path_.size();
  lv.pos = 0;
  lv.oldPos = 0;
  // Taken out of the node: nodes_ may grow while subdirectories are
  // walked, and the node's storage would move with it.
  lv.node = std::move(t_.nodes_[idx]);
  const size_t count = lv.count();
  const size_t oldCount = lv.node.recs.size();

  // Records are kept in the order the directory gives its entries, which
  // stays the same while the directory does: an unchanged directory is
  // recognised without sorting anything.
  // A listing walks in name order, so a hook that fails cuts it there.
  // Only when a hook may be asked does the order matter, and cost a sort:
  // hooks asked on every walk, other filters than the answers kept, or an
  // answer kept for another kind of entry.
  bool byName = !useAnswers_ || laterHooks_;
  const bool checkAnswers = !byName && byNameHooks_ > 0;
  lv.same = oldCount == count;
  for (size_t i = 0; lv.same && i < count; ++i) {
    const Rec& r = lv.node.recs[i];
    const DirEntries::Ent& e = lv.dir.ents[i];
    lv.same = lv.node.name(r) == lv.dir.name(e);
    if (checkAnswers && !byName) {
      byName = (r.flags & kJudged) == 0 ||
               (e.type != DT_UNKNOWN &&
                ((r.flags & kJudgedDir) != 0) != (e.type == DT_DIR));
    }
  }
  byName = byName || !lv.same;
  lv.order.clear();
  if (byName) {
    lv.order.resize(count);
    for (uint32_t i = 0; i < count; ++i) lv.order[i] = i;
    std::sort(lv.order.begin(), lv.order.end(), [&](uint32_t a, uint32_t b) {
      return lv.dir.name(lv.dir.ents[a]) < lv.dir.name(lv.dir.ents[b]);
    });
  }
  if (!lv.same) {
    // Changed: old records and new entries are matched by name; the new
    // records keep the directory's order.
    lv.oldOrder.resize(oldCount);
    for (uint32_t i = 0; i < oldCount; ++i) lv.oldOrder[i] = i;
    std::sort(lv.oldOrder.begin(), lv.oldOrder.end(),
              [&](uint32_t a, uint32_t b) {
                return lv.node.name(lv.node.recs[a]) <
                       lv.node.name(lv.node.recs[b]);
              });
    lv.recs.assign(count, Rec{});
    lv.keep.assign(count, 0);
  }
  return Status();
}

bool TreeSnapshot::Walker::visit(size_t depth, int* sub) {
  Level& lv = level(depth);
  while (lv.pos < lv.count()) {
    const size_t p = lv.pos++;
    const uint32_t i = lv.order.empty() ? static_cast<uint32_t>(p) : lv.order[p];
    if (lv.same ? visitSame(depth, i, sub) : visitChanged(depth, i, sub)) {
      return true;
    }
  }
  return false;
}

bool TreeSnapshot::Walker::visitSame(size_t depth, uint32_t i, int* sub) {
  Level& lv = level(depth);
  Rec& r = lv.node.recs[i];
  const uint8_t type = lv.dir.ents[i].type;
  const std::string_view name = lv.dir.name(lv.dir.ents[i]);
  const auto drop = [&] {
    if (!lv.dropped) lv.keep.assign(lv.count(), 1);
    lv.dropped = true;
    lv.keep[i] = 0;
  };
  if (!failed_.ok()) {
    // Not reached after a hook failed: gone from this listing.
    setAside(r, name);
    drop();
    return false;
  }
  // Its directory could not be had again: kept as it was.
  if (lv.lost) return false;
  // A file the name filters left out stays out: nothing to read, judge or
  // compare.
  if (useAnswers_ && type != DT_DIR && type != DT_UNKNOWN &&
      (r.flags & (kListed | kJudged | kJudgedDir)) == kJudged &&
      ((r.flags >> kAnswerShift) & 3) != kKeep && r.child == kNoNode) {
    return false;
  }
  switch (entry(depth, name, type, &r, &r, sub)) {
    case Step::kDone:
      return false;
    case Step::kEnter:
      lv.at = i;
      return true;
    case Step::kGone:
      if (!failed_.ok()) setAside(r, name);
      drop();
      return false;
  }
  return false;
}

bool TreeSnapshot::Walker::visitChanged(size_t depth, uint32_t k, int* sub) {
  Level& lv = level(depth);
  if (!failed_.ok()) {
    // Not reached after a hook failed: finish() sets the old records aside.
    lv.pos = lv.count();
    return false;
  }
  const DirEntries::Ent& e = lv.dir.ents[k];
  const std::string_view name = lv.dir.name(e);
  const Node& node = lv.node;
  const size_t oldCount = node.recs.size();
  while (lv.oldPos < oldCount &&
         node.name(node.recs[lv.oldOrder[lv.oldPos]]) < name) {
    const Rec& gone = node.recs[lv.oldOrder[lv.oldPos++]];
    setAside(gone, node.name(gone));
  }
  const Rec* old = nullptr;
  if (lv.oldPos < oldCount &&
      node.name(node.recs[lv.oldOrder[lv.oldPos]]) == name) {
    old = &node.recs[lv.oldOrder[lv.oldPos++]];
  }
  Rec& rec = lv.recs[k];
  if (lv.lost) {
    // Its directory could not be had again: what is still there is kept
    // as it was; what is new waits for the next walk.
    if (old != nullptr) {
      rec = *old;
      rec.nameOff = e.off;
      rec.nameLen = e.len;
      lv.keep[k] = 1;
    }
    return false;
  }
  rec = Rec{};
  rec.nameOff = e.off;
  rec.nameLen = e.len;
  switch (entry(depth, name, e.type, old, &rec, sub)) {
    case Step::kDone:
      lv.keep[k] = 1;
      return false;
    case Step::kEnter:
      lv.at = k;
      return true;
    case Step::kGone:
      if (!failed_.ok() && old != nullptr) setAside(*old, name);
      return false;
  }
  return false;
}

void TreeSnapshot::Walker::store(Level& lv) {
  if (lv.same) {
    lv.node.recs[lv.at] = lv.now;
  } else {
    lv.recs[lv.at] = lv.now;
    lv.keep[lv.at] = 1;
  }
}

void TreeSnapshot::Walker::finish(Level& lv) {
  Node& node = lv.node;
  if (lv.same) {
    if (lv.dropped) {
      size_t kept = 0;
      for (size_t i = 0; i < node.recs.size(); ++i) {
        if (lv.keep[i]) node.recs[kept++] = node.recs[i];
      }
      node.recs.resize(kept);
    }
  } else {
    for (; lv.oldPos < node.recs.size(); ++lv.oldPos) {
      const Rec& gone = node.recs[lv.oldOrder[lv.oldPos]];
      setAside(gone, node.name(gone));
    }
    size_t kept = 0;
    for (size_t k = 0; k < lv.recs.size(); ++k) kept += lv.keep[k];
    // Sized to fit: a directory's records are rebuilt only when it changed.
    std::vector<Rec> recs;
    recs.reserve(kept);
    for (size_t k = 0; k < lv.recs.size(); ++k) {
      if (lv.keep[k]) recs.push_back(lv.recs[k]);
    }
    node.recs = std::move(recs);
    node.names = lv.dir.names;
  }
  t_.nodes_[lv.idx] = std::move(node);
}

TreeSnapshot::Walker::Step TreeSnapshot::Walker::entry(
    size_t depth, std::string_view name, uint8_t type, const Rec* oldp,
    Rec* rec, int* sub) {
  Level& lv = level(depth);
  EntryPath path(path_, name, &entryPath_);
  const bool hadOld = oldp != nullptr;
  Entry e{lv.fd, name, path, type == DT_DIR, false, {},
          hadOld, hadOld ? *oldp : Rec{}};
  if (type == DT_UNKNOWN) {
    // The file system does not tell the type: read it to judge.
    if (!statAt(e)) {
      if (e.hadOld) setAside(e.old, name);
      return Step::kGone;
    }
    e.isDir = S_ISDIR(e.st.st_mode);
  }
  bool enter = false;
  Rec now = *rec;
  if (!judge(e, &now, &enter)) return Step::kGone;
  uint32_t child = e.hadOld ? e.old.child : kNoNode;
  if (!enter) {
    if (child != kNoNode) t_.setAsideNode(child, path.get(), changes_);
    now.child = kNoNode;
    *rec = now;
    return Step::kDone;
  }
  if (child == kNoNode) child = t_.newNode();
  *sub = openSub(depth, name);
  if (*sub < 0) {
    const int err = errno;
    // Gone, or replaced by a file or a link since it was read: its contents
    // are simply not there; anything else is reported.
    if (err != ENOENT && err != ENOTDIR && err != ELOOP &&
        unreadable_ != nullptr) {
      unreadable_->push_back(Status::PathError("open", path.get(), err));
    }
    t_.setAsideNode(child, path.get(), changes_);
    now.child = kNoNode;
    *rec = now;
    return Step::kDone;
  }
  // Walked next: path_ grows by the name, and shrinks back after.
  if (path_.back() != '/') path_.push_back('/');
  path_.append(name);
  now.child = child;
  lv.now = now;
  return Step::kEnter;
}

bool TreeSnapshot::Walker::judge(Entry& e, Rec* rec, bool* enter) {
  const Rec& old = e.old;
  Answer answer;
  if (e.hadOld && useAnswers_ && (old.flags & kJudged) != 0 &&
      ((old.flags & kJudgedDir) != 0) == e.isDir) {
    answer = static_cast<Answer>((old.flags >> kAnswerShift) & 3);
  } else {
    answer = byNameHooks_ == 0 ? kKeep
                               : judgeByName(e.name, e.path.get(), e.isDir);
    if (!failed_.ok()) return false;
  }
  if (answer == kKeep && !e.haveStat) {
    if (!statAt(e)) {
      if (e.hadOld) setAside(old, e.name);
      return false;
    }
    if (S_ISDIR(e.st.st_mode) != e.isDir) {
      // Replaced by another kind of entry since the directory was read.
      e.isDir = S_ISDIR(e.st.st_mode);
      answer = byNameHooks_ == 0 ? kKeep
                                 : judgeByName(e.name, e.path.get(), e.isDir);
      if (!failed_.ok()) return false;
    }
  }
  rec->flags = static_cast<uint8_t>(kJudged | (e.isDir ? kJudgedDir : 0) |
                                    (answer << kAnswerShift));

  bool listed = false;
  *enter = false;
  if (answer == kKeep) {
    Answer more = kKeep;
    if (laterHooks_) {
      more = judgeByInfo(FileInfo::FromStat(std::string(e.name), e.st),
                         e.path.get());
      if (!failed_.ok()) return false;
    }
    listed = more == kKeep;
    *enter = e.isDir && (listed || more == kSkip);
  } else {
    // Left out by name; a directory left out so is still entered, but not
    // one left out for good.
    *enter = e.isDir && answer == kSkip;
  }

  if (listed) {
    rec->setStatus(e.st);
    rec->flags |= kListed;
    compare(e, *rec);
  } else if (e.hadOld && old.listed()) {
    // Its own entry only: what lies below is the walk's to judge. The
    // record stays, to keep the filters' answer.
    t_.markGone(old, rec, changes_);
  }
  return true;
}

bool TreeSnapshot::Walker::statAt(Entry& e) {
  e.haveStat = ::fstatat(e.fd, e.name.data(), &e.st, AT_SYMLINK_NOFOLLOW) == 0;
  if (e.haveStat) return true;
  const int err = errno;
  // Gone or replaced since the directory was read: left out. Any other
  // failure is reported, and the entry left out too.
  if (err != ENOENT && err != ENOTDIR && unreadable_ != nullptr) {
    unreadable_->push_back(Status::PathError("lstat", e.path.get(), err));
  }
  return false;
}

void TreeSnapshot::Walker::compare(const Entry& e, const Rec& now) {
  if (changes_ == nullptr) return;
  const Rec& old = e.old;
  if (!e.hadOld || !old.listed()) {
    changes_->appeared.emplace_back(e.path.get(), now.info(e.name));
    return;
  }
  // The time alone misses a second save within one timestamp tick; the
  // size, or a new inode from a save that replaced the file, still tells.
  if (old.mtime != now.mtime || old.size != now.size || old.dev != now.dev ||
      old.ino != now.ino) {
    changes_->written.push_back(
        Event{Op::Write, e.path.get(), now.info(e.name)});
  }
  if (old.mode != now.mode) {
    changes_->written.push_back(
        Event{Op::Chmod, e.path.get(), now.info(e.name)});
  }
}

int TreeSnapshot::Walker::openSub(size_t depth, std::string_view name) {
  const int fd = level(depth).fd;
  for (;;) {
    const int sub = ::openat(fd, name.data(), kDirFlags | O_NOFOLLOW);
    if (sub >= 0 || !isShortage(errno)) return sub;
    const int err = errno;
    if (!releaseAbove(depth)) {
      errno = err;
      return -1;
    }
  }
}

bool TreeSnapshot::Walker::releaseAbove(size_t depth) {
  bool released = false;
  for (size_t d = 0; d < depth; ++d) {
    Level& lv = level(d);
    if (lv.fd < 0) continue;
    // Remembered, so that the directory got back is known to be the same.
    struct stat st;
    if (::fstat(lv.fd, &st) == 0) {
      lv.dev = st.st_dev;
      lv.ino = st.st_ino;
    } else {
      lv.dev = 0;
      lv.ino = 0;
    }
    ::close(lv.fd);
    lv.fd = -1;
    released = true;
  }
  return released;
}

void TreeSnapshot::Walker::reclaim(size_t depth, const Level& below) {
  Level& lv = level(depth);
  if (lv.fd >= 0 || lv.lost || lv.pos >= lv.count() || !failed_.ok()) return;
  const auto same = [&](int fd) {
    struct stat st;
    if (::fstat(fd, &st) == 0 && st.st_dev == lv.dev && st.st_ino == lv.ino) {
      return true;
    }
    ::close(fd);
    return false;
  };
  int fd = -1;
  int err = 0;
  // Through ".." of the directory below: one call, however deep.
  for (bool retried = false; below.fd >= 0;) {
    fd = ::openat(below.fd, "..", kDirFlags);
    if (fd >= 0 || retried || !isShortage(errno) || !releaseAbove(depth)) {
      break;
    }
    retried = true;
  }
  if (fd >= 0 && !same(fd)) fd = -1;
  if (fd < 0) {
    // Moved meanwhile, or the level below lost its own: by the path.
    err = errno;
    const std::string dir = path_.substr(0, lv.pathLen);
    if (dir.size() < PATH_MAX) {
      fd = ::open(dir.c_str(), kDirFlags | (depth == 0 ? 0 : O_NOFOLLOW));
      if (fd < 0) {
        err = errno;
      } else if (!same(fd)) {
        fd = -1;
        err = ENOENT;
      }
    }
  }
  if (fd < 0) {
    // The rest of this directory keeps what the snapshot held.
    lv.lost = true;
    if (unreadable_ != nullptr) {
      unreadable_->push_back(
          Status::PathError("open", path_.substr(0, lv.pathLen), err));
    }
    return;
  }
  lv.fd = fd;
}

Answer TreeSnapshot::Walker::answerOf(const Status& s, bool isDir) {
  if (s.ok()) return kKeep;
  if (s == ErrSkip) return kSkip;
  if (s == ErrSkipDir) return isDir ? kSkipDir : kSkip;
  failed_ = s;
  return kSkip;
}

Answer TreeSnapshot::Walker::judgeByName(std::string_view name,
                                         const std::string& path, bool isDir) {
  for (size_t i = 0; i < byNameHooks_; ++i) {
    const Answer a = answerOf((*f_.hooks)[i].byName(name, path, isDir), isDir);
    if (a != kKeep || !failed_.ok()) return a;
  }
  return kKeep;
}

Answer TreeSnapshot::Walker::judgeByInfo(const FileInfo& info,
                                         const std::string& path) {
  const bool isDir = info.IsDir();
  for (size_t i = byNameHooks_; i < f_.hooks->size(); ++i) {
    const FilterHook& h = (*f_.hooks)[i];
    const Answer a = answerOf(
        h.byName ? h.byName(info.name, path, isDir) : h.byInfo(info, path),
        isDir);
    if (a != kKeep || !failed_.ok()) return a;
  }
  return kKeep;
}

}  // namespace watcher
