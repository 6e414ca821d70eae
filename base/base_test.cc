#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "base/mutex.h"
#include "base/status.h"
#include "base/thread.h"

namespace base {
namespace {

TEST(StatusTest, IdentityIsSharedRepresentationNotText) {
  const Status a("error: same text");
  const Status b("error: same text");
  const Status copy = a;
  EXPECT_EQ(a, copy);
  EXPECT_FALSE(a == b) << "equal texts are different errors";
  EXPECT_EQ(Status(), Status());
  EXPECT_EQ(Status().Error(), "<nil>");
}

TEST(StatusTest, PathErrorCarriesItsParts) {
  const Status err = Status::PathError("lstat", "/w/app", ENOENT);
  EXPECT_EQ(err.Error(), "lstat /w/app: no such file or directory");
  EXPECT_EQ(err.op(), "lstat");
  EXPECT_EQ(err.path(), "/w/app");
  EXPECT_EQ(err.errnum(), ENOENT);
  EXPECT_TRUE(err.IsNotExist());
  EXPECT_FALSE(Status::PathError("open", "/w", EACCES).IsNotExist());
  EXPECT_FALSE(Status("no path").IsNotExist());
  EXPECT_EQ(Status().op(), "");
}

TEST(StatusTest, ErrnoTextStartsInLowerCase) {
  EXPECT_EQ(ErrnoText(ESRCH), "no such process");
  EXPECT_EQ(ErrnoStatus("kill: ", EPERM).Error(),
            "kill: operation not permitted");
}

TEST(CondVarTest, WaitUntilTellsNotifiedFromTimedOut) {
  Mutex mu;
  CondVar cv;
  bool ready = false;
  {
    MutexLock lock(&mu);
    EXPECT_FALSE(cv.WaitUntil(&mu, std::chrono::steady_clock::now() +
                                       std::chrono::milliseconds(1)));
  }
  ASSERT_TRUE(StartDetachedThread("notifier", [&] {
                MutexLock lock(&mu);
                ready = true;
                cv.NotifyAll();
              }).ok());
  MutexLock lock(&mu);
  while (!ready) cv.Wait(&mu);
  EXPECT_TRUE(ready);
}

TEST(ThreadTest, ThreadIsNamedAndTruncated) {
  Mutex mu;
  CondVar cv;
  std::string name;
  ASSERT_TRUE(StartDetachedThread("a-rather-long-thread-name", [&] {
                std::ifstream comm("/proc/thread-self/comm");
                std::string line;
                std::getline(comm, line);
                MutexLock lock(&mu);
                name = line;
                cv.NotifyAll();
              }).ok());
  MutexLock lock(&mu);
  while (name.empty()) cv.Wait(&mu);
  EXPECT_EQ(name, "a-rather-long-t");
}

}  // namespace
}  // namespace base
