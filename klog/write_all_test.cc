#include "klog/write_all.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace klog {
namespace {

using std::chrono::milliseconds;

// A pipe whose write end is non-blocking and already full.
struct FullPipe {
  FullPipe() {
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    const std::string block(4096, 'f');
    while (::write(fds[1], block.data(), block.size()) > 0) filled += 4096;
  }
  ~FullPipe() {
    for (int fd : fds) {
      if (fd >= 0) ::close(fd);
    }
  }
  int fds[2] = {-1, -1};
  size_t filled = 0;
};

TEST(WriteAllTest, WaitsForRoomInAFullNonBlockingPipe) {
  FullPipe p;
  size_t drained = 0;
  std::thread reader([&] {
    char buf[8192];
    ssize_t n;
    while ((n = ::read(p.fds[0], buf, sizeof buf)) > 0) drained += n;
  });
  const std::string line(200000, 'x');
  EXPECT_TRUE(WriteAll(p.fds[1], line, milliseconds(10000)));
  ::close(p.fds[1]);
  p.fds[1] = -1;
  reader.join();
  EXPECT_EQ(drained, p.filled + line.size());
}

TEST(WriteAllTest, GivesUpWhenNobodyReads) {
  FullPipe p;
  EXPECT_FALSE(WriteAll(p.fds[1], "lost\n", milliseconds(20)));
}

TEST(WriteAllTest, ClosedReaderFailsTheWriteOnly) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  ::close(fds[0]);
  // As the controller runs: a closed reader must not end the process.
  const auto old = ::signal(SIGPIPE, SIG_IGN);
  EXPECT_FALSE(WriteAll(fds[1], "line\n", milliseconds(1000)));
  ::signal(SIGPIPE, old);
  ::close(fds[1]);
}

}  // namespace
}  // namespace klog
