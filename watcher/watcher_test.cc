#include "watcher/watcher.h"

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "watcher/test_util.h"

namespace watcher {
namespace {

using namespace std::chrono_literals;
using test::Describe;
using test::Next;
using test::Running;
using test::TempDir;
using test::WriteFile;

TEST(WatcherTest, StartAndCloseLifecycle) {
  TempDir t;
  test::AgeTree(t.path());
  auto w = New();
  w->Close();  // Not running: nothing happens.
  for (auto d : {0ns, -1ns}) EXPECT_EQ(w->Start(d), ErrDurationTooShort);

  ASSERT_TRUE(w->AddRecursive(t.path()).ok());
  WriteFile(t / "f");  // Seen by the first cycle, which runs at once.
  Running run(w, 1ns);
  ASSERT_EQ(Describe(t, Next(*w)), "WRITE .");
  EXPECT_EQ(w->Start(1ms), ErrWatcherRunning);
  EXPECT_EQ(Describe(t, Next(*w)), "CREATE f");

  EXPECT_TRUE(run.Stop().ok());
  EXPECT_TRUE(std::holds_alternative<Closed>(w->Receive()));
  EXPECT_TRUE(WatcherPeer::Names(*w).empty());
  w->Close();
  EXPECT_EQ(w->Start(1ms), ErrWatcherClosed);
}

TEST(WatcherTest, MaxEventsDropsTheRestOfTheCycle) {
  TempDir t;
  WriteFile(t / "later");
  test::AgeTree(t.path());
  auto w = New();
  ASSERT_TRUE(w->AddRecursive(t.path()).ok());
  w->SetMaxEvents(1);
  WriteFile(t / "a");
  WriteFile(t / "b");  // WRITE ., CREATE a, CREATE b: one gets through.
  Running run(w, 1ms);
  EXPECT_EQ(Describe(t, Next(*w)), "WRITE .");
  WriteFile(t / "later", "new");
  EXPECT_EQ(Describe(t, Next(*w)), "WRITE later");
}

// A tree `dir` holding the file `dir`/f, made whole and then renamed into
// place, so that a cycle sees all of it or nothing.
void PutTree(const TempDir& t, const std::string& dir) {
  mkdir((t / dir + ".new").c_str(), 0755);
  WriteFile(t / dir + ".new/f");
  ASSERT_EQ(rename((t / dir + ".new").c_str(), (t / dir).c_str()), 0);
}

TEST(WatcherTest, VanishedRootIsReportedOnceAndWatchedWhenBack) {
  TempDir t;
  for (const char* dir : {"gone", "kept"}) {
    mkdir((t / dir).c_str(), 0755);
    WriteFile(t / dir + "/f");
  }
  test::AgeTree(t.path());
  auto w = New();
  ASSERT_TRUE(w->AddRecursive(t / "gone").ok());
  ASSERT_TRUE(w->AddRecursive(t / "kept").ok());
  ASSERT_EQ(rename((t / "gone").c_str(), (t / "gone.old").c_str()), 0);
  Running run(w, 1ms);
  EXPECT_EQ(Describe(t, Next(*w)), "ERROR " + ErrWatchedFileDeleted.Error());

  // Back with a file: the notice, then its entries as created, once.
  PutTree(t, "gone");
  EXPECT_EQ(Describe(t, Next(*w)), "RETURNED gone");
  EXPECT_EQ(test::NextN(t, *w, 2),
            (std::multiset<std::string>{"CREATE gone", "CREATE gone/f"}));
  WriteFile(t / "kept/f", "new");
  EXPECT_EQ(Describe(t, Next(*w)), "WRITE kept/f");
  EXPECT_EQ(WatcherPeer::Names(*w).count(t / "gone"), 1u);
  EXPECT_TRUE(WatcherPeer::Missing(*w).empty());

  // Moved away and replaced by an empty directory, as a sync tool does.
  ASSERT_EQ(rename((t / "gone").c_str(), (t / "gone.2").c_str()), 0);
  EXPECT_EQ(Describe(t, Next(*w)), "ERROR " + ErrWatchedFileDeleted.Error());
  mkdir((t / "gone.3").c_str(), 0755);
  test::AgeTree(t / "gone.3");  // So that the next entry surely writes it.
  ASSERT_EQ(rename((t / "gone.3").c_str(), (t / "gone").c_str()), 0);
  EXPECT_EQ(Describe(t, Next(*w)), "RETURNED gone");
  EXPECT_EQ(Describe(t, Next(*w)), "CREATE gone");
  WriteFile(t / "gone/later");
  EXPECT_EQ(test::NextN(t, *w, 2),
            (std::multiset<std::string>{"WRITE gone", "CREATE gone/later"}));
}

TEST(WatcherTest, LateRootIsRecordedWithoutEvents) {
  TempDir t;
  mkdir((t / "kept").c_str(), 0755);
  WriteFile(t / "kept/f");
  test::AgeTree(t.path());
  auto w = New();
  ASSERT_TRUE(w->AddRecursive(t / "kept").ok());
  for (const char* late : {"late", "dropped"}) {
    const Status err = w->AddRecursive(t / late);
    EXPECT_EQ(err.Error(),
              "lstat " + (t / late) + ": no such file or directory");
  }
  ASSERT_TRUE(w->RemoveRecursive(t / "dropped").ok());
  EXPECT_EQ(WatcherPeer::Missing(*w),
            (std::map<std::string, bool>{{t / "late", false}}));
  // Recorded with the hooks in force when it appears.
  w->AddFilterHook([](const FileInfo& info, const std::string&) {
    return info.name.ends_with(".png") ? ErrSkip : Status();
  });
  Running run(w, 1ms);

  PutTree(t, "dropped");
  mkdir((t / "late.new").c_str(), 0755);
  WriteFile(t / "late.new/skip.png");
  PutTree(t, "late");
  EXPECT_EQ(Describe(t, Next(*w)), "FOUND late");
  // Nothing of what it held is reported: the next thing seen is elsewhere.
  WriteFile(t / "kept/f", "new");
  EXPECT_EQ(Describe(t, Next(*w)), "WRITE kept/f");
  EXPECT_EQ(t.Rels(WatcherPeer::Files(*w)),
            (std::set<std::string>{"kept", "kept/f", "late", "late/f"}));
  EXPECT_TRUE(WatcherPeer::Missing(*w).empty());
  WriteFile(t / "late/f", "new");
  EXPECT_EQ(Describe(t, Next(*w)), "WRITE late/f");
}

TEST(WatcherTest, FlappingRootKeepsOneEntryEverywhere) {
  TempDir t;
  mkdir((t / "r").c_str(), 0755);
  WriteFile(t / "r/f");
  auto w = New();
  ASSERT_TRUE(w->AddRecursive(t / "r").ok());
  Running run(w, 1ms);
  for (int flap = 0; flap < 200; ++flap) {
    SCOPED_TRACE(flap);
    ASSERT_EQ(rename((t / "r").c_str(), (t / "r.old").c_str()), 0);
    ASSERT_EQ(Describe(t, Next(*w)), "ERROR " + ErrWatchedFileDeleted.Error());
    ASSERT_EQ(rename((t / "r.old").c_str(), (t / "r").c_str()), 0);
    ASSERT_EQ(Describe(t, Next(*w)), "RETURNED r");
    ASSERT_EQ(test::NextN(t, *w, 2),
              (std::multiset<std::string>{"CREATE r", "CREATE r/f"}));
  }
  // One more cycle, so that the last return's listing is stored.
  WriteFile(t / "r/f", "new");
  EXPECT_EQ(Describe(t, Next(*w)), "WRITE r/f");
  EXPECT_EQ(WatcherPeer::Names(*w),
            (std::map<std::string, bool>{{t / "r", true}}));
  EXPECT_TRUE(WatcherPeer::Missing(*w).empty());
  EXPECT_EQ(t.Rels(WatcherPeer::Files(*w)),
            (std::set<std::string>{"r", "r/f"}));
}

TEST(WatcherTest, RootThroughALinkIsWatchedUnderItsName) {
  TempDir t;
  mkdir((t / "real").c_str(), 0755);
  WriteFile(t / "real/f");
  WriteFile(t / "file");
  test::AgeTree(t.path());
  ASSERT_EQ(symlink((t / "real").c_str(), (t / "app").c_str()), 0);
  ASSERT_EQ(symlink((t / "file").c_str(), (t / "one").c_str()), 0);
  auto w = New();
  ASSERT_TRUE(w->AddRecursive(t / "app").ok());
  ASSERT_TRUE(w->AddRecursive(t / "one").ok());
  Running run(w, 1ms);
  WriteFile(t / "real/f", "new");
  EXPECT_EQ(Describe(t, Next(*w)), "WRITE app/f");
  WriteFile(t / "file", "new");
  EXPECT_EQ(Describe(t, Next(*w)), "WRITE one");

  // The link pointed elsewhere: its target's entries come and go.
  mkdir((t / "other").c_str(), 0755);
  WriteFile(t / "other/g");
  ASSERT_EQ(symlink((t / "other").c_str(), (t / "app.new").c_str()), 0);
  ASSERT_EQ(rename((t / "app.new").c_str(), (t / "app").c_str()), 0);
  EXPECT_EQ(test::NextN(t, *w, 3),
            (std::multiset<std::string>{"WRITE app", "CREATE app/g",
                                        "REMOVE app/f"}));
  // Dangling, it is a root gone missing.
  std::filesystem::remove_all(t / "other");
  EXPECT_EQ(Describe(t, Next(*w)), "ERROR " + ErrWatchedFileDeleted.Error());
}

// Close while the loop waits for the consumer to take an event: the loop
// holds no lock then, so Close gets its request in while the delivery is
// pending, and returns once the consumer has drained what was pending.
TEST(WatcherTest, CloseWhileADeliveryIsPending) {
  TempDir t;
  auto w = New();
  ASSERT_TRUE(w->AddRecursive(t.path()).ok());
  for (const char* name : {"a", "b", "c"}) WriteFile(t / name);
  Status result = ErrSkip;
  std::thread loop([&] { result = w->Start(1ms); });
  (void)Next(*w);  // The loop runs, with more events of the cycle to come.
  EXPECT_TRUE(test::WaitFor([&] { return WatcherPeer::DeliveryWaiting(*w); }));
  std::thread closer([&] { w->Close(); });
  // Nobody receives until the request is pending.
  EXPECT_TRUE(test::WaitFor([&] { return WatcherPeer::CloseRequested(*w); }))
      << "Close cannot hand its request over while a delivery waits";
  EXPECT_TRUE(WatcherPeer::DeliveryWaiting(*w));
  while (!std::holds_alternative<Closed>(Next(*w))) {
  }
  closer.join();
  loop.join();
  EXPECT_TRUE(result.ok());
}

// A folder that cannot be read loses its own contents only, and is
// reported when it starts failing, not on every cycle; when it can be read
// again, that is said, and its contents count as new.
TEST(WatcherTest, UnreadableDirectoryIsReportedOnceUntilReadableAgain) {
  TempDir t;
  for (const char* dir : {"locked", "tail"}) {
    mkdir((t / dir).c_str(), 0755);
    WriteFile(t / dir + "/f");
  }
  chmod((t / "tail/f").c_str(), 0666);  // The unprivileged child writes it.
  test::AgeTree(t.path());
  // Its owner, the child, can unlock it; until then it cannot read it.
  ASSERT_EQ(chown((t / "locked").c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod((t / "locked").c_str(), 0), 0);
  test::RunUnprivileged([&] {
    // As the name itself, it cannot be added.
    auto w = New();
    EXPECT_EQ(w->AddRecursive(t / "locked").Error(),
              "open " + (t / "locked") + ": permission denied");
    // Below the name, only its contents are left out.
    ASSERT_TRUE(w->AddRecursive(t.path()).ok());
    EXPECT_EQ(t.Rels(WatcherPeer::Files(*w)),
              (std::set<std::string>{".", "locked", "tail", "tail/f"}));

    Running run(w, 1ms);
    const std::string failure =
        "ERROR open " + (t / "locked") + ": permission denied";
    EXPECT_EQ(Describe(t, Next(*w)), failure);
    // The rest of the tree is watched, and later cycles say nothing more
    // of the folder.
    for (const char* text : {"new", "newer"}) {
      WriteFile(t / "tail/f", text);
      EXPECT_EQ(Describe(t, Next(*w)), "WRITE tail/f");
    }
    ASSERT_EQ(chmod((t / "locked").c_str(), 0755), 0);
    EXPECT_EQ(Describe(t, Next(*w)), "CLEARED locked");
    EXPECT_EQ(test::NextN(t, *w, 2),
              (std::multiset<std::string>{"CHMOD locked", "CREATE locked/f"}));
    // Failing again is news again.
    ASSERT_EQ(chmod((t / "locked").c_str(), 0), 0);
    EXPECT_EQ(test::NextN(t, *w, 3),
              (std::multiset<std::string>{failure, "CHMOD locked",
                                          "REMOVE locked/f"}));
  });
  chmod((t / "locked").c_str(), 0755);
}

}  // namespace
}  // namespace watcher
