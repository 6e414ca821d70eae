#include "watcher/watcher.h"

#include <sys/stat.h>

#include <thread>
#include <utility>

#include "watcher/path.h"

namespace watcher {

namespace {

// What RegexFilterHook makes: a hook that judges by name alone, which
// AddFilterHook recognises so that its answers can be kept.
struct RegexHook {
  std::shared_ptr<const RE2> r;
  bool useFullPath;

  Status operator()(const FileInfo& info, const std::string& fullPath) const {
    return byName(info.name, fullPath, info.IsDir());
  }
  Status byName(std::string_view name, const std::string& fullPath,
                bool /*isDir*/) const {
    const re2::StringPiece subject =
        useFullPath ? re2::StringPiece(fullPath)
                    : re2::StringPiece(name.data(), name.size());
    return RE2::PartialMatch(subject, *r) ? Status() : ErrSkip;
  }
};

}  // namespace

FilterFileHookFunc RegexFilterHook(std::shared_ptr<const RE2> r,
                                   bool useFullPath) {
  return RegexHook{std::move(r), useFullPath};
}

FilterFileHookFunc RegexFilterHook(const RE2& r, bool useFullPath) {
  // The caller keeps `r`; the hook only refers to it.
  return RegexFilterHook(std::shared_ptr<const RE2>(&r, [](const RE2*) {}),
                         useFullPath);
}

std::shared_ptr<Watcher> New() {
  return std::shared_ptr<Watcher>(new Watcher);
}

void Watcher::SetMaxEvents(int64_t limit) {
  base::MutexLock lock(&mu_);
  maxEvents_ = limit;
}

void Watcher::AddFilterHook(FilterFileHookFunc f) {
  base::MutexLock lock(&mu_);
  if (const RegexHook* regex = f.target<RegexHook>()) {
    hooks_.push_back({[hook = *regex](std::string_view name,
                                      const std::string& fullPath, bool isDir) {
                        return hook.byName(name, fullPath, isDir);
                      },
                      nullptr});
  } else {
    hooks_.push_back({nullptr, std::move(f)});
  }
  ++filterGeneration_;
}

void Watcher::AddNameFilterHook(NameFilterHookFunc f) {
  base::MutexLock lock(&mu_);
  hooks_.push_back({std::move(f), nullptr});
  ++filterGeneration_;
}

Listing Watcher::WatchedFiles() {
  base::MutexLock lock(&mu_);
  Listing out;
  for (const auto& [name, tree] : trees_) tree->Collect(&out);
  return out;
}

Status Watcher::AddRecursive(const std::string& name) {
  base::MutexLock lock(&mu_);
  std::string abs;
  if (Status s = absPath(name, &abs); !s.ok()) return s;
  // Listed into a tree of its own, which replaces the name's tree only once
  // the listing succeeded: a failed add, a second one included, leaves the
  // snapshot as it was. Directories below the name that cannot be read are
  // left out here; the first cycle reports them.
  auto tree = std::make_unique<TreeSnapshot>(abs);
  std::vector<Status> unreadable;
  if (Status s = tree->Walk(filtersLocked(), nullptr, &unreadable); !s.ok()) {
    // A root that is not there yet (one a preparation step creates) is
    // watched once it appears.
    if (s.IsNotExist() && s.path() == abs && !names_.contains(abs)) {
      missing_.try_emplace(abs, MissingRoot{/*recursive=*/true, false});
    }
    return s;
  }
  trees_[abs] = std::move(tree);
  names_[abs] = true;
  missing_.erase(abs);
  return Status();
}

Status Watcher::Remove(const std::string& name) {
  return removeName(name, /*recursive=*/false);
}

Status Watcher::RemoveRecursive(const std::string& name) {
  return removeName(name, /*recursive=*/true);
}

Status Watcher::removeName(const std::string& name, bool recursive) {
  base::MutexLock lock(&mu_);
  std::string abs;
  if (Status s = absPath(name, &abs); !s.ok()) return s;
  removeLocked(abs, recursive);
  missing_.erase(abs);
  return Status();
}

void Watcher::removeLocked(const std::string& name, bool recursive) {
  names_.erase(name);
  // The name may be a watched root, lie inside one, or hold some (roots
  // may overlap): what it takes out goes from every tree. Nothing goes
  // when no tree lists it (a hook left it out). A tree left without its
  // name still holds what was not taken out: the next cycle reports as
  // removed what no other tree lists.
  bool isDir = false;
  bool listed = false;
  for (const auto& [root, tree] : trees_) {
    if (tree->Lists(name, &isDir)) {
      listed = true;
      break;
    }
  }
  if (!listed) return;
  for (auto& [root, tree] : trees_) tree->Forget(name, isDir, recursive);
}

Status Watcher::Start(std::chrono::nanoseconds d) {
  if (d < std::chrono::nanoseconds(1)) return ErrDurationTooShort;
  {
    base::MutexLock lock(&mu_);
    if (running_) return ErrWatcherRunning;
    // The Closed notice has been given already and cannot be taken back.
    if (started_) return ErrWatcherClosed;
    running_ = true;
    started_ = true;
  }
  std::vector<OutboxItem> notices;
  for (;;) {
    notices.clear();
    std::vector<Event> events = poll(&notices);
    for (OutboxItem& n : notices) (void)out_.Send(std::move(n));
    if (deliver(events)) {
      out_.Close();
      return Status();
    }
    std::this_thread::sleep_for(d);
  }
}

bool Watcher::deliver(std::vector<Event>& events) {
  if (close_.Take()) return true;
  for (Event& event : events) {
    // A close request is taken between deliveries, not while the consumer
    // is awaited.
    if (close_.Take()) return true;
    (void)out_.Send(std::move(event));
  }
  return close_.Take();
}

void Watcher::Close() {
  {
    base::MutexLock lock(&mu_);
    if (!running_) return;
    running_ = false;
    names_ = {};
    missing_ = {};
    trees_.clear();
    failing_.clear();
  }
  // Not under mu_: the loop may need mu_ before it gets to take the request.
  close_.Request();
}

std::vector<Event> Watcher::poll(std::vector<OutboxItem>* notices) {
  Changes changes;
  std::vector<Failure> failures;
  std::unordered_set<std::string> walked;
  std::vector<RootFound> found;
  // Trees whose names left the watch list live until their changes are
  // emitted.
  std::vector<std::unique_ptr<TreeSnapshot>> dropped;
  base::MutexLock lock(&mu_);
  const WalkFilters filters = filtersLocked();
  // Walk a copy: a vanished name leaves names_.
  const std::vector<std::pair<std::string, bool>> names(names_.begin(),
                                                        names_.end());
  for (const auto& [name, recursive] : names) {
    std::unique_ptr<TreeSnapshot>& tree = trees_[name];
    if (tree == nullptr) tree = std::make_unique<TreeSnapshot>(name);
    std::vector<Status> unreadable;
    const Status err = tree->Walk(filters, &changes, &unreadable);
    walked.insert(name);
    if (err.IsNotExist()) {
      if (err.path() == name) {
        notices->emplace_back(std::in_place_type<Status>,
                              ErrWatchedFileDeleted);
        removeLocked(name, recursive);
        missing_.insert_or_assign(name, MissingRoot{recursive, true});
      }
    } else if (!err.ok()) {
      failures.push_back({name, err});
    }
    for (Status& s : unreadable) failures.push_back({name, std::move(s)});
  }
  // After the watched names, so that a root that vanished and came back
  // within this cycle is watched again at once.
  findMissingRoots(filters, &changes, &failures, &walked, &found);
  // Trees whose names left the watch list: what they still hold is gone.
  for (auto it = trees_.begin(); it != trees_.end();) {
    if (names_.contains(it->first)) {
      ++it;
      continue;
    }
    it->second->VanishAll(&changes);
    dropped.push_back(std::move(it->second));
    it = trees_.erase(it);
  }
  if (trees_.size() + dropped.size() > 1) {
    for (const auto& [root, tree] : trees_) changes.listing.push_back(tree.get());
  }
  noteFailures(failures, walked, notices);
  for (RootFound& f : found) {
    notices->emplace_back(std::in_place_type<RootFound>, std::move(f));
  }

  std::vector<Event> events;
  int64_t numEvents = 0;
  const int64_t maxEvents = maxEvents_;
  emitChanges(changes, [&](Event event) {
    // Past the limit, the rest of the cycle's changes are dropped for good:
    // the snapshot holds them all the same. Those not made are never built.
    if (maxEvents > 0 && ++numEvents > maxEvents) return false;
    events.push_back(std::move(event));
    return true;
  });
  return events;
}

void Watcher::noteFailures(std::vector<Failure>& failures,
                           const std::unordered_set<std::string>& walked,
                           std::vector<OutboxItem>* notices) {
  std::unordered_map<std::string, Failing> now;
  for (Failure& f : failures) {
    std::string key = f.status.path().empty() ? f.root : f.status.path();
    std::string message = f.status.Error();
    // Reported when it starts, or when it fails otherwise than reported.
    const auto was = failing_.find(key);
    if (was == failing_.end() || was->second.message != message) {
      notices->emplace_back(std::in_place_type<Status>, std::move(f.status));
    }
    now.insert_or_assign(std::move(key),
                         Failing{std::move(f.root), std::move(message)});
  }
  for (auto& [key, f] : failing_) {
    // Over only where this cycle looked again; a path whose root left the
    // watch list or went missing is simply forgotten.
    if (!now.contains(key) && walked.contains(f.root) &&
        names_.contains(f.root)) {
      notices->emplace_back(std::in_place_type<ErrorCleared>,
                            ErrorCleared{key});
    }
  }
  failing_ = std::move(now);
}

void Watcher::findMissingRoots(const WalkFilters& filters, Changes* changes,
                               std::vector<Failure>* failures,
                               std::unordered_set<std::string>* walked,
                               std::vector<RootFound>* found) {
  for (auto it = missing_.begin(); it != missing_.end();) {
    const std::string& name = it->first;
    const MissingRoot root = it->second;
    struct stat st;
    if (stat(name.c_str(), &st) != 0) {
      ++it;
      continue;
    }
    walked->insert(name);
    // A root that went and came back within one cycle still has its tree:
    // what it held is compared as usual.
    std::unique_ptr<TreeSnapshot>& slot = trees_[name];
    const bool fresh = slot == nullptr;
    if (fresh) slot = std::make_unique<TreeSnapshot>(name);
    std::vector<Status> unreadable;
    // A root never watched before is recorded like a root at start: what it
    // holds is where it starts from, not a change.
    const Status err =
        slot->Walk(filters, root.watched ? changes : nullptr, &unreadable);
    if (!err.ok()) {
      // Gone again since the status call: nothing to say. Any other failure
      // is reported as for a watched name, and the root is tried again.
      if (!err.IsNotExist()) failures->push_back({name, err});
      if (fresh) trees_.erase(name);
      ++it;
      continue;
    }
    for (Status& s : unreadable) failures->push_back({name, std::move(s)});
    names_[name] = root.recursive;
    found->push_back(RootFound{name, root.watched});
    it = missing_.erase(it);
  }
}

Delivery Watcher::Receive() {
  OutboxItem item;
  if (out_.Receive(&item) == Outbox::Got::kClosed) {
    return Closed{};
  }
  return std::visit(
      [](auto&& v) -> Delivery { return std::forward<decltype(v)>(v); },
      std::move(item));
}

std::optional<Delivery> Watcher::ReceiveUntil(
    std::chrono::steady_clock::time_point deadline) {
  OutboxItem item;
  switch (out_.ReceiveUntil(deadline, &item)) {
    case Outbox::Got::kTimeout:
      return std::nullopt;
    case Outbox::Got::kClosed:
      return Closed{};
    case Outbox::Got::kItem:
      break;
  }
  return std::visit(
      [](auto&& v) -> Delivery { return std::forward<decltype(v)>(v); },
      std::move(item));
}

}  // namespace watcher
