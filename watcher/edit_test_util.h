// Helpers of the differential tests: random trees, random edits of them,
// and a cycle's events as comparable text.

#ifndef ZORVANE_WATCHER_EDIT_TEST_UTIL_H_
#define ZORVANE_WATCHER_EDIT_TEST_UTIL_H_

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "watcher/event.h"
#include "watcher/test_util.h"

namespace watcher::test {

// One event as text, with what the comparison looks at.
inline std::string Line(const TempDir& t, const Event& e) {
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

// The group of an event in a cycle's order: writes and mode changes,
// renames and moves, creations, removals.
inline int GroupOf(const Event& e) {
  return e.Op == Op::Write || e.Op == Op::Chmod   ? 0
         : e.Op == Op::Rename || e.Op == Op::Move ? 1
         : e.Op == Op::Create                     ? 2
                                                  : 3;
}

// The events of one cycle in their groups (the order within a group is not
// promised), each group sorted.
inline std::vector<std::vector<std::string>> Groups(
    const TempDir& t, const std::vector<Event>& events) {
  std::vector<std::vector<std::string>> groups(4);
  for (const Event& e : events) groups[GroupOf(e)].push_back(Line(t, e));
  for (auto& g : groups) std::sort(g.begin(), g.end());
  return groups;
}

// True when both have the same events in each group; otherwise says which
// events are found by one side only.
inline ::testing::AssertionResult SameGroups(const TempDir& t,
                                             const std::vector<Event>& got,
                                             const std::vector<Event>& want) {
  const auto a = Groups(t, got);
  const auto b = Groups(t, want);
  if (a == b) return ::testing::AssertionSuccess();
  auto failure = ::testing::AssertionFailure();
  for (size_t g = 0; g < a.size(); ++g) {
    std::vector<std::string> onlyGot, onlyWant;
    std::set_difference(a[g].begin(), a[g].end(), b[g].begin(), b[g].end(),
                        std::back_inserter(onlyGot));
    std::set_difference(b[g].begin(), b[g].end(), a[g].begin(), a[g].end(),
                        std::back_inserter(onlyWant));
    for (const std::string& e : onlyGot) failure << "\n  unexpected: " << e;
    for (const std::string& e : onlyWant) failure << "\n  missing:    " << e;
  }
  return failure;
}

// The groups must come in their order.
inline void ExpectGroupsInOrder(const std::vector<Event>& events) {
  int last = 0;
  for (const Event& e : events) {
    EXPECT_GE(GroupOf(e), last) << String(e.Op) << " " << e.Path;
    last = GroupOf(e);
  }
}

// Makes random trees and random edits of them.
class Editor {
 public:
  Editor(const std::string& root, uint32_t seed) : root_(root), rng_(seed) {}

  // Keeps `dir` (and so its parents) from being removed or replaced.
  void Protect(const std::string& dir) { protected_.push_back(dir); }

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
        if (auto f = AnyFile()) Rename(*f, std::filesystem::path(*f).parent_path());
        return;
      case 5:
        if (auto f = AnyFile(); f && !Dirs().empty()) {
          Rename(*f, Dirs()[Pick(Dirs().size())]);
        }
        return;
      case 6:
        if (auto f = AnyFile()) std::filesystem::remove(*f);
        return;
      case 7:
        if (auto d = AnyDir()) std::filesystem::remove_all(*d);
        return;
      case 8:
        if (auto d = AnyDir()) {  // a folder replaced by a file
          std::filesystem::remove_all(*d);
          WriteFile(*d, "was a folder");
        }
        return;
      case 9:
        if (auto f = AnyFile()) {  // a file replaced by a folder
          std::filesystem::remove(*f);
          std::filesystem::create_directory(*f);
          WriteFile(*f + "/inside.js");
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
    for (const auto& e : std::filesystem::recursive_directory_iterator(root_)) {
      if (e.is_directory() && !e.is_symlink()) out.push_back(e.path());
    }
    return out;
  }
  std::optional<std::string> AnyFile() {
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root_)) {
      if (e.is_regular_file() && !e.is_symlink()) files.push_back(e.path());
    }
    if (files.empty()) return std::nullopt;
    return files[Pick(files.size())];
  }
  std::optional<std::string> AnyDir() {
    std::vector<std::string> dirs = Dirs();
    dirs.erase(dirs.begin());  // never the root
    std::erase_if(dirs, [&](const std::string& d) {
      return std::any_of(protected_.begin(), protected_.end(),
                         [&](const std::string& p) {
                           return p == d || p.starts_with(d + "/");
                         });
    });
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
    if (std::filesystem::exists(std::filesystem::symlink_status(path))) return;
    switch (Pick(6)) {
      case 0:
      case 1:
        std::filesystem::create_directory(path);
        return;
      case 2:
        std::filesystem::create_symlink(dir, path);  // a link to a folder: never entered
        return;
      default:
        WriteFile(path, std::string(Pick(5), 'x'));
    }
  }
  void Append(const std::string& path) {
    std::ofstream(path, std::ios::app) << "more";
  }
  void Rename(const std::string& from, const std::string& toDir) {
    const std::string to = toDir + "/r" + std::to_string(Pick(1000)) + ".js";
    if (!std::filesystem::exists(std::filesystem::symlink_status(to))) std::filesystem::rename(from, to);
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
  std::vector<std::string> protected_;
};

}  // namespace watcher::test

#endif  // ZORVANE_WATCHER_EDIT_TEST_UTIL_H_
