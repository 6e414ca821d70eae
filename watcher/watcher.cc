#include "watcher/watcher.h"

#include <sys/stat.h>

#include <system_error>
#include <thread>
#include <utility>

#include "watcher/listing.h"

namespace watcher {

namespace {

// Moves every entry of `from` into `into`; an entry of `from` replaces one
// already there under the same path.
void mergeInto(Listing* into, Listing&& from) {
  if (into->empty()) {
    into->swap(from);  // The usual case, one watched name: no copy at all.
    return;
  }
  while (!from.empty()) {
    auto node = from.extract(from.begin());
    auto it = into->find(node.key());
    if (it != into->end()) {
      it->second = std::move(node.mapped());
    } else {
      into->insert(std::move(node));
    }
  }
}

}  // namespace

FilterFileHookFunc RegexFilterHook(std::shared_ptr<const RE2> r,
                                   bool useFullPath) {
  return [r = std::move(r), useFullPath](
             const FileInfo& info, const std::string& fullPath) -> Status {
    const std::string& subject = useFullPath ? fullPath : info.name;
    return RE2::PartialMatch(subject, *r) ? Status() : ErrSkip;
  };
}

FilterFileHookFunc RegexFilterHook(const RE2& r, bool useFullPath) {
  // The caller keeps `r`; the hook only refers to it.
  return RegexFilterHook(std::shared_ptr<const RE2>(&r, [](const RE2*) {}),
                         useFullPath);
}

std::shared_ptr<Watcher> New() {
  return std::shared_ptr<Watcher>(new Watcher);
}

void Watcher::SetMaxEvents(int64_t delta) {
  std::lock_guard lock(mu_);
  maxEvents_ = delta;
}

void Watcher::AddFilterHook(FilterFileHookFunc f) {
  std::lock_guard lock(mu_);
  ffh_.push_back(std::move(f));
}

Status Watcher::AddRecursive(const std::string& name) {
  std::lock_guard lock(mu_);
  std::string abs;
  if (Status s = absPath(name, &abs); !s.ok()) return s;
  Listing listing;
  // Directories below the name that cannot be read are left out of the
  // snapshot here; every cycle reports them while they last.
  std::vector<Status> unreadable;
  if (Status s = listRecursive(abs, {&ffh_, &ignored_, ignoreHidden_}, &listing,
                               &unreadable);
      !s.ok()) {
    // A root that is not there yet (one a preparation step creates) is
    // watched once it appears.
    if (s.IsNotExist() && s.path() == abs && !names_.contains(abs)) {
      missing_.try_emplace(abs, MissingRoot{/*recursive=*/true, false});
    }
    return s;
  }
  mergeInto(&files_, std::move(listing));
  names_[abs] = true;
  missing_.erase(abs);
  return Status();
}

Status Watcher::Remove(const std::string& name) {
  std::lock_guard lock(mu_);
  std::string abs;
  if (Status s = absPath(name, &abs); !s.ok()) return s;
  removeLocked(abs, /*recursive=*/false);
  missing_.erase(abs);
  return Status();
}

Status Watcher::RemoveRecursive(const std::string& name) {
  std::lock_guard lock(mu_);
  std::string abs;
  if (Status s = absPath(name, &abs); !s.ok()) return s;
  removeLocked(abs, /*recursive=*/true);
  missing_.erase(abs);
  return Status();
}

void Watcher::removeLocked(const std::string& name, bool recursive) {
  names_.erase(name);
  const auto it = files_.find(name);
  if (it == files_.end()) return;
  const bool isDir = it->second.IsDir();
  files_.erase(it);
  if (!isDir) return;
  if (recursive) {
    // Match at an element boundary: a bare prefix of "/w/app" would also
    // take "/w/app2", whose files the next cycle would report as created.
    const std::string below = name == "/" ? name : name + "/";
    std::erase_if(files_,
                  [&](const auto& kv) { return kv.first.starts_with(below); });
  } else {
    std::erase_if(files_,
                  [&](const auto& kv) { return parentDir(kv.first) == name; });
  }
}

Status Watcher::Start(std::chrono::nanoseconds d) {
  if (d < std::chrono::nanoseconds(1)) return ErrDurationTooShort;
  {
    std::lock_guard lock(mu_);
    if (running_) return ErrWatcherRunning;
    // The Closed notice has been given already and cannot be taken back.
    if (started_) return ErrWatcherClosed;
    running_ = true;
    started_ = true;
  }
  for (;;) {
    cycle_.BeginCycle();
    Listing fileList = retrieveFileList();

    // The comparison holds mu_ while the loop forwards its events, so the
    // loop cannot take mu_ to read these then; it reads them once a cycle.
    int64_t maxEvents;
    uint32_t ops;
    {
      std::lock_guard lock(mu_);
      maxEvents = maxEvents_;
      ops = ops_;
    }

    std::thread comparison;
    bool compared = true;
    try {
      comparison = std::thread([this, &fileList] {
        pollEvents(fileList);
        cycle_.PostDone();
      });
    } catch (const std::system_error& e) {
      // Keep the previous listing, so the next cycle finds these changes.
      compared = false;
      (void)out_.Send(Status(
          std::string("error: cannot start the comparison: ") + e.what()));
      cycle_.PostDone();
    }

    const bool closing = forwardEvents(maxEvents, ops);
    if (closing) {
      cycle_.Cancel();
      out_.Close();
      if (comparison.joinable()) comparison.join();
      return Status();
    }
    // Done, or cancelled: either way the comparison ends without waiting
    // for anything but mu_, so this join is short. After it nothing reads
    // fileList any more, and it can be handed over rather than copied.
    if (comparison.joinable()) comparison.join();
    if (compared) {
      Listing previous;  // Freed after mu_ is released: it may be large.
      std::lock_guard lock(mu_);
      previous.swap(files_);
      files_ = std::move(fileList);
    }
    std::this_thread::sleep_for(d);
  }
}

bool Watcher::forwardEvents(int64_t maxEvents, uint32_t ops) {
  int64_t numEvents = 0;
  for (;;) {
    Event event;
    switch (cycle_.Wait(&event)) {
      case LoopHandoff<Event>::Next::kClose:
        return true;
      case LoopHandoff<Event>::Next::kDone:
        return false;
      case LoopHandoff<Event>::Next::kEvent:
        break;
    }
    const auto kind = static_cast<uint32_t>(event.Op);
    if (ops != 0 && (kind >= 32 || (ops & (1u << kind)) == 0)) continue;
    ++numEvents;
    if (maxEvents > 0 && numEvents > maxEvents) {
      // The rest of the cycle's changes are dropped for good: the listing
      // is stored all the same.
      cycle_.Cancel();
      return false;
    }
    // A close request is not looked at while the consumer is awaited.
    (void)out_.Send(std::move(event));
  }
}

void Watcher::Close() {
  {
    std::lock_guard lock(mu_);
    if (!running_) return;
    running_ = false;
    names_ = {};
    missing_ = {};
    files_ = {};
  }
  // Not under mu_: the loop may need mu_ before it gets to take the request.
  cycle_.RequestClose();
}

Listing Watcher::retrieveFileList() {
  Listing fileList;
  std::vector<RootFound> found;
  std::unique_lock lock(mu_);
  // Walk a copy: a vanished name leaves names_, and Close may empty it,
  // while mu_ is released below.
  const std::vector<std::pair<std::string, bool>> names(names_.begin(),
                                                        names_.end());
  const ListFilters filters{&ffh_, &ignored_, ignoreHidden_};
  for (const auto& [name, recursive] : names) {
    Listing listing;
    std::vector<Status> unreadable;
    const Status err = recursive
                           ? listRecursive(name, filters, &listing, &unreadable)
                           : list(name, filters, &listing);
    if (err.IsNotExist()) {
      if (err.path() == name) {
        // Not under mu_: the consumer may take its time.
        lock.unlock();
        (void)out_.Send(ErrWatchedFileDeleted);
        lock.lock();
        // Unless Remove or Close took it off the list meanwhile, it is
        // looked for from now on.
        if (names_.contains(name)) {
          removeLocked(name, recursive);
          missing_.insert_or_assign(name, MissingRoot{recursive, true});
        }
      }
    } else if (!err.ok()) {
      (void)out_.Send(err);
    }
    for (Status& s : unreadable) (void)out_.Send(std::move(s));
    mergeInto(&fileList, std::move(listing));
  }
  // After the watched names, so that a root that vanished and came back
  // within this cycle is watched again at once.
  findMissingRoots(&fileList, &found);
  lock.unlock();
  for (RootFound& f : found) (void)out_.Send(std::move(f));
  return fileList;
}

void Watcher::findMissingRoots(Listing* fileList,
                               std::vector<RootFound>* found) {
  const ListFilters filters{&ffh_, &ignored_, ignoreHidden_};
  for (auto it = missing_.begin(); it != missing_.end();) {
    const std::string& name = it->first;
    const MissingRoot root = it->second;
    struct stat st;
    if (stat(name.c_str(), &st) != 0) {
      ++it;
      continue;
    }
    Listing listing;
    std::vector<Status> unreadable;
    const Status err = root.recursive
                           ? listRecursive(name, filters, &listing, &unreadable)
                           : list(name, filters, &listing);
    if (!err.ok()) {
      // Gone again since the status call: nothing to say. Any other failure
      // is reported on every cycle while it lasts, as for a watched name,
      // and the root is tried again.
      if (!err.IsNotExist()) (void)out_.Send(err);
      ++it;
      continue;
    }
    for (Status& s : unreadable) (void)out_.Send(std::move(s));
    if (!root.watched) {
      // In the snapshot too: what the root holds is where it starts from,
      // not a change.
      mergeInto(&files_, Listing(listing));
    }
    mergeInto(fileList, std::move(listing));
    names_[name] = root.recursive;
    found->push_back(RootFound{name, root.watched});
    it = missing_.erase(it);
  }
}

void Watcher::pollEvents(const Listing& files) {
  std::lock_guard lock(mu_);
  compareListings(files_, files,
                  [this](Event e) { return cycle_.Emit(std::move(e)); });
}

Delivery Watcher::Receive() {
  OutboxItem item;
  if (out_.Receive(&item) == Outbox::Got::kClosed) {
    return Closed{};
  }
  return std::visit([](auto&& v) -> Delivery { return std::move(v); },
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
  return std::visit([](auto&& v) -> Delivery { return std::move(v); },
                    std::move(item));
}

}  // namespace watcher
