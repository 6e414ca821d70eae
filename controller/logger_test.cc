#include "controller/logger.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "controller/status.h"
#include "testsupport/klog_capture.h"

namespace controller {
namespace {

class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(capture_.ok());
    klog::InitFlags(&flags_);
    ASSERT_EQ(flags_.SetByName("skip_headers", "true"), "");
  }
  void TearDown() override { (void)flags_.SetByName("v", "0"); }
  std::string Written() { return capture_.Written(); }

  testsupport::KlogCapture capture_;
  klog::FlagSet flags_{"klog", klog::ErrorHandling::kContinueOnError};
};

// Counts how often it is formatted.
struct Counted {
  std::string String() const {
    ++*count;
    return "x";
  }
  int* count;
};

TEST_F(LoggerTest, PrefixesAndDebugGate) {
  int formatted = 0;
  Debug.log("dropped ", Counted{&formatted});
  Info.log("Watcher is not running.");
  Warning.log("value ", 42);
  Error.log("a", "b");
  Fatal.log("Warning: setup ", Status("bad"));
  EXPECT_EQ(formatted, 0);
  ASSERT_EQ(flags_.SetByName("v", "4"), "");
  Debug.log("kept ", Counted{&formatted});
  EXPECT_EQ(formatted, 1);
  EXPECT_EQ(Written(),
            "Watcher is not running.\n"
            "[Warning] value 42\n"
            "[Error] ab\n"
            "[Fatal] Warning: setup bad\n"
            "[Debug] kept x\n");
}

TEST_F(LoggerTest, HeaderNamesTheStatementThatLogged) {
  ASSERT_EQ(flags_.SetByName("skip_headers", "false"), "");
  const int line = __LINE__ + 1;
  Warning.log("here");
  const std::string out = Written();
  ASSERT_GT(out.size(), 30u);
  EXPECT_EQ(out.substr(30),
            "logger_test.cc:" + std::to_string(line) + "] [Warning] here\n");
}

}  // namespace
}  // namespace controller
