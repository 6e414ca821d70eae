// The watched roots through the built executable: roots that are links,
// that go missing and come back or appear late, saves within one timestamp
// tick, and entries written relative to the working directory.
//
// As in the other watch tests, a check that a change starts no run ends
// with a sentinel change that must start one. Where a stray change and the
// sentinel may fall into one cycle, the stray one is a write and the
// sentinel a creation: writes are delivered first, so a fault shows however
// the two are split between cycles.

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "controller/e2e_util.h"
#include "controller/watch_e2e_fixture.h"

namespace controller::e2e {
namespace {

namespace fs = std::filesystem;

const std::string kDeleted =
    "[Warning] An error occured in the watcher error: watched file or folder "
    "deleted\n";

// Makes the directory `dir` holding the file `file`, and renames it to
// `dest`: a cycle sees all of it or nothing.
void PutTree(const fs::path& dir, const std::string& file,
             const fs::path& dest) {
  fs::create_directories(dir);
  Touch(dir / file);
  fs::rename(dir, dest);
}

// The number of threads of the controller started as `spawned` (under
// unshare, the controller is its only child); -1 when it cannot be read.
int ThreadCount(pid_t spawned) {
  const auto read = [](const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  };
  const std::string self = std::to_string(spawned);
  std::string pid = self;
  if (read("/proc/" + self + "/comm") == "unshare\n") {
    std::istringstream(read("/proc/" + self + "/task/" + self + "/children")) >>
        pid;
  }
  const std::string status = read("/proc/" + pid + "/status");
  const auto at = status.find("\nThreads:");
  return at == std::string::npos ? -1 : std::atoi(status.c_str() + at + 9);
}

class RootsTest : public WatchFixture {
 protected:
  void SetUp() override {
    MakeTree({"src/app.js", "src/sentinel.js", "out/gen.js"});
  }
  void TearDown() override {
    WatchFixture::TearDown();
    fs::remove(link());
  }

  // A symbolic link to the test's directory, beside it.
  fs::path link() const { return root_.string() + ".link"; }
};

TEST_F(RootsTest, EditsThroughALinkedRootStartRuns) {
  fs::create_directories(root_ / "workspace");
  fs::rename(root_ / "src", root_ / "workspace/app");
  fs::create_directory_symlink(root_ / "workspace/app", root_ / "app");
  env_["ZORVANE_WATCH_DIR"] = (root_ / "app").string();
  Controller& c = Start();
  Touch(root_ / "workspace/app/app.js");
  EXPECT_TRUE(
      c.WaitForText("Full path is:  " + (root_ / "app/app.js").string() + "\n"))
      << c.err();
  EXPECT_TRUE(WaitForRuns(1)) << c.err();
  EXPECT_EQ(Count(c.err(), "Watched directory does not exist"), 0) << c.err();
}

TEST_F(RootsTest, RootMovedAwayAndRecreatedIsWatchedAgain) {
  const fs::path src = root_ / "src";
  Controller& c = Start();
  fs::rename(src, root_ / "src.old");
  ASSERT_TRUE(c.WaitForText(kDeleted)) << c.err();
  fs::create_directory(src);
  ASSERT_TRUE(c.WaitForText("] Watching again: " + src.string() + "\n"))
      << c.err();
  // What the log says from here on is about the recreated root.
  const size_t mark = c.err().size();
  Create(src / "app.js");
  EXPECT_TRUE(WaitForRunOf((src / "app.js").string(), mark)) << c.err();
  EXPECT_EQ(Count(c.err(), kDeleted), 1) << c.err();
}

TEST_F(RootsTest, ReturningRootStartsExactlyOneRun) {
  // Nothing in it matches when it goes, so its going starts no run.
  const fs::path back = root_ / "back";
  fs::create_directories(back);
  Touch(back / "notes.txt");
  env_["ZORVANE_WATCH_DIR"] = back.string();
  Controller& c = Start();
  fs::rename(back, root_ / "back.old");
  ASSERT_TRUE(c.WaitForText(kDeleted)) << c.err();
  PutTree(root_ / "back.new", "lib.js", back);
  ASSERT_TRUE(c.WaitForText("] Watching again: " + back.string() + "\n"))
      << c.err();
  ASSERT_TRUE(WaitForRuns(1)) << c.err();
  // A second run for what came back would start before this one.
  Create(back / "new.js");
  ASSERT_TRUE(WaitForRunOf((back / "new.js").string())) << c.err();
  EXPECT_EQ(Count(c.err(), kRunLine), 2) << c.err();
}

TEST_F(RootsTest, RootMadeByThePreparationCommandIsWatchedWithoutARun) {
  // The preparation command makes the root only once the controller has
  // warned that it is missing.
  env_["ZORVANE_PREP"] =
      "while [ ! -e go ]; do sleep 0.05; done; mkdir late.new && "
      "touch late.new/app.js && mv late.new late";
  env_["ZORVANE_WATCH_DIR"] = "late";
  const std::string late = (root_ / "late").string();
  Controller& c = Start();
  ASSERT_TRUE(
      c.WaitForText("[Warning] Watched directory does not exist: " + late +
                    "stat " + late + ": no such file or directory\n"))
      << c.err();
  std::ofstream(root_ / "go").flush();
  ASSERT_TRUE(c.WaitForText("] Watching: " + late + "\n")) << c.err();
  // The cycle that found it has walked it: a change now falls in a later
  // cycle, and a run for what the root held would start before its run.
  Create(root_ / "late/new.js");
  ASSERT_TRUE(WaitForRunOf(late + "/new.js")) << c.err();
  EXPECT_EQ(Count(c.err(), kRunLine), 1) << c.err();
}

TEST_F(RootsTest, FlappingRootKeepsTheThreadCount) {
  // A root holding nothing that matches: its returns start no runs.
  WatchAlso("flap", "notes.txt");
  Controller& c = Start();
  // Every thread that lasts runs once the server has started (the reaper
  // starts with the first child); nothing else starts one while the root
  // holds nothing that matches.
  ASSERT_TRUE(c.WaitForText("[Debug] Started Server process\n")) << c.err();
  const int before = ThreadCount(c.pid());
  ASSERT_GT(before, 0);
  const std::string again =
      "] Watching again: " + (root_ / "flap").string() + "\n";
  for (int flap = 1; flap <= 5; ++flap) {
    fs::rename(root_ / "flap", root_ / "flap.old");
    ASSERT_TRUE(WaitForCount(kDeleted, flap)) << c.err();
    fs::rename(root_ / "flap.old", root_ / "flap");
    ASSERT_TRUE(WaitForCount(again, flap)) << c.err();
  }
  EXPECT_EQ(ThreadCount(c.pid()), before);
  Touch(root_ / "src/app.js");
  ASSERT_TRUE(WaitForRuns(1)) << c.err();
}

TEST_F(RootsTest, SaveWithinOneTimestampTickStartsARun) {
  Controller& c = Start();
  const fs::path app = root_ / "src/app.js";
  struct stat before;
  ASSERT_EQ(::stat(app.c_str(), &before), 0);
  // A formatter rewrites the file at once: longer, with the same time. A
  // cycle that saw it half done would see a new time.
  ASSERT_TRUE(c.BetweenCycles([&] {
    std::ofstream(app) << "const formatted = true;\n";
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, app.c_str(), times, 0), 0);
  }));
  EXPECT_TRUE(c.WaitForText("Full path is:  " + app.string() + "\n"))
      << c.err();
  EXPECT_TRUE(WaitForRuns(1)) << c.err();
}

TEST_F(RootsTest, StraySeparatorDoesNotWatchTheWorkingDirectory) {
  env_["ZORVANE_WATCH_DIR"] = "src;";
  Touch(root_ / "top.js");
  Controller& c = Start();
  EXPECT_TRUE(c.WaitForText("[Debug] Skipping an empty watch entry\n"))
      << c.err();
  Touch(root_ / "top.js");
  Create(root_ / "src/new.js");
  ASSERT_TRUE(WaitForRunOf((root_ / "src/new.js").string())) << c.err();
  EXPECT_EQ(Count(c.err(), "top.js"), 0) << c.err();
  EXPECT_EQ(Count(c.err(), "Watched directory does not exist"), 0) << c.err();
}

TEST_F(RootsTest, RelativeIgnoreEntriesIgnore) {
  // As written from the test's directory, and through a linked working
  // directory, where relative entries name paths through the link.
  fs::create_directory_symlink(root_, link());
  struct Case {
    const char* name;
    fs::path cwd;
    std::string watch;
  } cases[] = {
      {"plain", root_, root_.string()},
      {"linked working directory", link(), "src;out"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    env_["ZORVANE_WATCH_DIR"] = k.watch;
    env_["ZORVANE_WATCH_IGNORE_DIR"] = "out";
    fs::remove(root_ / "src/new.js");
    Controller& c = Start(k.cwd);
    Touch(root_ / "out/gen.js");
    Create(root_ / "src/new.js");
    ASSERT_TRUE(WaitForRunOf((k.cwd / "src/new.js").string())) << c.err();
    // The first cycle may show it as removed (the snapshot taken at start
    // is unfiltered), but it is never taken for a change.
    EXPECT_EQ(Count(c.err(), "Matching for:  gen.js"), 0) << c.err();
    EXPECT_EQ(Count(c.err(), kRunLine), 1) << c.err();
  }
}

}  // namespace
}  // namespace controller::e2e
