// The snapshot walk against the straightforward reference (a listing of
// full paths per cycle, compared map against map): on random trees and
// random edits, both must find exactly the same changes.

#include "watcher/snapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <re2/re2.h>

#include "watcher/reference.h"
#include "watcher/test_util.h"

namespace watcher {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// One event as text, with what the comparison looks at.
std::string Line(const TempDir& t, const Event& e) {
  std::ostringstream out;
  out << String(e.Op) << ' ' << t.Rel(e.Path);
  if (!e.NewPath.empty()) out << " to " << t.Rel(e.NewPath);
  if (e.FileInfo) {
    const FileInfo& fi = *e.FileInfo;
    out << " name=" << fi.name << " size=" << fi.size << " mode=" << std::oct
        << fi.mode << std::dec
        << " mtime=" << fi.modTime.time_since_epoch().count();
    if (fi.sys) out << " ino=" << fi.sys->ino;
  }
  return out.str();
}

// The events of one cycle in their groups (the order within a group is not
// promised), each group sorted.
std::vector<std::vector<std::string>> Groups(const TempDir& t,
                                             const std::vector<Event>& events) {
  std::vector<std::vector<std::string>> groups(4);
  for (const Event& e : events) {
    const int g = e.Op == Op::Write || e.Op == Op::Chmod   ? 0
                  : e.Op == Op::Rename || e.Op == Op::Move ? 1
                  : e.Op == Op::Create                     ? 2
                                                           : 3;
    groups[g].push_back(Line(t, e));
  }
  for (auto& g : groups) std::sort(g.begin(), g.end());
  return groups;
}

// The groups must come in their order.
void ExpectGroupsInOrder(const std::vector<Event>& events) {
  int last = 0;
  for (const Event& e : events) {
    const int g = e.Op == Op::Write || e.Op == Op::Chmod   ? 0
                  : e.Op == Op::Rename || e.Op == Op::Move ? 1
                  : e.Op == Op::Create                     ? 2
                                                           : 3;
    EXPECT_GE(g, last) << String(e.Op) << " " << e.Path;
    last = g;
  }
}

// The filters of one scenario, for both sides.
struct Scenario {
  std::string name;
  // The reference's hooks (on the full status) and the snapshot's.
  std::vector<FilterFileHookFunc> reference;
  std::vector<FilterHook> snapshot;
};

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
  out.push_back({"no hooks", {}, {}});
  out.push_back({"pattern on names",
                 {RegexFilterHook(js, false)},
                 {{byName(js), nullptr}}});
  out.push_back({"pattern on the full status",
                 {RegexFilterHook(early, false)},
                 {{nullptr, RegexFilterHook(early, false)}}});
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
                 {{byName(js), nullptr}, {skipDir, nullptr}}});
  return out;
}

// Makes random trees and random edits of them.
class Editor {
 public:
  Editor(const std::string& root, uint32_t seed) : root_(root), rng_(seed) {}

  void Populate(int entries) {
    for (int i = 0; i < entries; ++i) CreateOne();
  }

  // One random edit.
  void Edit() {
    switch (Pick(11)) {
      case 0:
      case 1:
        CreateOne();
        return;
      case 2:
        if (auto f = AnyFile()) Append(*f);
        return;
      case 3:
        if (auto f = AnyFile()) ::chmod(f->c_str(), Pick(2) ? 0600 : 0755);
        return;
      case 4:
        if (auto f = AnyFile()) Rename(*f, fs::path(*f).parent_path());
        return;
      case 5:
        if (auto f = AnyFile(); f && !Dirs().empty()) {
          Rename(*f, Dirs()[Pick(Dirs().size())]);
        }
        return;
      case 6:
        if (auto f = AnyFile()) fs::remove(*f);
        return;
      case 7:
        if (auto d = AnyDir()) fs::remove_all(*d);
        return;
      case 8:
        if (auto d = AnyDir()) {  // a folder replaced by a file
          fs::remove_all(*d);
          test::WriteFile(*d, "was a folder");
        }
        return;
      case 9:
        if (auto f = AnyFile()) {  // a file replaced by a folder
          fs::remove(*f);
          fs::create_directory(*f);
          test::WriteFile(*f + "/inside.js");
        }
        return;
      case 10:
        if (auto f = AnyFile()) SameTickRewrite(*f);
        return;
    }
  }

 private:
  size_t Pick(size_t n) {
    return std::uniform_int_distribution<size_t>(0, n - 1)(rng_);
  }

  std::vector<std::string> Dirs() {
    std::vector<std::string> out = {root_};
    for (const auto& e : fs::recursive_directory_iterator(root_)) {
      if (e.is_directory() && !e.is_symlink()) out.push_back(e.path());
    }
    return out;
  }
  std::optional<std::string> AnyFile() {
    std::vector<std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(root_)) {
      if (e.is_regular_file() && !e.is_symlink()) files.push_back(e.path());
    }
    if (files.empty()) return std::nullopt;
    return files[Pick(files.size())];
  }
  std::optional<std::string> AnyDir() {
    std::vector<std::string> dirs = Dirs();
    dirs.erase(dirs.begin());  // never the root
    if (dirs.empty()) return std::nullopt;
    return dirs[Pick(dirs.size())];
  }

  void CreateOne() {
    static const char* const kNames[] = {"a.js",  "b.txt", "c.js", "d1",
                                         "e.js",  "n.go",  "p.js", "z1",
                                         ".h.js", "m2"};
    std::vector<std::string> dirs = Dirs();
    const std::string dir = dirs[Pick(dirs.size())];
    const std::string name = kNames[Pick(std::size(kNames))];
    const std::string path = dir + "/" + name + std::to_string(Pick(3));
    if (fs::exists(fs::symlink_status(path))) return;
    switch (Pick(6)) {
      case 0:
      case 1:
        fs::create_directory(path);
        return;
      case 2:
        fs::create_symlink(dir, path);  // a link to a folder: never entered
        return;
      default:
        test::WriteFile(path, std::string(Pick(5), 'x'));
    }
  }
  void Append(const std::string& path) {
    std::ofstream(path, std::ios::app) << "more";
  }
  void Rename(const std::string& from, const std::string& toDir) {
    const std::string to = toDir + "/r" + std::to_string(Pick(1000)) + ".js";
    if (!fs::exists(fs::symlink_status(to))) fs::rename(from, to);
  }
  // A second save within one timestamp tick: only the size tells.
  void SameTickRewrite(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return;
    std::ofstream(path, std::ios::app) << "tick";
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
  }

  std::string root_;
  std::mt19937 rng_;
};

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
      tree.Walk({&snapHooks, nullptr, false, generation}, nullptr, &unreadable)
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

    Changes changes;
    ASSERT_TRUE(tree.Walk({&snapHooks, nullptr, false, generation}, &changes,
                          &unreadable)
                    .ok());
    std::vector<Event> got;
    emitChanges(changes, [&](Event e) {
      got.push_back(std::move(e));
      return true;
    });

    Listing cur;
    ASSERT_TRUE(
        listRecursive(t.path(), {&refHooks, nullptr, false}, &cur, &unreadable)
            .ok());
    std::vector<Event> want;
    compareListings(prev, cur, [&](Event e) {
      want.push_back(std::move(e));
      return true;
    });
    prev = std::move(cur);

    ExpectGroupsInOrder(got);
    ASSERT_EQ(Groups(t, got), Groups(t, want));
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
// entry says it is no directory: a file that cannot be read at all is not
// even noticed, where one kept is.
TEST(SnapshotTest, NamesLeftOutAreNotRead) {
  TempDir t;
  fs::create_directory(t / "sub");
  test::WriteFile(t / "sub/kept.js");
  test::WriteFile(t / "sub/other.txt");
  int answers = 0;
  std::vector<FilterHook> hooks = {
      {[&](std::string_view name, const std::string&, bool isDir) {
         ++answers;
         return isDir || name.ends_with(".js") ? Status() : ErrSkip;
       },
       nullptr}};
  TreeSnapshot tree(t.path());
  std::vector<Status> unreadable;
  ASSERT_TRUE(
      tree.Walk({&hooks, nullptr, false, 1}, nullptr, &unreadable).ok());
  EXPECT_EQ(answers, 4);  // the root, sub, kept.js, other.txt
  // Answers are kept: a second walk asks nothing.
  Changes changes;
  ASSERT_TRUE(
      tree.Walk({&hooks, nullptr, false, 1}, &changes, &unreadable).ok());
  EXPECT_EQ(answers, 4);
  EXPECT_TRUE(changes.empty());
  // Other filters: asked again.
  ASSERT_TRUE(
      tree.Walk({&hooks, nullptr, false, 2}, &changes, &unreadable).ok());
  EXPECT_EQ(answers, 8);
  Listing listed;
  tree.Collect(&listed);
  EXPECT_EQ(t.Rels(listed), (std::set<std::string>{".", "sub", "sub/kept.js"}));
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
      tree.Walk({&hooks, nullptr, false, 1}, nullptr, &unreadable).ok());
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
      tree.Walk({&hooks, nullptr, false, 1}, &changes, &unreadable);
  EXPECT_TRUE(err.IsNotExist()) << err.Error();
  EXPECT_EQ(err.path(), t / "r");
  EXPECT_TRUE(changes.vanished.empty());
}

TEST(SnapshotTest, ForgetMakesEntriesNewAgain) {
  TempDir t;
  fs::create_directories(t / "d/e");
  test::WriteFile(t / "d/f.js");
  test::WriteFile(t / "d/e/g.js");
  TreeSnapshot tree(t.path());
  std::vector<Status> unreadable;
  ASSERT_TRUE(tree.Walk({}, nullptr, &unreadable).ok());
  tree.Forget(t / "d", /*recursive=*/false);
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

}  // namespace
}  // namespace watcher
