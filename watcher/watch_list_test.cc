// The watch list against the straightforward reference: one map of paths
// for every watched name, listed afresh each cycle and compared map
// against map, with names added and removed as the map says. On random
// trees, random edits and random changes of the watch list (roots inside
// roots added, added again, removed with or without what lies below, while
// a hook fails now and then), the watcher must report what the map does
// and hold what it holds.

#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "watcher/edit_test_util.h"
#include "watcher/path.h"
#include "watcher/reference.h"
#include "watcher/test_util.h"
#include "watcher/watcher.h"

namespace watcher {
namespace {

using test::TempDir;

// The watch list as the watcher was first built: names, and one listing
// for all of them.
class Reference {
 public:
  explicit Reference(const std::vector<FilterFileHookFunc>* hooks)
      : hooks_(hooks) {}

  Status Add(const std::string& name) {
    Listing listing;
    std::vector<Status> unreadable;
    if (Status s = listRecursive(name, filters(), &listing, &unreadable);
        !s.ok()) {
      return s;
    }
    for (auto& [path, info] : listing) files_.insert_or_assign(path, info);
    names_.insert(name);
    return Status();
  }

  void Remove(const std::string& name, bool recursive) {
    names_.erase(name);
    const auto it = files_.find(name);
    if (it == files_.end()) return;
    const bool dir = it->second.IsDir();
    files_.erase(it);
    if (!dir) return;
    std::erase_if(files_, [&](const auto& entry) {
      return recursive ? entry.first.starts_with(name + "/")
                       : parentDir(entry.first) == name;
    });
  }

  // One cycle: every name listed afresh (what a failed listing gathered
  // before it failed counts), compared with the listing before.
  std::vector<Event> Cycle() {
    Listing now;
    for (const std::string& name : names_) {
      Listing listing;
      std::vector<Status> unreadable;
      (void)listRecursive(name, filters(), &listing, &unreadable);
      for (auto& [path, info] : listing) now.insert_or_assign(path, info);
    }
    std::vector<Event> events;
    compareListings(files_, now, [&](Event e) {
      events.push_back(std::move(e));
      return true;
    });
    files_ = std::move(now);
    return events;
  }

  const Listing& files() const { return files_; }

 private:
  ListFilters filters() const { return {hooks_, nullptr, false}; }

  const std::vector<FilterFileHookFunc>* hooks_;
  std::set<std::string> names_;
  Listing files_;
};

const Status& HookFailure() {
  static const Status* const kFailure = new Status("error: hook failed");
  return *kFailure;
}

void Compare(uint32_t seed) {
  SCOPED_TRACE("seed " + std::to_string(seed));
  TempDir t;
  std::mt19937 rng(seed);
  const auto pick = [&](size_t n) {
    return std::uniform_int_distribution<size_t>(0, n - 1)(rng);
  };
  // Roots inside roots: the tree, a folder in it and one in that.
  const std::vector<std::string> roots = {t.path(), t / "sub",
                                          t / "sub/deep"};
  std::filesystem::create_directories(roots.back());
  test::Editor editor(t.path(), seed);
  editor.Protect(roots.back());
  editor.Populate(50);

  // One hook for both: names beginning with "b" are left out, and the path
  // in `failOn` fails.
  std::string failOn;
  std::vector<FilterFileHookFunc> hooks = {
      [&failOn](const FileInfo& info, const std::string& path) {
        if (path == failOn) return HookFailure();
        return info.name.starts_with("b") ? ErrSkip : Status();
      }};
  Reference ref(&hooks);
  auto w = New();
  w->AddFilterHook(hooks[0]);
  for (const std::string& root : roots) {
    ASSERT_TRUE(ref.Add(root).ok());
    ASSERT_TRUE(w->AddRecursive(root).ok());
  }
  // A listed path, to fail on or to remove.
  const auto anyListed = [&]() -> std::string {
    if (ref.files().empty()) return t.path();
    auto it = ref.files().begin();
    std::advance(it, pick(ref.files().size()));
    return it->first;
  };

  for (int cycle = 0; cycle < 30; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    for (int i = 0, n = static_cast<int>(pick(4)); i < n; ++i) editor.Edit();
    // Now and then a hook fails in the middle of the cycle.
    failOn = pick(4) == 0 ? anyListed() : "";
    const std::vector<Event> got = WatcherPeer::Cycle(*w);
    const std::vector<Event> want = ref.Cycle();
    failOn = "";
    test::ExpectGroupsInOrder(got);
    ASSERT_TRUE(test::SameGroups(t, got, want));
    ASSERT_EQ(t.Rels(w->WatchedFiles()), t.Rels(ref.files()));

    // A change of the watch list, between cycles.
    const std::string root = roots[pick(roots.size())];
    switch (pick(5)) {
      case 0:  // added (again), now and then with a hook that fails
        failOn = pick(2) == 0 ? anyListed() : "";
        ASSERT_EQ(w->AddRecursive(root), ref.Add(root)) << root;
        failOn = "";
        break;
      case 1:
      case 2: {  // a root or a listed path removed, with or without all
        const std::string name = pick(2) == 0 ? root : anyListed();
        const bool recursive = pick(2) == 0;
        ASSERT_TRUE((recursive ? w->RemoveRecursive(name) : w->Remove(name))
                        .ok());
        ref.Remove(name, recursive);
        break;
      }
      default:
        break;
    }
    ASSERT_EQ(t.Rels(w->WatchedFiles()), t.Rels(ref.files()));
  }
}

TEST(WatchListTest, FindsWhatAFullListingFinds) {
  for (uint32_t seed = 1; seed <= 16; ++seed) Compare(seed);
}

}  // namespace
}  // namespace watcher
