#include "bench/floor_walk.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "testsupport/temp_dir.h"

namespace bench {
namespace {

using testsupport::TempDir;
using testsupport::WriteFile;

// A fixed time long past: the coarse clock of file times could otherwise
// give an edit the same time as the tree it edits.
constexpr timespec kOld = {1000000000, 0};

void SetTime(const std::string& path, timespec t) {
  const timespec times[2] = {t, t};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0)
      << path;
}

// a/x.js a/y.js a/sub/z.js b/w.js: seven entries, all of them old.
void MakeTree(const TempDir& t) {
  for (const char* d : {"a", "a/sub", "b"}) mkdir((t / d).c_str(), 0755);
  for (const char* f : {"a/x.js", "a/y.js", "a/sub/z.js", "b/w.js"}) {
    WriteFile(t / f, f);
  }
  for (const auto& e :
       std::filesystem::recursive_directory_iterator(t.path())) {
    SetTime(e.path(), kOld);
  }
}

struct Counts {
  int64_t created, changed, removed;
  bool operator==(const Counts&) const = default;
};

void PrintTo(const Counts& c, std::ostream* os) {
  *os << "{created " << c.created << ", changed " << c.changed << ", removed "
      << c.removed << "}";
}

class FloorWalkTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(FloorInit(&w_), 0); }
  void TearDown() override { FloorFree(&w_); }

  Counts Cycle() {
    FloorCounts c;
    EXPECT_EQ(FloorCycle(&w_, t_.path().c_str(), &c), 0);
    entries_ = c.entries;
    return {c.created, c.changed, c.removed};
  }

  TempDir t_;
  FloorWalker w_;
  int64_t entries_ = 0;
};

TEST_F(FloorWalkTest, FirstCycleCreatesAllThenQuiet) {
  MakeTree(t_);
  EXPECT_EQ(Cycle(), (Counts{7, 0, 0}));
  EXPECT_EQ(entries_, 7);
  EXPECT_EQ(Cycle(), (Counts{0, 0, 0}));
  EXPECT_EQ(Cycle(), (Counts{0, 0, 0}));
}

TEST_F(FloorWalkTest, Edits) {
  const struct {
    const char* name;
    std::function<void(const TempDir&)> edit;
    Counts want;
    int64_t entries;  // after the edit
  } cases[] = {
      {"content grows",
       [](const TempDir& t) { WriteFile(t / "a/x.js", "a longer text"); },
       {0, 1, 0},
       7},
      {"time alone",
       [](const TempDir& t) {
         SetTime(t / "b/w.js", {2000000000, 5});
       },
       {0, 1, 0},
       7},
      // Same size and time, another inode: only the inode tells the file,
      // and the folder's time tells the rename.
      {"replaced in place",
       [](const TempDir& t) {
         WriteFile(t / "a/x.tmp", "a/x.js");
         SetTime(t / "a/x.tmp", kOld);
         rename((t / "a/x.tmp").c_str(), (t / "a/x.js").c_str());
       },
       {0, 2, 0},
       7},
      {"created",
       [](const TempDir& t) { WriteFile(t / "a/sub/new.js"); },
       {1, 1, 0},
       8},
      {"removed",
       [](const TempDir& t) { unlink((t / "b/w.js").c_str()); },
       {0, 1, 1},
       6},
      {"folder removed",
       [](const TempDir& t) { std::filesystem::remove_all(t / "a/sub"); },
       {0, 1, 2},
       5},
      {"renamed within a folder",
       [](const TempDir& t) {
         rename((t / "a/y.js").c_str(), (t / "a/y2.js").c_str());
       },
       {1, 1, 1},
       7},
      {"moved across folders",
       [](const TempDir& t) {
         rename((t / "a/y.js").c_str(), (t / "b/y.js").c_str());
       },
       {1, 2, 1},
       7},
      // The path stays, its record changes; what was inside is gone.
      {"folder replaced by a file",
       [](const TempDir& t) {
         std::filesystem::remove_all(t / "a/sub");
         WriteFile(t / "a/sub");
       },
       {0, 2, 1},
       6},
      // Not followed: the link is one entry, whatever it points at.
      {"link to a folder",
       [](const TempDir& t) {
         symlink((t / "a").c_str(), (t / "b/ln").c_str());
       },
       {1, 1, 0},
       8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir t;
    MakeTree(t);
    FloorWalker w;
    ASSERT_EQ(FloorInit(&w), 0);
    FloorCounts got;
    ASSERT_EQ(FloorCycle(&w, t.path().c_str(), &got), 0);
    c.edit(t);
    ASSERT_EQ(FloorCycle(&w, t.path().c_str(), &got), 0);
    EXPECT_EQ((Counts{got.created, got.changed, got.removed}), c.want);
    EXPECT_EQ(got.entries, c.entries);
    // The change is reported once.
    ASSERT_EQ(FloorCycle(&w, t.path().c_str(), &got), 0);
    EXPECT_EQ((Counts{got.created, got.changed, got.removed}),
              (Counts{0, 0, 0}));
    FloorFree(&w);
  }
}

// Past the first table size, while a walk is under way, and back.
TEST_F(FloorWalkTest, GrowsAndShrinks) {
  MakeTree(t_);
  Cycle();
  mkdir((t_ / "many").c_str(), 0755);
  for (int i = 0; i < 3000; ++i) WriteFile(t_ / ("many/f" + std::to_string(i)));
  SetTime(t_ / "many", kOld);
  EXPECT_EQ(Cycle(), (Counts{3001, 0, 0}));
  EXPECT_EQ(entries_, 3008);
  EXPECT_EQ(Cycle(), (Counts{0, 0, 0}));
  // Removing some leaves the others' records findable.
  for (int i = 0; i < 3000; i += 2) {
    unlink((t_ / ("many/f" + std::to_string(i))).c_str());
  }
  EXPECT_EQ(Cycle(), (Counts{0, 1, 1500}));
  WriteFile(t_ / "many/f1", "changed");
  EXPECT_EQ(Cycle(), (Counts{0, 1, 0}));
}

TEST_F(FloorWalkTest, MissingRootIsAnError) {
  FloorCounts c;
  EXPECT_EQ(FloorCycle(&w_, (t_ / "absent").c_str(), &c), ENOENT);
  WriteFile(t_ / "file");
  EXPECT_EQ(FloorCycle(&w_, (t_ / "file").c_str(), &c), ENOTDIR);
}

}  // namespace
}  // namespace bench
