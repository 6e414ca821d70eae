// Helpers shared by the watcher's tests.

#ifndef ZORVANE_WATCHER_TEST_UTIL_H_
#define ZORVANE_WATCHER_TEST_UTIL_H_

#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport/eventually.h"
#include "watcher/watcher.h"

namespace watcher {

inline void PrintTo(const Status& s, std::ostream* os) {
  *os << s.Error();
}

// Reads a watcher's private state. A running loop holds the watcher's lock
// while an event waits for the consumer, so each read gives up with a
// failure (and an empty result) after a deadline instead of hanging.
class WatcherPeer {
 public:
  static std::map<std::string, bool> Names(Watcher& w) {
    return Read(w, [&] {
      w.mu_.AssertHeld();
      return std::map<std::string, bool>(w.names_.begin(), w.names_.end());
    });
  }
  static Listing Files(Watcher& w) {
    return Read(w, [&] {
      w.mu_.AssertHeld();
      Listing out;
      for (const auto& [name, tree] : w.trees_) tree->Collect(&out);
      return out;
    });
  }
  // Runs one polling cycle of a watcher that is not running, on this
  // thread: the events it would deliver, and before them in `*notices` its
  // other deliveries.
  static std::vector<Event> Cycle(Watcher& w,
                                  std::vector<Delivery>* notices = nullptr) {
    std::vector<Watcher::OutboxItem> items;
    std::vector<Event> events = w.poll(&items);
    for (Watcher::OutboxItem& item : items) {
      if (notices == nullptr) break;
      notices->push_back(std::visit(
          [](auto&& v) -> Delivery { return std::forward<decltype(v)>(v); },
          std::move(item)));
    }
    return events;
  }
  // Whether Close has handed its request to the loop (taken or not).
  static bool CloseRequested(Watcher& w) { return w.close_.Requested(); }
  // Whether the loop waits for the consumer to take a delivery.
  static bool DeliveryWaiting(Watcher& w) { return w.out_.Offered(); }
  // The roots looked for, with true for those watched before.
  static std::map<std::string, bool> Missing(Watcher& w) {
    return Read(w, [&] {
      w.mu_.AssertHeld();
      std::map<std::string, bool> out;
      for (const auto& [name, root] : w.missing_) out[name] = root.watched;
      return out;
    });
  }

 private:
  // `read` runs with the watcher's lock held, and says so to the analysis
  // (Mutex::AssertHeld), which cannot see it taken here.
  template <typename F>
  static auto Read(Watcher& w, F read) -> decltype(read()) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
      if (w.mu_.TryLock()) {
        auto out = read();
        w.mu_.Unlock();
        return out;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "the watcher's lock stays held";
        return {};
      }
      std::this_thread::yield();
    }
  }
};

namespace test {

// A fresh directory, world-readable, removed with its contents at the end;
// in `base` (/tmp by default).
class TempDir {
 public:
  explicit TempDir(const std::string& base = "/tmp") {
    std::string tmpl = base + "/watcher_test.XXXXXX";
    path_ = mkdtemp(tmpl.data());
    chmod(path_.c_str(), 0755);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const {
    return path_ + "/" + rel;
  }

  // The paths of `listing` relative to this directory ("." for itself).
  std::set<std::string> Rels(const Listing& listing) const {
    std::set<std::string> out;
    for (const auto& [path, info] : listing) out.insert(Rel(path));
    return out;
  }
  // `path` relative to this directory, also on either side of " -> ".
  std::string Rel(const std::string& path) const {
    if (const size_t arrow = path.find(" -> "); arrow != std::string::npos) {
      return Rel(path.substr(0, arrow)) + " -> " + Rel(path.substr(arrow + 4));
    }
    if (path == path_) return ".";
    return path.starts_with(path_ + "/") ? path.substr(path_.size() + 1) : path;
  }

 private:
  std::string path_;
};

// Writes `text` as the content of `path`, creating it. An existing file is
// overwritten in place, not truncated first: a poller could list it empty
// in between and report two writes for one.
inline void WriteFile(const std::string& path, const std::string& text = "x") {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path;
  EXPECT_EQ(pwrite(fd, text.data(), text.size(), 0),
            static_cast<ssize_t>(text.size()));
  EXPECT_EQ(ftruncate(fd, static_cast<off_t>(text.size())), 0);
  close(fd);
}

// Gives every path of the tree one old modification time, so that any later
// change shows however coarse the file system's clock is.
inline void AgeTree(const std::string& root) {
  const auto age = [](const std::string& path) {
    const struct timespec old[2] = {{1'000'000'000, 123}, {1'000'000'000, 123}};
    utimensat(AT_FDCWD, path.c_str(), old, AT_SYMLINK_NOFOLLOW);
  };
  age(root);
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    age(e.path());
  }
}

// "WRITE a.txt", "ERROR <message>", "RETURNED a", "FOUND a", "CLEARED a"
// or "CLOSED".
inline std::string Describe(const TempDir& t, const Delivery& d) {
  if (const Event* e = std::get_if<Event>(&d)) {
    return std::string(String(e->Op)) + " " + t.Rel(e->Path);
  }
  if (const Status* s = std::get_if<Status>(&d)) return "ERROR " + s->Error();
  if (const RootFound* f = std::get_if<RootFound>(&d)) {
    return (f->returned ? "RETURNED " : "FOUND ") + t.Rel(f->path);
  }
  if (const ErrorCleared* c = std::get_if<ErrorCleared>(&d)) {
    return "CLEARED " + t.Rel(c->path);
  }
  return "CLOSED";
}

// The next delivery; a failure (and Closed) after a generous deadline.
inline Delivery Next(Watcher& w) {
  auto d = w.ReceiveUntil(std::chrono::steady_clock::now() +
                          std::chrono::seconds(20));
  if (d) return *std::move(d);
  ADD_FAILURE() << "nothing delivered before the deadline";
  return Closed{};
}

// The descriptions of the next `n` deliveries, sorted: for events of one
// group, whose order is not defined.
inline std::multiset<std::string> NextN(const TempDir& t, Watcher& w, int n) {
  std::multiset<std::string> out;
  for (int i = 0; i < n; ++i) out.insert(Describe(t, Next(w)));
  return out;
}

// Runs Start on a thread of its own; Stop (or the destructor) closes the
// watcher, draining deliveries meanwhile, and joins the thread.
class Running {
 public:
  Running(std::shared_ptr<Watcher> w, std::chrono::nanoseconds d)
      : w_(std::move(w)), thread_([this, d] { result_ = w_->Start(d); }) {}
  ~Running() { (void)Stop(); }

  Status Stop() {
    if (thread_.joinable()) {
      std::thread drain([w = w_] {
        while (!std::holds_alternative<Closed>(w->Receive())) {
        }
      });
      w_->Close();
      thread_.join();
      drain.join();
    }
    return result_;
  }

 private:
  std::shared_ptr<Watcher> w_;
  Status result_;
  std::thread thread_;
};

// Runs `check` in a child process and expects it to pass; the child prints
// its own failures. With `unprivileged`, the child cannot ignore permission
// bits (it runs as nobody when the tests run as root).
inline void RunInChild(const std::function<void()>& check,
                       bool unprivileged = false) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (unprivileged && geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(65534) != 0 ||
         setuid(65534) != 0)) {
      _exit(2);
    }
    check();
    fflush(stdout);  // _exit drops what stdio still holds.
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "child status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: could not drop privileges";
}

inline void RunUnprivileged(const std::function<void()>& check) {
  RunInChild(check, /*unprivileged=*/true);
}

// Waits until `done()` holds; false if it still does not after a generous
// deadline.
template <typename Pred>
bool WaitFor(Pred done) {
  return testsupport::Eventually(done, std::chrono::seconds(20),
                                 std::chrono::milliseconds(1));
}

}  // namespace test
}  // namespace watcher

#endif  // ZORVANE_WATCHER_TEST_UTIL_H_
