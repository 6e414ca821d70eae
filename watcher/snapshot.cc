#include "watcher/snapshot.h"

#include <sys/stat.h>

#include <algorithm>
#include <utility>

#include "watcher/path.h"
#include "watcher/snapshot_records.h"

namespace watcher {

TreeSnapshot::TreeSnapshot(std::string root) : root_(std::move(root)) {}
TreeSnapshot::~TreeSnapshot() = default;

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

void TreeSnapshot::noteGone(Changes* changes, size_t n) {
  changes->vanished += n;
  if (std::find(changes->vanishedIn.begin(), changes->vanishedIn.end(),
                this) == changes->vanishedIn.end()) {
    changes->vanishedIn.push_back(this);
  }
}

void TreeSnapshot::markGone(const Rec& old, Rec* rec, Changes* changes) {
  if (changes == nullptr) return;
  rec->copyStatus(old);
  rec->flags |= kGone;
  goneInSnapshot_ = true;
  noteGone(changes, 1);
}

// Below a node set aside, every listed record is gone; in the snapshot,
// only those marked.
bool TreeSnapshot::setAsideCounts(const Rec& r) {
  return r.listed() || r.gone();
}
bool TreeSnapshot::markedGone(const Rec& r) {
  return r.gone();
}

size_t TreeSnapshot::countListed(uint32_t idx) const {
  size_t n = 0;
  std::vector<uint32_t> todo = {idx};
  while (!todo.empty()) {
    const uint32_t at = todo.back();
    todo.pop_back();
    for (const Rec& r : nodes_[at].recs) {
      n += setAsideCounts(r);
      if (r.child != kNoNode) todo.push_back(r.child);
    }
  }
  return n;
}

void TreeSnapshot::freeTree(uint32_t idx) {
  // With a stack of its own: a deep tree must not exhaust the thread's.
  std::vector<uint32_t> todo = {idx};
  while (!todo.empty()) {
    const uint32_t at = todo.back();
    todo.pop_back();
    for (const Rec& r : nodes_[at].recs) {
      if (r.child != kNoNode) todo.push_back(r.child);
    }
    freeNode(at);
  }
}

void TreeSnapshot::setAside(std::string_view dir, std::string_view name,
                            const Rec& r, Changes* changes) {
  const size_t gone = changes == nullptr
                          ? 0
                          : setAsideCounts(r) +
                                (r.child != kNoNode ? countListed(r.child) : 0);
  if (gone == 0) {
    if (r.child != kNoNode) freeTree(r.child);
    return;
  }
  // Entries gone one by one from one directory share its grave.
  if (graves_.empty() || graves_.back().root ||
      graves_.back().subtree != kNoNode || graves_.back().dir != dir) {
    graves_.push_back({std::string(dir), false, {}, kNoNode});
  }
  Node& node = graves_.back().node;
  Rec& kept = node.recs.emplace_back(r);  // with its child, still in nodes_
  kept.nameOff = static_cast<uint32_t>(node.names.size());
  if (r.listed()) kept.flags |= kGone;
  node.names.append(name);
  noteGone(changes, gone);
}

void TreeSnapshot::setAsideNode(uint32_t idx, std::string_view dir,
                                Changes* changes) {
  const size_t gone = changes == nullptr ? 0 : countListed(idx);
  if (gone == 0) {
    freeTree(idx);
    return;
  }
  graves_.push_back({std::string(dir), false, {}, idx});
  noteGone(changes, gone);
}

void TreeSnapshot::VanishAll(Changes* changes) {
  if (rootRec_ != nullptr) {
    const size_t gone =
        changes == nullptr ? 0
                           : setAsideCounts(*rootRec_) +
                                 (rootRec_->child != kNoNode
                                      ? countListed(rootRec_->child)
                                      : 0);
    if (gone == 0) {
      if (rootRec_->child != kNoNode) freeTree(rootRec_->child);
    } else {
      Grave& g = graves_.emplace_back(Grave{root_, true, {}, kNoNode});
      Rec& kept = g.node.recs.emplace_back(*rootRec_);
      if (kept.listed()) kept.flags |= kGone;
      noteGone(changes, gone);
    }
  }
  rootRec_.reset();
  if (graves_.empty()) {
    nodes_.clear();
    freeNodes_.clear();
  }
  goneInSnapshot_ = false;
  generation_ = ~uint64_t{0};
}

const TreeSnapshot::Rec* TreeSnapshot::find(std::string_view path) const {
  if (rootRec_ == nullptr) return nullptr;
  if (path == root_) return rootRec_.get();
  if (!covers(root_, path)) return nullptr;
  std::string_view rest = path.substr(root_ == "/" ? 1 : root_.size() + 1);
  uint32_t idx = rootRec_->child;
  while (idx != kNoNode) {
    const size_t slash = rest.find('/');
    const std::string_view elem = rest.substr(0, slash);
    const Node& node = nodes_[idx];
    const auto it =
        std::find_if(node.recs.begin(), node.recs.end(),
                     [&](const Rec& r) { return node.name(r) == elem; });
    if (it == node.recs.end()) return nullptr;
    if (slash == std::string_view::npos) return &*it;
    rest.remove_prefix(slash + 1);
    idx = it->child;
  }
  return nullptr;
}

bool TreeSnapshot::Lists(std::string_view path, bool* isDir) const {
  const Rec* rec = find(path);
  if (rec == nullptr || !rec->listed()) return false;
  if (isDir != nullptr) *isDir = S_ISDIR(rec->mode);
  return true;
}

void TreeSnapshot::Forget(std::string_view path, bool isDir, bool recursive) {
  if (rootRec_ == nullptr) return;
  const auto unlist = [](Rec& r) { r.flags &= static_cast<uint8_t>(~kListed); };
  // Everything below node `idx`, or only its own entries.
  const auto unlistBelow = [&](uint32_t idx, bool all) {
    std::vector<uint32_t> todo;
    if (idx != kNoNode) todo.push_back(idx);
    while (!todo.empty()) {
      const uint32_t at = todo.back();
      todo.pop_back();
      for (Rec& r : nodes_[at].recs) {
        unlist(r);
        if (all && r.child != kNoNode) todo.push_back(r.child);
      }
    }
  };
  if (path != root_ && covers(path, root_)) {
    // The tree lies inside `path`: its root is one of the entries taken
    // out, or lies deeper.
    if (!isDir) return;
    if (recursive) {
      unlist(*rootRec_);
      unlistBelow(rootRec_->child, true);
    } else if (parentDir(root_) == path) {
      unlist(*rootRec_);
    }
    return;
  }
  Rec* rec = const_cast<Rec*>(find(path));
  if (rec == nullptr) return;
  unlist(*rec);
  if (isDir) unlistBelow(rec->child, recursive);
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

std::string TreeSnapshot::Vanished::path() const {
  return whole_.empty() ? joined(dir_, name_) : std::string(whole_);
}

FileInfo TreeSnapshot::Vanished::info() const {
  return rec_->info(whole_.empty() ? name_ : baseName(whole_));
}

FileInfo::Sys TreeSnapshot::Vanished::sys() const {
  return {rec_->dev, rec_->ino};
}

bool TreeSnapshot::Vanished::paired() const {
  return (rec_->flags & kPaired) != 0;
}

void TreeSnapshot::Vanished::pair() {
  rec_->flags |= kPaired;
}

bool TreeSnapshot::eachBelow(uint32_t idx, std::string_view dir,
                             bool (*counts)(const Rec&),
                             const std::function<bool(Vanished&)>& f) {
  // Depth first with one path that grows and shrinks: memory for the depth,
  // not for the paths of every directory waiting.
  struct Step {
    uint32_t node;
    size_t next = 0;
    size_t pathLen;
  };
  std::string path(dir);
  std::vector<Step> stack = {{idx, 0, path.size()}};
  Vanished v;
  while (!stack.empty()) {
    Step& step = stack.back();
    Node& node = nodes_[step.node];
    if (step.next == node.recs.size()) {
      stack.pop_back();
      continue;
    }
    Rec& r = node.recs[step.next++];
    path.resize(step.pathLen);
    if (counts(r)) {
      v.rec_ = &r;
      v.dir_ = path;
      v.name_ = node.name(r);
      if (!f(v)) return false;
    }
    if (r.child != kNoNode) {
      const uint32_t child = r.child;
      if (path.empty() || path.back() != '/') path.push_back('/');
      path.append(node.name(r));
      stack.push_back({child, 0, path.size()});
    }
  }
  return true;
}

bool TreeSnapshot::ForEachVanished(const std::function<bool(Vanished&)>& f) {
  for (Grave& g : graves_) {
    if (g.subtree != kNoNode) {
      if (!eachBelow(g.subtree, g.dir, setAsideCounts, f)) return false;
      continue;
    }
    for (Rec& r : g.node.recs) {
      Vanished v;
      v.rec_ = &r;
      if (g.root) {
        v.whole_ = g.dir;
      } else {
        v.dir_ = g.dir;
        v.name_ = g.node.name(r);
      }
      if (r.gone() && !f(v)) return false;
      if (r.child != kNoNode &&
          !eachBelow(r.child, g.root ? g.dir : joined(g.dir, v.name_),
                     setAsideCounts, f)) {
        return false;
      }
    }
  }
  if (!goneInSnapshot_ || rootRec_ == nullptr) return true;
  if (rootRec_->gone()) {
    Vanished v;
    v.rec_ = rootRec_.get();
    v.whole_ = root_;
    if (!f(v)) return false;
  }
  return rootRec_->child == kNoNode ||
         eachBelow(rootRec_->child, root_, markedGone, f);
}

void TreeSnapshot::SettleVanished() {
  for (const Grave& g : graves_) {
    if (g.subtree != kNoNode) freeTree(g.subtree);
    for (const Rec& r : g.node.recs) {
      if (r.child != kNoNode) freeTree(r.child);
    }
  }
  graves_ = {};  // gives the memory back
  if (!goneInSnapshot_) return;
  constexpr auto kMarks = static_cast<uint8_t>(~(kGone | kPaired));
  if (rootRec_ != nullptr) rootRec_->flags &= kMarks;
  for (Node& node : nodes_) {
    for (Rec& r : node.recs) r.flags &= kMarks;
  }
  goneInSnapshot_ = false;
}

}  // namespace watcher
