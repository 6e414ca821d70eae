// The snapshot walk against the straightforward reference (a listing of
// full paths per cycle, compared map against map): on random trees and
// random edits, both must find exactly the same changes.

#include "watcher/snapshot.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <re2/re2.h>

#include "watcher/edit_test_util.h"
#include "watcher/reference.h"
#include "watcher/test_util.h"

namespace watcher {
namespace {

namespace fs = std::filesystem;
using test::Editor;
using test::TempDir;

// The filters of one scenario, for both sides.
struct Scenario {
  std::string name;
  // The reference's hooks (on the full status) and the snapshot's.
  std::vector<FilterFileHookFunc> reference;
  std::vector<FilterHook> snapshot;
  // When set, the hooks fail on this path (a cycle chooses it).
  std::shared_ptr<std::string> failOn;
};

// The error of a hook that fails.
const Status& HookFailure() {
  static const Status* const kFailure = new Status("error: hook failed");
  return *kFailure;
}

std::vector<Scenario> Scenarios(const std::string& root) {
  auto js = std::make_shared<const RE2>("\\.js$");
  auto early = std::make_shared<const RE2>("^[a-m]");
  const std::string ignored = root + "/d1";
  const auto byName = [](const std::shared_ptr<const RE2>& r) {
    return [r](std::string_view name, const std::string&, bool) {
      return RE2::PartialMatch(re2::StringPiece(name.data(), name.size()), *r)
                 ? Status()
                 : ErrSkip;
    };
  };
  std::vector<Scenario> out;
  out.push_back({"no hooks", {}, {}, nullptr});
  out.push_back({"pattern on names",
                 {RegexFilterHook(js, false)},
                 {{byName(js), nullptr}},
                 nullptr});
  out.push_back({"pattern on the full status",
                 {RegexFilterHook(early, false)},
                 {{nullptr, RegexFilterHook(early, false)}},
                 nullptr});
  // A folder left out for good: the reference still enters it and drops
  // each entry by itself, the snapshot does not enter it; the listings
  // agree.
  const auto refIgnore = [ignored](const FileInfo&, const std::string& p) {
    return p == ignored || p.starts_with(ignored + "/") ? ErrSkip : Status();
  };
  const auto skipDir = [ignored](std::string_view, const std::string& p,
                                 bool isDir) {
    if (p == ignored || p.starts_with(ignored + "/")) {
      return isDir ? ErrSkipDir : ErrSkip;
    }
    return Status();
  };
  out.push_back({"pattern and a folder left out",
                 {RegexFilterHook(js, false), refIgnore},
                 {{byName(js), nullptr}, {skipDir, nullptr}},
                 nullptr});
  // A hook that fails in the middle of some cycles: the listing is cut
  // there, in the order a listing walks (by name, whatever order the
  // directories give), and what was not reached counts as gone.
  auto failOn = std::make_shared<std::string>();
  const FilterFileHookFunc failing = [failOn](const FileInfo&,
                                              const std::string& p) {
    return p == *failOn ? HookFailure() : Status();
  };
  out.push_back({"a hook that fails", {failing}, {{nullptr, failing}}, failOn});
  return out;
}

// Runs both implementations over the same edits and compares every cycle.
void Compare(uint32_t seed, const Scenario& s, const TempDir& t,
             bool hooksFromTheStart) {
  SCOPED_TRACE(s.name + ", seed " + std::to_string(seed) +
               (hooksFromTheStart ? "" : ", hooks added after the first"));
  Editor editor(t.path(), seed);
  editor.Populate(40);

  std::vector<FilterHook> snapHooks =
      hooksFromTheStart ? s.snapshot : std::vector<FilterHook>{};
  std::vector<FilterFileHookFunc> refHooks =
      hooksFromTheStart ? s.reference : std::vector<FilterFileHookFunc>{};
  uint64_t generation = 1;

  TreeSnapshot tree(t.path());
  std::vector<Status> unreadable;
  ASSERT_TRUE(
      tree.Walk({&snapHooks, generation}, nullptr, &unreadable)
          .ok());
  Listing prev;
  ASSERT_TRUE(
      listRecursive(t.path(), {&refHooks, nullptr, false}, &prev, &unreadable)
          .ok());
  {
    Listing collected;
    tree.Collect(&collected);
    ASSERT_EQ(t.Rels(collected), t.Rels(prev));
  }
  snapHooks = s.snapshot;
  refHooks = s.reference;
  ++generation;

  for (int cycle = 0; cycle < 25; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    const int edits = cycle == 0 ? 0 : 1 + cycle % 4;
    for (int i = 0; i < edits; ++i) editor.Edit();
    if (s.failOn != nullptr) {
      // Every third cycle fails on a path listed before (its old entry may
      // be gone: then nothing fails).
      *s.failOn = "";
      if (cycle % 3 == 2 && !prev.empty()) {
        auto it = prev.begin();
        std::advance(it, (seed * 7 + cycle) % prev.size());
        *s.failOn = it->first;
      }
    }

    Changes changes;
    const Status walked = tree.Walk({&snapHooks, generation},
                                    &changes, &unreadable);
    std::vector<Event> got;
    emitChanges(changes, [&](Event e) {
      got.push_back(std::move(e));
      return true;
    });

    Listing cur;
    const Status listed =
        listRecursive(t.path(), {&refHooks, nullptr, false}, &cur, &unreadable);
    ASSERT_EQ(walked, listed);  // none, or the same hook's failure
    std::vector<Event> want;
    compareListings(prev, cur, [&](Event e) {
      want.push_back(std::move(e));
      return true;
    });
    prev = std::move(cur);

    test::ExpectGroupsInOrder(got);
    ASSERT_TRUE(test::SameGroups(t, got, want));
    Listing collected;
    tree.Collect(&collected);
    ASSERT_EQ(t.Rels(collected), t.Rels(prev));
  }
  EXPECT_TRUE(unreadable.empty());
}

TEST(SnapshotTest, FindsWhatTheReferenceFinds) {
  const size_t kinds = Scenarios("/").size();
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    for (bool fromStart : {true, false}) {
      for (size_t k = 0; k < kinds; ++k) {
        TempDir t;
        Compare(seed, Scenarios(t.path())[k], t, fromStart);
      }
    }
  }
}

// A name left out by the pattern costs no status call when its directory
// entry says it is no directory. The calls are counted where each one
// fails: in a folder that may be read but not searched, every status call
// of an entry fails with "permission denied", and the walk reports it.
TEST(SnapshotTest, NamesLeftOutAreNotRead) {
  TempDir t;
  fs::create_directory(t / "sub");
  for (const char* name : {"kept.js", "other.txt", "sub/kept.js",
                           "sub/other.txt", "sub/more.txt"}) {
    test::WriteFile(t / name);
  }
  ASSERT_EQ(::chmod((t / "sub").c_str(), 0444), 0);
  test::RunUnprivileged([&] {
    int answers = 0;
    std::vector<FilterHook> hooks = {
        {[&](std::string_view name, const std::string&, bool isDir) {
           ++answers;
           return isDir || name.ends_with(".js") ? Status() : ErrSkip;
         },
         nullptr}};
    const std::vector<std::string> oneCall = {
        "lstat " + (t / "sub/kept.js") + ": permission denied"};
    const auto failures = [](const std::vector<Status>& statuses) {
      std::vector<std::string> out;
      for (const Status& s : statuses) out.push_back(s.Error());
      return out;
    };
    TreeSnapshot tree(t.path());
    std::vector<Status> unreadable;
    ASSERT_TRUE(
        tree.Walk({&hooks, 1}, nullptr, &unreadable).ok());
    EXPECT_EQ(failures(unreadable), oneCall);
    EXPECT_EQ(answers, 7);  // every name, the root's included
    // Answers are kept: a second walk asks again only for sub/kept.js,
    // which is new each time (it cannot be read), and reads what it read.
    unreadable.clear();
    Changes changes;
    ASSERT_TRUE(
        tree.Walk({&hooks, 1}, &changes, &unreadable).ok());
    EXPECT_EQ(failures(unreadable), oneCall);
    EXPECT_EQ(answers, 8);
    EXPECT_TRUE(changes.empty());
    // Other filters: asked again.
    ASSERT_TRUE(
        tree.Walk({&hooks, 2}, &changes, &unreadable).ok());
    EXPECT_EQ(answers, 15);
    Listing listed;
    tree.Collect(&listed);
    EXPECT_EQ(t.Rels(listed), (std::set<std::string>{".", "kept.js", "sub"}));
  });
  ::chmod((t / "sub").c_str(), 0755);
}

// A directory left out for good is not entered: its contents are not read
// and cannot be reported.
TEST(SnapshotTest, SkipDirDoesNotEnter) {
  TempDir t;
  fs::create_directories(t / "out/deep");
  test::WriteFile(t / "out/deep/gen.js");
  test::WriteFile(t / "src.js");
  std::vector<std::string> asked;
  std::vector<FilterHook> hooks = {
      {[&](std::string_view name, const std::string&, bool isDir) {
         asked.emplace_back(name);
         return name == "out" && isDir ? ErrSkipDir : Status();
       },
       nullptr}};
  TreeSnapshot tree(t.path());
  std::vector<Status> unreadable;
  ASSERT_TRUE(
      tree.Walk({&hooks, 1}, nullptr, &unreadable).ok());
  std::vector<std::string> want = {fs::path(t.path()).filename(), "out",
                                   "src.js"};
  std::sort(asked.begin(), asked.end());
  std::sort(want.begin(), want.end());
  EXPECT_EQ(asked, want);
}

// A root that goes between its status call and its opening (here while
// the hooks judge it) is gone as one whose status call failed: what it
// held is the caller's to drop, not reported by the walk.
TEST(SnapshotTest, RootGoingDuringTheWalkIsLeftToTheCaller) {
  TempDir t;
  fs::create_directory(t / "r");
  test::WriteFile(t / "r/f");
  TreeSnapshot tree(t / "r");
  std::vector<Status> unreadable;
  ASSERT_TRUE(tree.Walk({}, nullptr, &unreadable).ok());
  std::vector<FilterHook> hooks = {
      {[&](std::string_view, const std::string& path, bool) {
         if (path == t / "r") fs::rename(t / "r", t / "r.old");
         return Status();
       },
       nullptr}};
  Changes changes;
  const Status err =
      tree.Walk({&hooks, 1}, &changes, &unreadable);
  EXPECT_TRUE(err.IsNotExist()) << err.Error();
  EXPECT_EQ(err.path(), t / "r");
  EXPECT_EQ(changes.vanished, 0u);
}

TEST(SnapshotTest, ForgetMakesEntriesNewAgain) {
  TempDir t;
  fs::create_directories(t / "d/e");
  test::WriteFile(t / "d/f.js");
  test::WriteFile(t / "d/e/g.js");
  TreeSnapshot tree(t.path());
  std::vector<Status> unreadable;
  ASSERT_TRUE(tree.Walk({}, nullptr, &unreadable).ok());
  tree.Forget(t / "d", /*isDir=*/true, /*recursive=*/false);
  Listing listed;
  tree.Collect(&listed);
  EXPECT_EQ(t.Rels(listed), (std::set<std::string>{".", "d/e/g.js"}));
  Changes changes;
  ASSERT_TRUE(tree.Walk({}, &changes, &unreadable).ok());
  std::vector<std::string> created;
  for (const auto& [path, info] : changes.appeared)
    created.push_back(t.Rel(path));
  std::sort(created.begin(), created.end());
  EXPECT_EQ(created, (std::vector<std::string>{"d", "d/e", "d/f.js"}));
}

// A chain of `depth` folders "d" below `root`, each made relative to the
// one above (its path may be longer than PATH_MAX), with the file "f" at
// the bottom. Returns a descriptor of the bottom folder, or -1.
int MakeChain(const std::string& root, int depth) {
  int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int i = 0; i < depth && fd >= 0; ++i) {
    const int sub = ::mkdirat(fd, "d", 0755) == 0
                        ? ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                        : -1;
    ::close(fd);
    fd = sub;
  }
  if (fd < 0) return -1;
  const int f = ::openat(fd, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (f < 0) {
    ::close(fd);
    return -1;
  }
  ::close(f);
  return fd;
}

// Removes what MakeChain made, from the bottom up, and closes `bottom`.
void RemoveChain(int bottom, int depth) {
  ::unlinkat(bottom, "f", 0);
  int fd = bottom;
  for (int i = 0; i < depth && fd >= 0; ++i) {
    const int up = ::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    if (up >= 0) ::unlinkat(up, "d", AT_REMOVEDIR);
    fd = up;
  }
  if (fd >= 0) ::close(fd);
}

// Writes `text` into the file "f" of the folder `dir`, with a modification
// time of its own.
void WriteAt(int dir, const std::string& text, time_t seconds) {
  const int f = ::openat(dir, "f", O_WRONLY | O_TRUNC | O_CLOEXEC);
  ASSERT_GE(f, 0);
  EXPECT_EQ(::write(f, text.data(), text.size()),
            static_cast<ssize_t>(text.size()));
  const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  EXPECT_EQ(::futimens(f, times), 0);
  ::close(f);
}

// The descriptors this process holds open.
int OpenDescriptors() {
  int n = 0;
  for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
    (void)e;
    ++n;
  }
  return n - 1;  // the iterator's own
}

// The events of a walk with `changes`, in the order they are emitted.
std::vector<std::string> Emitted(const TempDir& t, Changes& changes) {
  std::vector<std::string> out;
  emitChanges(changes, [&](Event e) {
    out.push_back(std::string(String(e.Op)) + " " + t.Rel(e.Path));
    return true;
  });
  return out;
}

// A descriptor limit below the tree's depth slows the walk (the levels
// above give their descriptors back and get them again), but every level is
// listed and a change at the bottom is seen.
TEST(SnapshotTest, DescriptorLimitDoesNotBlindTheWalk) {
  constexpr int kDepth = 40;
  TempDir t;
  const int bottom = MakeChain(t.path(), kDepth);
  ASSERT_GE(bottom, 0);
  std::string f;
  for (int i = 0; i < kDepth; ++i) f += "d/";
  f += "f";
  test::RunInChild([&] {
    struct rlimit lim;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &lim), 0);
    lim.rlim_cur = static_cast<rlim_t>(OpenDescriptors() + 6);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lim), 0);
    TreeSnapshot tree(t.path());
    std::vector<Status> unreadable;
    ASSERT_TRUE(tree.Walk({}, nullptr, &unreadable).ok());
    Listing listed;
    tree.Collect(&listed);
    EXPECT_EQ(listed.size(), 1u + kDepth + 1);
    WriteAt(bottom, "new", 2000000000);
    Changes changes;
    ASSERT_TRUE(tree.Walk({}, &changes, &unreadable).ok());
    EXPECT_EQ(Emitted(t, changes), std::vector<std::string>{"WRITE " + f});
    for (const Status& s : unreadable) ADD_FAILURE() << s.Error();
  });
  RemoveChain(bottom, kDepth);
}

// A tree deeper than any thread's stack could walk recursively: the walk's
// own stack is on the heap. Its paths are far longer than PATH_MAX.
TEST(SnapshotTest, DeepTreeCostsHeapNotStack) {
  // With more than 200 bytes of stack a level, a recursive walk needs more
  // than the 8 MiB of a default stack.
  constexpr int kDepth = 50000;
  // In memory where it can: a disk makes and removes such a chain slowly.
  TempDir t(fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp");
  const int bottom = MakeChain(t.path(), kDepth);
  ASSERT_GE(bottom, 0);
  // A descriptor for every level, if the walk wants it (a recursive walk
  // holds one a level), where the hard limit allows it.
  struct rlimit was;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &was), 0);
  struct rlimit more = was;
  more.rlim_cur = more.rlim_max = std::max<rlim_t>(was.rlim_max, kDepth + 100);
  if (::setrlimit(RLIMIT_NOFILE, &more) != 0) {
    more.rlim_max = was.rlim_max;
    more.rlim_cur = was.rlim_max;
    (void)::setrlimit(RLIMIT_NOFILE, &more);
  }
  std::vector<std::string> events;
  std::vector<Status> unreadable;
  std::thread walker([&] {  // a default stack
    TreeSnapshot tree(t.path());
    ASSERT_TRUE(tree.Walk({}, nullptr, &unreadable).ok());
    WriteAt(bottom, "new", 2000000000);
    Changes changes;
    ASSERT_TRUE(tree.Walk({}, &changes, &unreadable).ok());
    emitChanges(changes, [&](Event e) {
      events.push_back(std::string(String(e.Op)) + " " + e.Path);
      return true;
    });
  });
  walker.join();
  ::setrlimit(RLIMIT_NOFILE, &was);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].starts_with("WRITE " + t.path() + "/d/d/"));
  EXPECT_TRUE(events[0].ends_with("/d/f"));
  EXPECT_GT(events[0].size(), size_t{PATH_MAX});
  for (const Status& s : unreadable) ADD_FAILURE() << s.Error();
  RemoveChain(bottom, kDepth);
}

}  // namespace
}  // namespace watcher
