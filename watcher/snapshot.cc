#include "watcher/snapshot.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "watcher/listing.h"

namespace watcher {

namespace {

constexpr uint32_t kNoNode = ~uint32_t{0};
constexpr size_t kDirentBufferSize = 32 * 1024;

// Record flags.
constexpr uint8_t kListed = 1 << 0;     // in the listing: passed every filter
constexpr uint8_t kJudged = 1 << 1;     // the name hooks' answer is kept
constexpr uint8_t kJudgedDir = 1 << 2;  // ... and was given for a directory
constexpr int kAnswerShift = 3;         // two bits: the answer (Answer)

// What the filters said of an entry.
enum Answer : uint8_t { kKeep = 0, kSkip = 1, kSkipDir = 2 };

int64_t nanosOf(const struct timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void joinInto(std::string* out, std::string_view dir, std::string_view name) {
  out->assign(dir);
  if (out->empty() || out->back() != '/') out->push_back('/');
  out->append(name);
}

std::string joined(std::string_view dir, std::string_view name) {
  std::string out;
  out.reserve(dir.size() + 1 + name.size());
  joinInto(&out, dir, name);
  return out;
}

}  // namespace

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

  void setStatus(const struct stat& st) {
    mode = st.st_mode;
    mtime = nanosOf(st.st_mtim);
    size = st.st_size;
    dev = st.st_dev;
    ino = st.st_ino;
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

// Buffers for one depth of the walk, kept from walk to walk so that an
// unchanged tree costs no allocation.
struct TreeSnapshot::Level {
  struct Ent {
    uint32_t off;
    uint16_t len;
    uint8_t type;
  };
  std::string names;      // the directory's names as read, each ending
                          // in a NUL for the calls that take them
  std::vector<Ent> ents;  // into `names`, in the directory's order
  // For a changed directory: old records and new entries in name order.
  std::vector<uint32_t> oldOrder;
  std::vector<uint32_t> newOrder;

  std::string_view name(const Ent& e) const {
    return std::string_view(names).substr(e.off, e.len);
  }
};

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
    }
  }

  Status Run();

 private:
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

  Status walkDir(int fd, uint32_t idx, size_t depth);
  // Judges, reads and compares the entry `name` (NUL-terminated) of the
  // directory `fd`, whose path is path_, that the snapshot held as `*old`
  // (null when new), into `*rec` (whose name is set). False when the
  // entry is gone, or when a hook failed (failed_); `*rec` is then
  // untouched.
  bool entry(int fd, std::string_view name, uint8_t type, const Rec* old,
             Rec* rec, size_t depth);
  // What entry() and the root share: judges the entry, reads its status
  // (through `fd` and `name` when `*haveStat` is false) if it is to be
  // listed, compares it, and sets `*enter`. False as entry().
  bool judge(int fd, std::string_view name, EntryPath& path, bool isDir,
             bool haveStat, struct stat* st, const Rec& old, bool hadOld,
             Rec* rec, bool* enter);
  // The status of the entry `name` (NUL-terminated) of `fd`, the link
  // itself and not its target. False when it is gone (or unreadable, which
  // is reported).
  bool statAt(int fd, std::string_view name, EntryPath& path, struct stat* st);
  // Reports `r` as gone; vanishRec also what lies below it.
  void vanishOwn(const Rec& r, std::string_view name, const std::string& path);
  void vanishRec(const Rec& r, std::string_view name, const std::string& path);
  void compare(const Rec& old, bool hadOld, const Rec& now,
               std::string_view name, const std::string& path);
  Status readDir(int fd, Level* level);
  Level& level(size_t depth);
  // The hooks that judge by name, in order, up to the first that judges
  // by status.
  Answer judgeByName(std::string_view name, const std::string& path,
                     bool isDir);
  // The remaining hooks, on the full status.
  Answer judgeByInfo(const FileInfo& info, const std::string& path);
  Answer answerOf(const Status& s, bool isDir);
  bool filtersLookAtPaths() const {
    return (f_.ignored != nullptr && !f_.ignored->empty()) || f_.ignoreHidden;
  }
  bool ignoredOrHidden(const std::string& path) const;
  std::string pathOf(std::string_view name) const {
    return joined(path_, name);
  }

  TreeSnapshot& t_;
  const WalkFilters& f_;
  Changes* changes_;
  std::vector<Status>* unreadable_;
  bool useAnswers_ = false;
  size_t byNameHooks_ = 0;
  std::string path_;       // the directory being walked
  std::string entryPath_;  // where EntryPath makes an entry's path
  Status failed_;          // a hook's error: the walk stops
};

TreeSnapshot::TreeSnapshot(std::string root) : root_(std::move(root)) {}
TreeSnapshot::~TreeSnapshot() = default;

Status TreeSnapshot::Walk(const WalkFilters& filters, Changes* changes,
                          std::vector<Status>* unreadable) {
  return Walker(*this, filters, changes, unreadable).Run();
}

void TreeSnapshot::VanishAll(Changes* changes) {
  if (rootRec_ != nullptr) {
    if (rootRec_->listed() && changes != nullptr) {
      changes->vanished.emplace_back(root_, rootRec_->info(baseName(root_)));
    }
    if (rootRec_->child != kNoNode) {
      vanishNode(rootRec_->child, root_, changes);
    }
  }
  rootRec_.reset();
  nodes_.clear();
  freeNodes_.clear();
  generation_ = ~uint64_t{0};
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
  const Rec old = hadOld ? *t_.rootRec_ : Rec{};
  Rec rec;
  bool enter = false;
  EntryPath path(root);
  if (!judge(-1, baseName(root), path, S_ISDIR(st.st_mode),
             /*haveStat=*/true, &st, old, hadOld, &rec, &enter)) {
    // Only a hook's failure gets here: nothing was reached.
    t_.VanishAll(changes_);
    return failed_;
  }
  if (!enter) {
    if (hadOld && old.child != kNoNode)
      t_.vanishNode(old.child, root, changes_);
    rec.child = kNoNode;
    t_.rootRec_ = std::make_unique<Rec>(rec);
    return Status();
  }
  uint32_t child = hadOld ? old.child : kNoNode;
  if (child == kNoNode) child = t_.newNode();
  rec.child = child;
  t_.rootRec_ = std::make_unique<Rec>(rec);
  const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    // Gone since its status call: the caller's to drop, as above, so that
    // the same going is reported the same way whenever it falls.
    if (err == ENOENT) return Status::PathError("open", root, err);
    t_.vanishNode(child, root, changes_);
    t_.rootRec_->child = kNoNode;
    return Status::PathError("open", root, err);
  }
  path_ = root;
  Status s = walkDir(fd, child, 0);
  ::close(fd);
  if (!s.ok()) {
    t_.vanishNode(child, root, changes_);
    t_.rootRec_->child = kNoNode;
    return s;
  }
  return failed_;
}

Status TreeSnapshot::Walker::walkDir(int fd, uint32_t idx, size_t depth) {
  Level& lv = level(depth);
  if (Status s = readDir(fd, &lv); !s.ok()) return s;
  // Taken out of the node: nodes_ may grow while subdirectories are
  // walked, and the node's storage would move with it.
  Node node = std::move(t_.nodes_[idx]);
  const size_t oldCount = node.recs.size();

  // Records are kept in the order the directory gives its entries, which
  // stays the same while the directory does: an unchanged directory is
  // recognised without sorting anything.
  bool sameNames = oldCount == lv.ents.size();
  for (size_t i = 0; sameNames && i < oldCount; ++i) {
    sameNames = node.name(node.recs[i]) == lv.name(lv.ents[i]);
  }

  if (sameNames) {
    // The common case: the directory holds what it held. Records are
    // updated where they are.
    size_t kept = 0;
    for (size_t i = 0; i < oldCount; ++i) {
      Rec& r = node.recs[i];
      const uint8_t type = lv.ents[i].type;
      // A file the name filters left out stays out: nothing to read,
      // judge or compare.
      if (useAnswers_ && failed_.ok() && type != DT_DIR && type != DT_UNKNOWN &&
          (r.flags & (kListed | kJudged | kJudgedDir)) == kJudged &&
          ((r.flags >> kAnswerShift) & 3) != kKeep && r.child == kNoNode) {
        if (kept != i) node.recs[kept] = r;
        ++kept;
        continue;
      }
      const std::string_view name = lv.name(lv.ents[i]);
      if (failed_.ok() && entry(fd, name, type, &r, &r, depth)) {
        if (kept != i) node.recs[kept] = r;
        ++kept;
        continue;
      }
      // Gone (entry() reported it), or not reached after a hook failed.
      if (!failed_.ok()) vanishRec(r, name, pathOf(name));
    }
    node.recs.resize(kept);
    t_.nodes_[idx] = std::move(node);
    return Status();
  }

  // Changed: match old records and new entries by name, in name order
  // (the order a walk visits), and keep the new ones in the directory's.
  std::vector<uint32_t>& oldOrder = lv.oldOrder;
  std::vector<uint32_t>& newOrder = lv.newOrder;
  oldOrder.resize(oldCount);
  newOrder.resize(lv.ents.size());
  for (uint32_t i = 0; i < oldOrder.size(); ++i) oldOrder[i] = i;
  for (uint32_t i = 0; i < newOrder.size(); ++i) newOrder[i] = i;
  std::sort(oldOrder.begin(), oldOrder.end(), [&](uint32_t a, uint32_t b) {
    return node.name(node.recs[a]) < node.name(node.recs[b]);
  });
  std::sort(newOrder.begin(), newOrder.end(), [&](uint32_t a, uint32_t b) {
    return lv.name(lv.ents[a]) < lv.name(lv.ents[b]);
  });
  std::vector<Rec> recs(lv.ents.size());
  std::vector<bool> present(lv.ents.size(), false);
  size_t j = 0;
  const auto vanishOld = [&](const Rec& gone) {
    vanishRec(gone, node.name(gone), pathOf(node.name(gone)));
  };
  for (const uint32_t k : newOrder) {
    if (!failed_.ok()) break;
    const Level::Ent& e = lv.ents[k];
    const std::string_view name = lv.name(e);
    while (j < oldCount && node.name(node.recs[oldOrder[j]]) < name) {
      vanishOld(node.recs[oldOrder[j++]]);
    }
    const Rec* old = nullptr;
    if (j < oldCount && node.name(node.recs[oldOrder[j]]) == name) {
      old = &node.recs[oldOrder[j++]];
    }
    Rec& rec = recs[k];
    rec.nameOff = e.off;
    rec.nameLen = e.len;
    if (entry(fd, name, e.type, old, &rec, depth)) {
      present[k] = true;
    } else if (!failed_.ok() && old != nullptr) {
      vanishRec(*old, name, pathOf(name));
    }
  }
  for (; j < oldCount; ++j) vanishOld(node.recs[oldOrder[j]]);
  size_t kept = 0;
  for (size_t k = 0; k < recs.size(); ++k) {
    if (present[k]) recs[kept++] = recs[k];
  }
  recs.resize(kept);
  // Sized to fit: a directory's records are rebuilt only when it changed.
  node.recs = std::vector<Rec>(recs.begin(), recs.end());
  node.names = lv.names;
  t_.nodes_[idx] = std::move(node);
  return Status();
}

bool TreeSnapshot::Walker::entry(int fd, std::string_view name, uint8_t type,
                                 const Rec* oldp, Rec* rec, size_t depth) {
  const bool hadOld = oldp != nullptr;
  const Rec old = hadOld ? *oldp : Rec{};
  EntryPath path(path_, name, &entryPath_);
  struct stat st;
  bool haveStat = false;
  bool isDir = type == DT_DIR;
  if (type == DT_UNKNOWN) {
    // The file system does not tell the type: read it to judge.
    if (!statAt(fd, name, path, &st)) {
      if (hadOld) vanishRec(old, name, path.get());
      return false;
    }
    haveStat = true;
    isDir = S_ISDIR(st.st_mode);
  }
  bool enter = false;
  Rec now = *rec;
  if (!judge(fd, name, path, isDir, haveStat, &st, old, hadOld, &now, &enter)) {
    return false;
  }
  if (!enter) {
    if (hadOld && old.child != kNoNode)
      t_.vanishNode(old.child, path.get(), changes_);
    now.child = kNoNode;
    *rec = now;
    return true;
  }
  uint32_t child = hadOld ? old.child : kNoNode;
  if (child == kNoNode) child = t_.newNode();
  const int sub = ::openat(fd, name.data(),
                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (sub < 0) {
    const int err = errno;
    // Gone, or replaced by a file or a link since it was read: its contents
    // are simply not there; anything else is reported every cycle.
    if (err != ENOENT && err != ENOTDIR && err != ELOOP &&
        unreadable_ != nullptr) {
      unreadable_->push_back(Status::PathError("open", path.get(), err));
    }
    t_.vanishNode(child, path.get(), changes_);
    now.child = kNoNode;
    *rec = now;
    return true;
  }
  const size_t dirLength = path_.size();
  path_ = path.get();  // entryPath_ is reused below
  Status s = walkDir(sub, child, depth + 1);
  ::close(sub);
  if (!s.ok()) {
    if (unreadable_ != nullptr) unreadable_->push_back(std::move(s));
    t_.vanishNode(child, path_, changes_);
    child = kNoNode;
  }
  path_.resize(dirLength);
  now.child = child;
  *rec = now;
  return true;
}

bool TreeSnapshot::Walker::judge(int fd, std::string_view name, EntryPath& path,
                                 bool isDir, bool haveStat, struct stat* st,
                                 const Rec& old, bool hadOld, Rec* rec,
                                 bool* enter) {
  Answer answer;
  if (hadOld && useAnswers_ && (old.flags & kJudged) != 0 &&
      ((old.flags & kJudgedDir) != 0) == isDir) {
    answer = static_cast<Answer>((old.flags >> kAnswerShift) & 3);
  } else {
    answer = byNameHooks_ == 0 ? kKeep : judgeByName(name, path.get(), isDir);
    if (!failed_.ok()) return false;
  }
  if (answer == kKeep && !haveStat) {
    if (!statAt(fd, name, path, st)) {
      if (hadOld) vanishRec(old, name, path.get());
      return false;
    }
    haveStat = true;
    if (S_ISDIR(st->st_mode) != isDir) {
      // Replaced by another kind of entry since the directory was read.
      isDir = S_ISDIR(st->st_mode);
      answer = byNameHooks_ == 0 ? kKeep : judgeByName(name, path.get(), isDir);
      if (!failed_.ok()) return false;
    }
  }
  rec->flags = static_cast<uint8_t>(kJudged | (isDir ? kJudgedDir : 0) |
                                    (answer << kAnswerShift));

  bool listed = false;
  *enter = false;
  if (answer == kKeep) {
    Answer more = kKeep;
    if (f_.hooks != nullptr && byNameHooks_ < f_.hooks->size()) {
      more =
          judgeByInfo(FileInfo::FromStat(std::string(name), *st), path.get());
      if (!failed_.ok()) return false;
    }
    if (more != kKeep) {
      *enter = isDir && more == kSkip;
    } else if (!filtersLookAtPaths() || !ignoredOrHidden(path.get())) {
      listed = true;
      *enter = isDir;
    }  // else left out with its whole subtree
  } else {
    // Left out by name; a directory left out so is still entered, but not
    // one left out for good.
    *enter = isDir && answer == kSkip;
  }

  if (listed) {
    rec->setStatus(*st);
    rec->flags |= kListed;
    compare(old, hadOld, *rec, name, path.get());
  } else if (hadOld && old.listed()) {
    // Its own entry only: what lies below is the walk's to judge.
    vanishOwn(old, name, path.get());
  }
  return true;
}

bool TreeSnapshot::Walker::statAt(int fd, std::string_view name,
                                  EntryPath& path, struct stat* st) {
  if (::fstatat(fd, name.data(), st, AT_SYMLINK_NOFOLLOW) == 0) return true;
  const int err = errno;
  // Gone or replaced since the directory was read: left out. Any other
  // failure is reported, and the entry left out too.
  if (err != ENOENT && err != ENOTDIR && unreadable_ != nullptr) {
    unreadable_->push_back(Status::PathError("lstat", path.get(), err));
  }
  return false;
}

void TreeSnapshot::Walker::compare(const Rec& old, bool hadOld, const Rec& now,
                                   std::string_view name,
                                   const std::string& path) {
  if (changes_ == nullptr) return;
  if (!hadOld || !old.listed()) {
    changes_->appeared.emplace_back(path, now.info(name));
    return;
  }
  // The time alone misses a second save within one timestamp tick; the
  // size, or a new inode from a save that replaced the file, still tells.
  if (old.mtime != now.mtime || old.size != now.size || old.dev != now.dev ||
      old.ino != now.ino) {
    changes_->written.push_back(Event{Op::Write, path, now.info(name)});
  }
  if (old.mode != now.mode) {
    changes_->written.push_back(Event{Op::Chmod, path, now.info(name)});
  }
}

void TreeSnapshot::Walker::vanishOwn(const Rec& r, std::string_view name,
                                     const std::string& path) {
  if (r.listed() && changes_ != nullptr) {
    changes_->vanished.emplace_back(path, r.info(name));
  }
}

void TreeSnapshot::Walker::vanishRec(const Rec& r, std::string_view name,
                                     const std::string& path) {
  vanishOwn(r, name, path);
  if (r.child != kNoNode) t_.vanishNode(r.child, path, changes_);
}

void TreeSnapshot::vanishNode(uint32_t idx, const std::string& dir,
                              Changes* changes) {
  Node node = std::move(nodes_[idx]);
  for (const Rec& r : node.recs) {
    const std::string path = joined(dir, node.name(r));
    if (r.listed() && changes != nullptr) {
      changes->vanished.emplace_back(path, r.info(node.name(r)));
    }
    if (r.child != kNoNode) vanishNode(r.child, path, changes);
  }
  freeNode(idx);
}

Status TreeSnapshot::Walker::readDir(int fd, Level* lv) {
  lv->names.clear();
  lv->ents.clear();
  if (!t_.dirents_) t_.dirents_.reset(new char[kDirentBufferSize]);
  char* buf = t_.dirents_.get();
  for (;;) {
    const long n = ::syscall(SYS_getdents64, fd, buf, kDirentBufferSize);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::PathError("readdirent", path_, errno);
    }
    if (n == 0) return Status();
    // struct linux_dirent64: inode (8), offset (8), record length (2),
    // type (1), then the name and its terminating zero.
    for (long off = 0; off < n;) {
      const char* d = buf + off;
      uint16_t reclen;
      std::memcpy(&reclen, d + 16, sizeof reclen);
      off += reclen;
      const std::string_view name(d + 19);
      if (name == "." || name == "..") continue;
      lv->ents.push_back({static_cast<uint32_t>(lv->names.size()),
                          static_cast<uint16_t>(name.size()),
                          static_cast<uint8_t>(d[18])});
      lv->names.append(name.data(), name.size() + 1);
    }
  }
}

TreeSnapshot::Level& TreeSnapshot::Walker::level(size_t depth) {
  while (t_.levels_.size() <= depth) {
    t_.levels_.push_back(std::make_unique<Level>());
  }
  return *t_.levels_[depth];
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

bool TreeSnapshot::Walker::ignoredOrHidden(const std::string& path) const {
  if (f_.ignored != nullptr && !f_.ignored->empty() &&
      f_.ignored->count(path) != 0) {
    return true;
  }
  return f_.ignoreHidden && isHiddenFile(path);
}

uint32_t TreeSnapshot::newNode() {
  if (!freeNodes_.empty()) {
    const uint32_t idx = freeNodes_.back();
    freeNodes_.pop_back();
    return idx;
  }
  nodes_.emplace_back();
  return static_cast<uint32_t>(nodes_.size() - 1);
}

void TreeSnapshot::freeNode(uint32_t idx) {
  nodes_[idx] = Node();  // releases its storage
  freeNodes_.push_back(idx);
}

void TreeSnapshot::Forget(std::string_view path, bool recursive) {
  if (rootRec_ == nullptr) return;
  Rec* rec = nullptr;
  if (path == root_) {
    rec = rootRec_.get();
  } else {
    const std::string below = root_ == "/" ? root_ : root_ + "/";
    if (!path.starts_with(below)) return;
    std::string_view rest = path.substr(below.size());
    uint32_t idx = rootRec_->child;
    while (idx != kNoNode && rec == nullptr) {
      const size_t slash = rest.find('/');
      const std::string_view elem = rest.substr(0, slash);
      Node& node = nodes_[idx];
      const auto it =
          std::find_if(node.recs.begin(), node.recs.end(),
                       [&](const Rec& r) { return node.name(r) == elem; });
      if (it == node.recs.end()) return;
      if (slash == std::string_view::npos) {
        rec = &*it;
      } else {
        rest.remove_prefix(slash + 1);
        idx = it->child;
      }
    }
    if (rec == nullptr) return;
  }
  // Forgotten only as it is listed: a directory left out of the listing
  // (a hook's answer) keeps what lies below it.
  if (!rec->listed()) return;
  rec->flags &= static_cast<uint8_t>(~kListed);
  if (!S_ISDIR(rec->mode) || rec->child == kNoNode) return;
  std::vector<uint32_t> todo = {rec->child};
  while (!todo.empty()) {
    const uint32_t idx = todo.back();
    todo.pop_back();
    for (Rec& r : nodes_[idx].recs) {
      r.flags &= static_cast<uint8_t>(~kListed);
      if (recursive && r.child != kNoNode) todo.push_back(r.child);
    }
  }
}

void TreeSnapshot::Collect(Listing* out) const {
  if (rootRec_ == nullptr) return;
  if (rootRec_->listed()) {
    out->insert_or_assign(root_, rootRec_->info(baseName(root_)));
  }
  std::vector<std::pair<uint32_t, std::string>> todo;
  if (rootRec_->child != kNoNode) todo.emplace_back(rootRec_->child, root_);
  while (!todo.empty()) {
    auto [idx, dir] = std::move(todo.back());
    todo.pop_back();
    const Node& node = nodes_[idx];
    for (const Rec& r : node.recs) {
      std::string path = joined(dir, node.name(r));
      if (r.listed()) out->insert_or_assign(path, r.info(node.name(r)));
      if (r.child != kNoNode) todo.emplace_back(r.child, std::move(path));
    }
  }
}

void emitChanges(Changes& changes, const std::function<bool(Event)>& emit) {
  // Watched trees that overlap find the same change twice.
  std::unordered_set<std::string_view> seen, seenChmod;
  const auto once = [&](const std::string& path) {
    return seen.insert(path).second;
  };
  for (const Event& e : changes.written) {
    const bool first =
        e.Op == Op::Chmod ? seenChmod.insert(e.Path).second : once(e.Path);
    if (first && !emit(e)) return;
  }

  struct Side {
    std::pair<std::string, FileInfo>* entry;
    bool paired = false;
  };
  seen.clear();
  std::vector<Side> appeared, vanished;
  for (auto& a : changes.appeared) {
    if (once(a.first)) appeared.push_back({&a});
  }
  seen.clear();
  for (auto& v : changes.vanished) {
    if (once(v.first)) vanished.push_back({&v});
  }

  // A vanished and an appeared path that are the same file: Rename within
  // a directory, Move across. A vanished path may pair with several
  // appeared ones (hard links), an appeared one pairs once. Candidates are
  // found by inode rather than by trying every pair.
  if (!vanished.empty() && !appeared.empty()) {
    std::unordered_multimap<uint64_t, size_t> byInode;
    for (size_t i = 0; i < appeared.size(); ++i) {
      const FileInfo& fi = appeared[i].entry->second;
      if (fi.sys) byInode.emplace(fi.sys->ino, i);
    }
    for (Side& v : vanished) {
      const FileInfo& was = v.entry->second;
      if (!was.sys) continue;
      const auto [first, last] = byInode.equal_range(was.sys->ino);
      for (auto it = first; it != last; ++it) {
        Side& a = appeared[it->second];
        if (a.paired || !sameFile(was, a.entry->second)) continue;
        a.paired = true;
        v.paired = true;
        const std::string& from = v.entry->first;
        const std::string& to = a.entry->first;
        const Op op = parentDir(from) == parentDir(to) ? Op::Rename : Op::Move;
        if (!emit(Event{op, from + " -> " + to, was, to})) return;
      }
    }
  }
  for (Side& a : appeared) {
    if (!a.paired &&
        !emit(Event{Op::Create, a.entry->first, a.entry->second})) {
      return;
    }
  }
  for (Side& v : vanished) {
    if (!v.paired &&
        !emit(Event{Op::Remove, v.entry->first, v.entry->second})) {
      return;
    }
  }
}

}  // namespace watcher
