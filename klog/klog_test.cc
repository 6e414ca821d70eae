#include "klog/klog.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport/eventually.h"
#include "testsupport/klog_capture.h"

namespace klog {
namespace {

struct HeaderCase {
  Severity severity;
  HeaderTime time;
  int64_t pid;
  int line;
  std::string want;
};

TEST(FormatHeaderTest, FixedWidthFields) {
  const HeaderCase cases[] = {
      {INFO,
       {12, 7, 9, 30, 5, 42},
       4321,
       215,
       "I1207 09:30:05.000042    4321 f.cc:215] "},
      {INFO,
       {1, 2, 3, 4, 5, 0},
       1,
       7,
       "I0102 03:04:05.000000       1 f.cc:7] "},
      {WARNING,
       {10, 31, 23, 59, 59, 999999},
       1234567,
       1,
       "W1031 23:59:59.999999 1234567 f.cc:1] "},
      // Only the last seven digits of a longer pid fit the column.
      {ERROR,
       {6, 15, 12, 0, 0, 123},
       123456789,
       42,
       "E0615 12:00:00.000123 3456789 f.cc:42] "},
      {FATAL,
       {6, 15, 0, 0, 0, 100000},
       0,
       -5,
       "F0615 00:00:00.100000       0 f.cc:0] "},
      {static_cast<Severity>(9),
       {6, 15, 0, 0, 0, 1},
       99,
       3,
       "I0615 00:00:00.000001      99 f.cc:3] "},
  };
  for (const auto& c : cases) {
    std::string out;
    FormatHeader(c.severity, c.time, c.pid, "f.cc", c.line, &out);
    EXPECT_EQ(out, c.want);
    EXPECT_EQ(out.find("f.cc"), 30u);
  }
}

struct Err {
  std::string Error() const { return "boom"; }
};
struct Dur {
  std::string String() const { return "1m30s"; }
};

TEST(AppendArgsTest, BlankOnlyBetweenTwoNonTexts) {
  const Err err;
  const Dur dur;
  const std::string owned = "s";  // Args refer to, never copy, their values
  struct Case {
    std::vector<Arg> args;
    std::string want;
  };
  const Case cases[] = {
      {{"value ", 42}, "value 42"},
      {{"a", "b"}, "ab"},
      {{1, 2}, "1 2"},
      {{"x", 1, 2, "y", 3}, "x1 2y3"},
      {{"flag ", true, false}, "flag true false"},
      {{"err: ", err}, "err: boom"},
      {{err, dur}, "boom 1m30s"},
      {{"took ", dur}, "took 1m30s"},
      {{"n=", nullptr}, "n=<nil>"},
      {{int64_t{-9}, uint64_t{18446744073709551615u}},
       "-9 18446744073709551615"},
      {{owned, std::string_view("v")}, "sv"},
  };
  for (const auto& c : cases) {
    std::string out;
    AppendArgs(c.args, &out);
    EXPECT_EQ(out, c.want);
  }
}

// Captures what the core writes, in a temporary file.
class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(capture_.ok());
    InitFlags(&flags_);
  }
  std::string Written() {
    EXPECT_TRUE(Flush(std::chrono::seconds(5)));
    return capture_.Written();
  }

  testsupport::KlogCapture capture_;
  FlagSet flags_{"klog", ErrorHandling::kContinueOnError};
};

TEST_F(CaptureTest, HeaderlessLineIsTheMessageAndOneLineFeed) {
  ASSERT_EQ(flags_.SetByName("skip_headers", "true"), "");
  const Arg a[] = {"Watcher is not running."};
  InfoDepth(std::source_location::current(), a);
  const Arg b[] = {"ends in a line feed\n"};
  InfoDepth(std::source_location::current(), b);
  const Arg c[] = {"two\nlines"};
  InfoDepth(std::source_location::current(), c);
  EXPECT_EQ(Written(),
            "Watcher is not running.\nends in a line feed\ntwo\nlines\n");
}

TEST_F(CaptureTest, HeaderNamesTheCallerByBaseName) {
  ASSERT_EQ(flags_.SetByName("skip_headers", "false"), "");
  const Arg a[] = {"hello"};
  const auto where = std::source_location::current();
  InfoDepth(where, a);
  const std::string line = Written();
  ASSERT_GT(line.size(), 30u);
  EXPECT_EQ(line[0], 'I');
  const std::string pid = std::to_string(::getpid());
  EXPECT_EQ(line.substr(29 - pid.size(), pid.size() + 1), pid + " ");
  EXPECT_EQ(line.substr(30),
            "klog_test.cc:" + std::to_string(where.line()) + "] hello\n");
}

TEST_F(CaptureTest, VerbosityGate) {
  ASSERT_EQ(flags_.SetByName("v", "0"), "");
  EXPECT_TRUE(V(0));
  EXPECT_FALSE(V(2));
  ASSERT_EQ(flags_.SetByName("v", "4"), "");
  EXPECT_TRUE(V(2));
  EXPECT_FALSE(V(5));
  EXPECT_EQ(flags_.SetByName("v", "four"), "parse error");
  EXPECT_TRUE(V(4));
  ASSERT_EQ(flags_.SetByName("v", "0"), "");
}

TEST_F(CaptureTest, LinesFromManyThreadsStayWhole) {
  ASSERT_EQ(flags_.SetByName("skip_headers", "false"), "");
  constexpr int kThreads = 4, kLines = 500;
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      // Long enough that a torn write would show, short enough to pool.
      const std::string body(100, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) {
        const Arg a[] = {body, i};
        InfoDepth(std::source_location::current(), a);
      }
    });
  }
  for (auto& th : threads) th.join();
  std::istringstream in(Written());
  int count = 0;
  for (std::string line; std::getline(in, line); ++count) {
    const auto close = line.find("] ");
    ASSERT_NE(close, std::string::npos) << line;
    const std::string msg = line.substr(close + 2);
    ASSERT_GE(msg.size(), 101u) << line;
    EXPECT_EQ(msg.substr(0, 100), std::string(100, msg[0])) << line;
  }
  EXPECT_EQ(count, kThreads * kLines);
}

// With standard error a pipe nobody reads, a log call still returns: the
// line waits in a bounded queue, or is dropped and counted when the queue
// is full. Once the reader is back the queued lines come in order, then
// one Warning with the number dropped, then what is logged afterwards.
TEST(StalledOutputTest, LinesQueueThenDropAndTheCountIsReported) {
  FlagSet flags("klog", ErrorHandling::kContinueOnError);
  InitFlags(&flags);
  ASSERT_EQ(flags.SetByName("skip_headers", "true"), "");
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  const int previous = test_hooks::SetOutputFd(fds[1]);

  // Far more than the pipe and the queue hold.
  constexpr int kLines = 2000;
  std::atomic<bool> returned{false};
  std::thread logger([&] {
    const std::string pad(1000, '.');
    for (int i = 0; i < kLines; ++i) {
      const Arg a[] = {pad, i};
      InfoDepth(std::source_location::current(), a);
    }
    returned = true;
  });
  EXPECT_TRUE(testsupport::Eventually([&] { return returned.load(); },
                                      std::chrono::seconds(10)))
      << "a log call waited for the stalled reader";

  // The reader comes back.
  std::string got;
  std::thread reader([&] {
    char buf[65536];
    ssize_t n;
    while (got.find("after\n") == std::string::npos &&
           (n = ::read(fds[0], buf, sizeof buf)) > 0) {
      got.append(buf, static_cast<std::size_t>(n));
    }
  });
  logger.join();
  const Arg after[] = {"after"};
  InfoDepth(std::source_location::current(), after);
  reader.join();
  test_hooks::SetOutputFd(previous);
  ::close(fds[0]);
  ::close(fds[1]);

  std::istringstream in(got);
  int written = 0;
  std::string line;
  while (std::getline(in, line) && line.starts_with(".")) {
    ASSERT_EQ(line, std::string(1000, '.') + std::to_string(written));
    ++written;
  }
  EXPECT_GT(written, 0);
  EXPECT_EQ(line,
            "[Warning] Log lines dropped while standard error was "
            "blocked: " +
                std::to_string(kLines - written));
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_EQ(line, "after");
  EXPECT_FALSE(std::getline(in, line)) << line;
}

}  // namespace
}  // namespace klog
