// Cost of one polling cycle on a large tree: the listing against a bare
// walk that only reads the same statuses (the floor any listing pays),
// and the comparison of two listings.

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <benchmark/benchmark.h>
#include <re2/re2.h>

#include "watcher/reference.h"
#include "watcher/snapshot.h"
#include "watcher/watcher.h"

namespace watcher {
namespace {

// A tree of `dirs` directories holding `files` files each, made once per
// size and removed at exit.
const std::string& Tree(int dirs, int files) {
  static std::string root;
  static int made = -1;
  if (made != dirs * files) {
    if (!root.empty()) std::filesystem::remove_all(root);
    char tmpl[] = "/tmp/watcher_bench_XXXXXX";
    root = ::mkdtemp(tmpl);
    for (int d = 0; d < dirs; ++d) {
      const std::string dir = root + "/d" + std::to_string(d);
      std::filesystem::create_directory(dir);
      for (int f = 0; f < files; ++f) {
        std::ofstream(dir + "/f" + std::to_string(f) +
                      (f % 2 ? ".js" : ".png"));
      }
    }
    made = dirs * files;
    static const bool cleanup = [] {
      std::atexit([] { std::filesystem::remove_all(root); });
      return true;
    }();
    (void)cleanup;
  }
  return root;
}

// The floor: open every directory, read it and fstatat every entry,
// keeping nothing.
int64_t BareWalk(int dirfd) {
  int64_t n = 0;
  DIR* d = ::fdopendir(dirfd);
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.' &&
        (e->d_name[1] == 0 || (e->d_name[1] == '.' && e->d_name[2] == 0))) {
      continue;
    }
    struct stat st;
    if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
      continue;
    ++n;
    if (S_ISDIR(st.st_mode)) {
      const int sub =
          ::openat(::dirfd(d), e->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (sub >= 0) n += BareWalk(sub);
    }
  }
  ::closedir(d);
  return n;
}

void BM_BareWalk(benchmark::State& state) {
  const std::string& root = Tree(static_cast<int>(state.range(0)), 100);
  int64_t n = 0;
  for (auto _ : state) {
    n = BareWalk(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    benchmark::DoNotOptimize(n);
  }
  state.counters["entries"] = static_cast<double>(n);
}
BENCHMARK(BM_BareWalk)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);

// The listing the controller makes each cycle: the tree, with the pattern
// hook on base names.
void BM_ListRecursive(benchmark::State& state) {
  const std::string& root = Tree(static_cast<int>(state.range(0)), 100);
  RE2 pattern("(^.*.java$)|(^.*.js$)|(^.*.go$)");
  const std::vector<FilterFileHookFunc> hooks = {
      RegexFilterHook(pattern, false)};
  ListFilters filters;
  filters.hooks = state.range(1) ? &hooks : nullptr;
  Listing listing;
  for (auto _ : state) {
    listing.clear();
    std::vector<Status> unreadable;
    (void)listRecursive(root, filters, &listing, &unreadable);
    benchmark::DoNotOptimize(listing.size());
  }
  state.counters["kept"] = static_cast<double>(listing.size());
}
BENCHMARK(BM_ListRecursive)
    ->Args({10, 0})
    ->Args({10, 1})
    ->Args({100, 0})
    ->Args({100, 1})
    ->Unit(benchmark::kMillisecond);

// Comparing two listings of the whole tree with no change: the common
// cycle.
void BM_CompareUnchanged(benchmark::State& state) {
  const std::string& root = Tree(static_cast<int>(state.range(0)), 100);
  Listing prev, cur;
  std::vector<Status> unreadable;
  (void)listRecursive(root, {}, &prev, &unreadable);
  cur = prev;
  for (auto _ : state) {
    int events = 0;
    compareListings(prev, cur, [&](const Event&) { return ++events, true; });
    benchmark::DoNotOptimize(events);
  }
  state.counters["entries"] = static_cast<double>(prev.size());
}
BENCHMARK(BM_CompareUnchanged)
    ->Arg(10)
    ->Arg(100)
    ->Unit(benchmark::kMillisecond);

// What the watcher does each cycle: the walk of its snapshot, listing and
// comparing in one pass, with the pattern judging names (answers kept) and
// nothing changed. Against BM_BareWalk (the system calls alone) and, for
// the old way, BM_ListRecursive plus BM_CompareUnchanged.
void BM_SnapshotWalk(benchmark::State& state) {
  const std::string& root = Tree(static_cast<int>(state.range(0)), 100);
  RE2 pattern("(^.*.java$)|(^.*.js$)|(^.*.go$)");
  std::vector<FilterHook> hooks;
  if (state.range(1)) {
    hooks.push_back(
        {[&pattern](std::string_view name, const std::string&, bool) {
           return RE2::PartialMatch(re2::StringPiece(name.data(), name.size()),
                                    pattern)
                      ? Status()
                      : ErrSkip;
         },
         nullptr});
  }
  TreeSnapshot tree(root);
  std::vector<Status> unreadable;
  (void)tree.Walk({&hooks, 1}, nullptr, &unreadable);
  size_t changed = 0;
  for (auto _ : state) {
    Changes changes;
    (void)tree.Walk({&hooks, 1}, &changes, &unreadable);
    changed += changes.written.size() + changes.appeared.size() +
               changes.vanished;
  }
  state.counters["changed"] = static_cast<double>(changed);
}
BENCHMARK(BM_SnapshotWalk)
    ->Args({10, 0})
    ->Args({10, 1})
    ->Args({100, 0})
    ->Args({100, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace watcher

BENCHMARK_MAIN();
