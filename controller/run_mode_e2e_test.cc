// Run mode without watching, through the built executable.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "controller/e2e_util.h"
#include "testsupport/temp_dir.h"

namespace controller::e2e {
namespace {

class RunModeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(dir_, ""); }

  std::string read(const std::string& name) const {
    return ReadTextFile(dir_ + "/" + name);
  }

  testsupport::TempDir tmp_{"zorvane-run-"};
  const std::string dir_ = tmp_.path();
};

TEST_F(RunModeTest, PreparesThenSupervisesServerToItsEnd) {
  const std::string prep = ": > prepared";
  const std::string server = "test -e prepared && pwd -P > server.cwd; exit 3";
  const RunResult r =
      RunToEnd({}, {{"ZORVANE_PREP", prep}, {"ZORVANE_RUN", server}}, dir_);
  // The controller reports the server's failure as its own.
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "Running Install: " + prep + "\nRunning: " + server +
                       "\nWait received error:exit status 3\n"
                       "Wait received error on server start exit status 3\n"
                       "Watcher is not running.\n");
  EXPECT_EQ(read("server.cwd"), dir_ + "\n");
}

TEST_F(RunModeTest, FailedPreparationEndsWithStatus1) {
  const RunResult r = RunToEnd(
      {}, {{"ZORVANE_INSTALL", "exit 1"}, {"ZORVANE_RUN", ": > server-ran"}},
      dir_);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "Running Install: exit 1\n"
            "[Error] FATAL error ZORVANE_PREP command received an error.  The "
            "controller is exiting: exit status 1\n");
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/server-ran"));
}

}  // namespace
}  // namespace controller::e2e
