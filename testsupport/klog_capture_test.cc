#include "testsupport/klog_capture.h"

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "testsupport/child.h"

namespace testsupport {
namespace {

// The capture's file stays with the test: a program the test starts while
// it captures does not get the descriptor.
TEST(KlogCaptureTest, ChildrenDoNotInheritTheFile) {
  KlogCapture capture;
  ASSERT_TRUE(capture.ok());
  const std::string fd = std::to_string(capture.fd());
  Child c;
  ASSERT_EQ(c.Start({"/bin/sh", "-c",
                     "if [ -e /proc/self/fd/" + fd +
                         " ]; then echo open; else echo closed; fi"},
                    {"PATH=/usr/bin:/bin"}),
            "");
  (void)c.WaitFor([](const std::string&) { return false; },
                  Clock::now() + std::chrono::seconds(10));
  EXPECT_TRUE(c.OutputEnded());
  EXPECT_EQ(c.output(), "closed\n");
}

}  // namespace
}  // namespace testsupport
