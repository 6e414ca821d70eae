#include "watcher/snapshot.h"

#include <sys/stat.h>

#include <algorithm>
#include <utility>

#include "watcher/listing.h"
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

void TreeSnapshot::noteGone(Changes* changes) {
  ++changes->vanished;
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
  noteGone(changes);
}

void TreeSnapshot::setAside(std::string_view dir, std::string_view name,
                            const Rec& r, Changes* changes) {
  if (changes != nullptr && (r.listed() || r.gone())) {
    // Entries gone one by one from one directory share its grave.
    if (graves_.empty() || graves_.back().root || graves_.back().dir != dir) {
      graves_.push_back({std::string(dir), false, {}});
    }
    Node& node = graves_.back().node;
    Rec& kept = node.recs.emplace_back(r);
    kept.nameOff = static_cast<uint32_t>(node.names.size());
    kept.child = kNoNode;
    node.names.append(name);
    if (!r.gone()) {
      kept.flags |= kGone;
      noteGone(changes);
    }
  }
  if (r.child != kNoNode) setAsideNode(r.child, joined(dir, name), changes);
}

void TreeSnapshot::setAsideNode(uint32_t idx, std::string dir,
                                Changes* changes) {
  // With a stack of its own: a deep tree must not exhaust the thread's.
  std::vector<std::pair<uint32_t, std::string>> todo;
  todo.emplace_back(idx, std::move(dir));
  while (!todo.empty()) {
    auto [at, path] = std::move(todo.back());
    todo.pop_back();
    Node node = std::move(nodes_[at]);
    freeNode(at);
    bool anyGone = false;
    for (Rec& r : node.recs) {
      if (r.child != kNoNode) {
        todo.emplace_back(r.child, joined(path, node.name(r)));
        r.child = kNoNode;
      }
      if (changes != nullptr && (r.listed() || r.gone())) {
        if (!r.gone()) {
          r.flags |= kGone;
          noteGone(changes);
        }
        anyGone = true;
      }
    }
    // The records move as they are: setting them aside costs no memory
    // beyond what the snapshot held.
    if (anyGone) graves_.push_back({std::move(path), false, std::move(node)});
  }
}

void TreeSnapshot::VanishAll(Changes* changes) {
  if (rootRec_ != nullptr) {
    if (changes != nullptr && (rootRec_->listed() || rootRec_->gone())) {
      Grave& g = graves_.emplace_back(Grave{root_, true, {}});
      Rec& kept = g.node.recs.emplace_back(*rootRec_);
      kept.child = kNoNode;
      if (!rootRec_->gone()) {
        kept.flags |= kGone;
        noteGone(changes);
      }
    }
    if (rootRec_->child != kNoNode) {
      setAsideNode(rootRec_->child, root_, changes);
    }
  }
  rootRec_.reset();
  nodes_.clear();
  freeNodes_.clear();
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
  return whole_ != nullptr ? *whole_ : joined(dir_, name_);
}

FileInfo TreeSnapshot::Vanished::info() const {
  return rec_->info(whole_ != nullptr ? baseName(*whole_) : name_);
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

bool TreeSnapshot::ForEachVanished(const std::function<bool(Vanished&)>& f) {
  Vanished v;
  for (Grave& g : graves_) {
    for (Rec& r : g.node.recs) {
      if (!r.gone()) continue;
      v.rec_ = &r;
      v.whole_ = g.root ? &g.dir : nullptr;
      v.dir_ = g.dir;
      v.name_ = g.node.name(r);
      if (!f(v)) return false;
    }
  }
  if (!goneInSnapshot_ || rootRec_ == nullptr) return true;
  v = Vanished();
  if (rootRec_->gone()) {
    v.rec_ = rootRec_.get();
    v.whole_ = &root_;
    if (!f(v)) return false;
  }
  std::vector<std::pair<uint32_t, std::string>> todo;
  if (rootRec_->child != kNoNode) todo.emplace_back(rootRec_->child, root_);
  while (!todo.empty()) {
    auto [idx, dir] = std::move(todo.back());
    todo.pop_back();
    Node& node = nodes_[idx];
    for (Rec& r : node.recs) {
      if (r.gone()) {
        v.rec_ = &r;
        v.whole_ = nullptr;
        v.dir_ = dir;
        v.name_ = node.name(r);
        if (!f(v)) return false;
      }
      if (r.child != kNoNode) {
        todo.emplace_back(r.child, joined(dir, node.name(r)));
      }
    }
  }
  return true;
}

void TreeSnapshot::SettleVanished() {
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
