// Fuzzes the snapshot walk and the comparison: the input is a program of
// file-system edits on a small tree, walked after every few edits.
// Properties, for every cycle:
//   - every path listed before or now ends in exactly one outcome:
//     unchanged, written (Write and/or Chmod), renamed or moved away,
//     renamed or moved to, created, or removed;
//   - the events are exactly those of the reference comparison of two
//     full listings, in the promised group order;
//   - the snapshot afterwards lists exactly what a fresh listing does.
// The tree lives on /dev/shm when it can, so that a run costs no disk.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "watcher/reference.h"
#include "watcher/snapshot.h"

namespace watcher {
namespace {

namespace fs = std::filesystem;

// The program's names: few, so that edits meet earlier ones.
constexpr const char* kNames[] = {"a.js", "b", "c.txt", "d", "e.js", ".h"};

std::string MakeRoot() {
  static std::string root = [] {
    std::string base = fs::exists("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string tmpl = base + "/compare_fuzz.XXXXXX";
    const char* made = ::mkdtemp(tmpl.data());
    FUZZ_CHECK(made != nullptr, "cannot make a directory in %s", base.c_str());
    return std::string(made);
  }();
  return root;
}

// A path below the root from two bytes: a directory depth and a name.
std::string PathOf(const std::string& root, uint8_t a, uint8_t b) {
  std::string path = root;
  const int depth = a % 3;
  for (int i = 0; i < depth; ++i) {
    path += "/";
    path += kNames[(a / 3 + i) % std::size(kNames)];
  }
  path += "/";
  path += kNames[b % std::size(kNames)];
  return path;
}

// Applies one edit; failures (a parent missing, a name taken) are part of
// the game.
void Edit(const std::string& root, uint8_t op, uint8_t a, uint8_t b,
          uint8_t c) {
  const std::string path = PathOf(root, a, b);
  const std::string other = PathOf(root, c, static_cast<uint8_t>(a ^ b));
  std::error_code ec;
  switch (op % 10) {
    case 0: {  // create or append
      const int fd =
          ::open(path.c_str(),
                 O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644);
      if (fd >= 0) {
        (void)!::write(fd, "xyz", 1 + c % 3);
        ::close(fd);
      }
      break;
    }
    case 1:
      fs::create_directory(path, ec);
      break;
    case 2:
      ::chmod(path.c_str(), c % 2 ? 0600 : 0755);
      break;
    case 3:
      fs::rename(path, other, ec);
      break;
    case 4:
      fs::remove(path, ec);
      break;
    case 5:
      fs::remove_all(path, ec);
      break;
    case 6:
      fs::create_symlink(other, path, ec);
      break;
    case 7: {  // a second save within one timestamp tick
      struct stat st;
      if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd >= 0) {
          (void)!::write(fd, "yy", 2);
          ::close(fd);
        }
        const timespec times[2] = {st.st_atim, st.st_mtim};
        ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
      }
      break;
    }
    case 8: {  // replaced by a new file at the same path
      fs::remove_all(path, ec);
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      if (fd >= 0) ::close(fd);
      break;
    }
    case 9:  // a whole folder replaced
      fs::remove_all(path, ec);
      fs::create_directory(path, ec);
      break;
  }
}

// The filters of one run, chosen by the input's first byte.
struct Filters {
  std::vector<FilterHook> snapshot;
  std::vector<FilterFileHookFunc> reference;
};

Filters FiltersFor(uint8_t choice, const std::string& root) {
  Filters f;
  const std::string left = root + "/d";
  switch (choice % 4) {
    case 0:
      break;
    case 1: {  // names ending in .js, by name
      const auto js = [](std::string_view name) {
        return name.size() >= 3 && name.substr(name.size() - 3) == ".js";
      };
      f.snapshot.push_back(
          {[js](std::string_view name, const std::string&, bool) {
             return js(name) ? Status() : ErrSkip;
           },
           nullptr});
      f.reference.push_back([js](const FileInfo& fi, const std::string&) {
        return js(fi.name) ? Status() : ErrSkip;
      });
      break;
    }
    case 2: {  // a folder left out for good, and files by their status
      f.snapshot.push_back(
          {[left](std::string_view, const std::string& p, bool isDir) {
             if (p == left || p.starts_with(left + "/")) {
               return isDir ? ErrSkipDir : ErrSkip;
             }
             return Status();
           },
           nullptr});
      const auto small = [](const FileInfo& fi, const std::string&) {
        return fi.IsDir() || fi.size < 3 ? Status() : ErrSkip;
      };
      f.snapshot.push_back({nullptr, small});
      f.reference.push_back([left](const FileInfo&, const std::string& p) {
        return p == left || p.starts_with(left + "/") ? ErrSkip : Status();
      });
      f.reference.push_back(small);
      break;
    }
    case 3: {  // hidden names left out, files only
      const auto visible = [](std::string_view name, bool isDir) {
        return isDir || name.empty() || name[0] != '.';
      };
      f.snapshot.push_back(
          {[visible](std::string_view name, const std::string&, bool isDir) {
             return visible(name, isDir) ? Status() : ErrSkip;
           },
           nullptr});
      f.reference.push_back([visible](const FileInfo& fi, const std::string&) {
        return visible(fi.name, fi.IsDir()) ? Status() : ErrSkip;
      });
      break;
    }
  }
  return f;
}

std::string Key(const Event& e) {
  return std::string(String(e.Op)) + " " + e.Path + " " +
         std::to_string(e.FileInfo ? e.FileInfo->size : -1) + " " +
         std::to_string(e.FileInfo ? e.FileInfo->mode : 0);
}

int GroupOf(Op op) {
  switch (op) {
    case Op::Write:
    case Op::Chmod:
      return 0;
    case Op::Rename:
    case Op::Move:
      return 1;
    case Op::Create:
      return 2;
    default:
      return 3;
  }
}

void CheckCycle(const Listing& before, const Listing& after,
                const std::vector<Event>& got, const std::vector<Event>& want) {
  // The promised order of the groups.
  for (size_t i = 1; i < got.size(); ++i) {
    FUZZ_CHECK(GroupOf(got[i - 1].Op) <= GroupOf(got[i].Op), "%s before %s",
               Key(got[i - 1]).c_str(), Key(got[i]).c_str());
  }
  // The same events as the reference, group by group.
  std::vector<std::multiset<std::string>> g(4), w(4);
  for (const Event& e : got) g[GroupOf(e.Op)].insert(Key(e));
  for (const Event& e : want) w[GroupOf(e.Op)].insert(Key(e));
  for (int i = 0; i < 4; ++i) {
    FUZZ_CHECK(g[i] == w[i], "group %d differs: %zu events, reference %zu", i,
               g[i].size(), w[i].size());
  }
  // Every path listed before or now has exactly one outcome.
  std::map<std::string, std::set<std::string>> outcomes;
  for (const Event& e : got) {
    const auto arrow = e.Path.find(" -> ");
    const bool paired = e.Op == Op::Rename || e.Op == Op::Move;
    FUZZ_CHECK(paired ? e.Path.ends_with(" -> " + e.NewPath) &&
                            e.NewPath.starts_with('/')
                      : e.NewPath.empty(),
               "%s: new path \"%s\"", Key(e).c_str(), e.NewPath.c_str());
    if (arrow != std::string::npos) {
      outcomes[e.Path.substr(0, arrow)].insert("away");
      outcomes[e.Path.substr(arrow + 4)].insert("to");
    } else if (e.Op == Op::Write || e.Op == Op::Chmod) {
      outcomes[e.Path].insert("written");
    } else {
      outcomes[e.Path].insert(std::string(String(e.Op)));
    }
  }
  std::set<std::string> paths;
  for (const auto& [p, fi] : before) paths.insert(p);
  for (const auto& [p, fi] : after) paths.insert(p);
  for (const std::string& p : paths) {
    const auto it = outcomes.find(p);
    const bool wasThere = before.contains(p), isThere = after.contains(p);
    if (it == outcomes.end()) {
      FUZZ_CHECK(wasThere && isThere, "%s came or went unreported", p.c_str());
      continue;
    }
    FUZZ_CHECK(it->second.size() == 1, "%s has %zu outcomes", p.c_str(),
               it->second.size());
    const std::string& o = *it->second.begin();
    const bool fits = o == "written"                 ? wasThere && isThere
                      : o == "away" || o == "REMOVE" ? wasThere && !isThere
                                                     : !wasThere && isThere;
    FUZZ_CHECK(fits, "%s: %s, listed before %d, now %d", p.c_str(), o.c_str(),
               wasThere, isThere);
  }
  for (const auto& [p, o] : outcomes) {
    FUZZ_CHECK(paths.contains(p), "an event for %s, never listed", p.c_str());
  }
}

}  // namespace
}  // namespace watcher

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace watcher;
  if (size < 1 || size > 400) return 0;
  const std::string root = MakeRoot();
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(root, ec)) {
    fs::remove_all(e.path(), ec);
  }
  const Filters filters = FiltersFor(data[0], root);
  // The first walk without filters, as the watcher's first snapshot is
  // recorded before the filters are added.
  const std::vector<FilterHook> none;
  const std::vector<FilterFileHookFunc> noneRef;
  TreeSnapshot tree(root);
  std::vector<Status> unreadable;
  FUZZ_CHECK(tree.Walk({&none, 1}, nullptr, &unreadable).ok(),
             "first walk");
  Listing before;
  FUZZ_CHECK(
      listRecursive(root, {&noneRef, nullptr, false}, &before, &unreadable)
          .ok(),
      "first listing");

  // Four bytes an edit; a zero op byte ends a cycle.
  size_t at = 1;
  while (at < size) {
    while (at + 4 <= size && data[at] != 0) {
      Edit(root, data[at], data[at + 1], data[at + 2], data[at + 3]);
      at += 4;
    }
    at += 1;
    Changes changes;
    const Status s = tree.Walk({&filters.snapshot, 2}, &changes,
                               &unreadable);
    FUZZ_CHECK(s.ok(), "walk: %s", s.Error().c_str());
    std::vector<Event> got;
    emitChanges(changes, [&](Event e) {
      got.push_back(std::move(e));
      return true;
    });
    Listing after;
    FUZZ_CHECK(listRecursive(root, {&filters.reference, nullptr, false}, &after,
                             &unreadable)
                   .ok(),
               "listing");
    std::vector<Event> want;
    compareListings(before, after, [&](Event e) {
      want.push_back(std::move(e));
      return true;
    });
    CheckCycle(before, after, got, want);
    Listing kept;
    tree.Collect(&kept);
    FUZZ_CHECK(kept.size() == after.size(), "snapshot holds %zu, listing %zu",
               kept.size(), after.size());
    for (const auto& [p, fi] : after) {
      FUZZ_CHECK(kept.contains(p), "%s missing from the snapshot", p.c_str());
    }
    before = std::move(after);
  }
  FUZZ_CHECK(unreadable.empty(), "%s", unreadable.front().Error().c_str());
  return 0;
}
