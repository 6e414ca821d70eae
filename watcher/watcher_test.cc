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

TEST(WatcherTest, DeletedRootReportedOnceAndDropped) {
  TempDir t;
  for (const char* dir : {"gone", "kept"}) {
    mkdir((t / dir).c_str(), 0755);
    WriteFile(t / dir + "/f");
  }
  test::AgeTree(t.path());
  auto w = New();
  ASSERT_TRUE(w->AddRecursive(t / "gone").ok());
  ASSERT_TRUE(w->AddRecursive(t / "kept").ok());
  std::filesystem::remove_all(t / "gone");
  Running run(w, 1ms);
  const Delivery first = Next(*w);
  ASSERT_TRUE(std::holds_alternative<Status>(first));
  EXPECT_EQ(std::get<Status>(first), ErrWatchedFileDeleted);

  // Created again, it stays unwatched; the next thing seen is elsewhere.
  mkdir((t / "gone").c_str(), 0755);
  WriteFile(t / "gone/f");
  WriteFile(t / "kept/f", "new");
  EXPECT_EQ(Describe(t, Next(*w)), "WRITE kept/f");
  EXPECT_EQ(WatcherPeer::Names(*w).count(t / "gone"), 0u);
}

TEST(WatcherTest, CloseWhileADeliveryIsPending) {
  TempDir t;
  auto w = New();
  ASSERT_TRUE(w->AddRecursive(t.path()).ok());
  for (const char* name : {"a", "b", "c"}) WriteFile(t / name);
  Status result = ErrSkip;
  std::thread loop([&] { result = w->Start(1ms); });
  (void)Next(*w);  // The loop runs, with more events of the cycle to come.
  std::promise<void> closing;
  std::thread closer([&] {
    closing.set_value();
    w->Close();
  });
  // Nobody receives until Close is under way, so the loop waits for the
  // consumer with an event pending: Close must wait for the consumer rather
  // than deadlock with it.
  closing.get_future().wait();
  while (!std::holds_alternative<Closed>(Next(*w))) {
  }
  closer.join();
  loop.join();
  EXPECT_TRUE(result.ok());
}

TEST(WatcherTest, UnreadableDirectoryKeepsTheRestOfTheTree) {
  TempDir t;
  for (const char* dir : {"locked", "tail"}) {
    mkdir((t / dir).c_str(), 0755);
    WriteFile(t / dir + "/f");
  }
  chmod((t / "tail/f").c_str(), 0666);  // The unprivileged child writes it.
  test::AgeTree(t.path());
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

    // Each cycle reports it, and the rest of the tree is still watched.
    Running run(w, 1ms);
    const std::string failure =
        "ERROR open " + (t / "locked") + ": permission denied";
    for (int cycle = 0; cycle < 3; ++cycle) {
      EXPECT_EQ(Describe(t, Next(*w)), failure) << "cycle " << cycle;
    }
    WriteFile(t / "tail/f", "new");
    std::string got = failure;
    for (int i = 0; i < 1000 && got == failure; ++i) {
      got = Describe(t, Next(*w));
    }
    EXPECT_EQ(got, "WRITE tail/f");
  });
  chmod((t / "locked").c_str(), 0755);
}

}  // namespace
}  // namespace watcher
