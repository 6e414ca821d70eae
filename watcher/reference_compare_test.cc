#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "watcher/reference.h"
#include "watcher/test_util.h"

namespace watcher {
namespace {

using test::TempDir;
using test::WriteFile;

int Group(const std::string& event) {
  const std::string op = event.substr(0, event.find(' '));
  if (op == "WRITE" || op == "CHMOD") return 0;
  if (op == "RENAME" || op == "MOVE") return 1;
  return op == "CREATE" ? 2 : 3;
}

// Events come group by group, a path's Write before its Chmod; the order
// within a group is free.
void ExpectEvents(std::vector<std::string> got, std::vector<std::string> want) {
  for (size_t i = 1; i < got.size(); ++i) {
    EXPECT_LE(Group(got[i - 1]), Group(got[i])) << got[i - 1] << ", " << got[i];
    if (got[i].starts_with("WRITE ")) {
      EXPECT_EQ(
          std::find(got.begin(), got.begin() + i, "CHMOD " + got[i].substr(6)),
          got.begin() + i)
          << got[i] << " after its CHMOD";
    }
  }
  std::sort(got.begin(), got.end());
  std::sort(want.begin(), want.end());
  EXPECT_EQ(got, want);
}

Listing Snapshot(const std::string& root) {
  const std::vector<FilterFileHookFunc> hooks;
  const std::unordered_set<std::string> ignored;
  Listing out;
  std::vector<Status> unreadable;
  EXPECT_TRUE(listRecursive(root, {&hooks, &ignored}, &out, &unreadable).ok());
  return out;
}

TEST(CompareListingsTest, EventsAndTheirOrder) {
  using Step = std::function<void(const TempDir&)>;
  const auto file = [](const char* rel) -> Step {
    return [=](const TempDir& t) { WriteFile(t / rel); };
  };
  const auto mv = [](const char* from, const char* to) -> Step {
    return [=](auto& t) { rename((t / from).c_str(), (t / to).c_str()); };
  };
  const auto dirWith = [](const char* dir, const char* rel) -> Step {
    return [=](auto& t) {
      mkdir((t / dir).c_str(), 0755);
      WriteFile(t / rel);
    };
  };
  const Step chmodF = [](auto& t) { chmod((t / "f").c_str(), 0600); };
  struct Case {
    const char* name;
    Step setup, change;
    std::vector<std::string> want;
  } cases[] = {
      {"write", file("f"), file("f"), {"WRITE f"}},
      {"chmod", file("f"), chmodF, {"CHMOD f"}},
      {"write and chmod",
       file("f"),
       [&](auto& t) {
         chmodF(t);
         WriteFile(t / "f");
       },
       {"WRITE f", "CHMOD f"}},
      // Saved again within one timestamp tick: the time is the same.
      {"longer save, same time",
       file("f"),
       [](auto& t) {
         WriteFile(t / "f", "longer");
         test::AgeTree(t.path());
       },
       {"WRITE f"}},
      {"replaced, same time and size",
       file("f"),
       [](auto& t) {
         WriteFile(t / "f.new", "y");
         rename((t / "f.new").c_str(), (t / "f").c_str());
         test::AgeTree(t.path());
       },
       {"WRITE f"}},
      {"same time, size and file",
       file("f"),
       [](auto& t) {
         WriteFile(t / "f", "y");
         test::AgeTree(t.path());
       },
       {}},
      {"create", nullptr, file("new"), {"WRITE .", "CREATE new"}},
      {"remove",
       file("f"),
       [](auto& t) { unlink((t / "f").c_str()); },
       {"WRITE .", "REMOVE f"}},
      {"rename", file("a"), mv("a", "b"), {"WRITE .", "RENAME a -> b"}},
      {"move",
       [&](auto& t) {
         dirWith("d1", "d1/a")(t);
         mkdir((t / "d2").c_str(), 0755);
       },
       mv("d1/a", "d2/a"),
       {"WRITE d1", "WRITE d2", "MOVE d1/a -> d2/a"}},
      {"renamed directory",
       dirWith("d", "d/x"),
       mv("d", "e"),
       {"WRITE .", "RENAME d -> e", "MOVE d/x -> e/x"}},
      {"hard links",
       file("a"),
       [](auto& t) {
         link((t / "a").c_str(), (t / "b").c_str());
         link((t / "a").c_str(), (t / "c").c_str());
         unlink((t / "a").c_str());
       },
       {"WRITE .", "RENAME a -> b", "RENAME a -> c"}},
      {"delete and recreate",
       file("f"),
       [&](auto& t) {
         unlink((t / "f").c_str());
         WriteFile(t / "f");
         chmodF(t);
       },
       {"WRITE .", "WRITE f", "CHMOD f"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir t;
    if (c.setup) c.setup(t);
    test::AgeTree(t.path());
    const Listing before = Snapshot(t.path());
    c.change(t);
    std::vector<std::string> got;
    compareListings(before, Snapshot(t.path()), [&](const Event& e) {
      got.push_back(std::string(String(e.Op)) + " " + t.Rel(e.Path));
      return true;
    });
    ExpectEvents(got, c.want);
  }
}

}  // namespace
}  // namespace watcher
