// The change in the environment of the command it starts, through the
// built executable: ZORVANE_CHANGED_PATH and ZORVANE_CHANGE for each kind of
// change, for the command a change starts and for no other, and the newest
// of the changes folded into one run.

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "controller/e2e_util.h"
#include "controller/watch_e2e_fixture.h"

namespace controller::e2e {
namespace {

namespace fs = std::filesystem;

class ChangeVariablesTest : public WatchFixture {
 protected:
  void SetUp() override {
    MakeTree({"src/app.js", "src/lib.js", "src/sentinel.js"});
  }

  // The line the on-change command writes for `kind` and `path`.
  static std::string Line(const std::string& kind, const fs::path& path) {
    return "\nchange=" + kind + " path=" + path.string() + "\n";
  }
};

// Each kind of change reaches the command with the path it names.
TEST_F(ChangeVariablesTest, CommandGetsTheKindAndThePath) {
  env_["ZORVANE_RUN_ON_CHANGE"] =
      "echo \"change=$ZORVANE_CHANGE path=$ZORVANE_CHANGED_PATH\" >&2";
  fs::create_directories(root_ / "src/sub");
  Controller& c = Start();
  const fs::path src = root_ / "src";
  const struct {
    std::function<void()> make;
    std::string kind;
    fs::path path;
  } cases[] = {
      {[&] { Touch(src / "app.js"); }, "WRITE", src / "app.js"},
      {[&] { ::chmod((src / "app.js").c_str(), 0600); }, "CHMOD",
       src / "app.js"},
      // Made under a name the pattern leaves out, so that it appears
      // whole.
      {[&] {
         Touch(src / "new.js.tmp");
         fs::rename(src / "new.js.tmp", src / "new.js");
       },
       "CREATE", src / "new.js"},
      // A name may hold the text that separates the two paths of a rename.
      {[&] { fs::rename(src / "new.js", src / "old -> new.js"); }, "RENAME",
       src / "old -> new.js"},
      {[&] { fs::rename(src / "old -> new.js", src / "sub/moved.js"); },
       "MOVE", src / "sub/moved.js"},
      {[&] { fs::remove(src / "lib.js"); }, "REMOVE", src / "lib.js"},
  };
  for (const auto& change : cases) {
    SCOPED_TRACE(change.kind);
    change.make();
    EXPECT_TRUE(c.WaitForText(Line(change.kind, change.path))) << c.err();
  }
}

// The `NAME=value` lines of an `env` listing.
std::set<std::string> EnvLines(const std::string& listing) {
  std::set<std::string> lines;
  std::istringstream in(listing);
  for (std::string line; std::getline(in, line);) lines.insert(line);
  return lines;
}

// The command a change starts gets the two variables and nothing else new;
// the server started at start-up gets neither.
TEST_F(ChangeVariablesTest, OnlyTheCommandAChangeStartsGetsThem) {
  env_["ZORVANE_RUN"] = "env > server.env; exec sleep 1000";
  env_["ZORVANE_RUN_ON_CHANGE"] = "env > tmp.env; mv tmp.env change.env";
  Controller& c = Start();
  ASSERT_TRUE(Eventually([&] { return !Read("server.env").empty(); }));
  Touch(root_ / "src/app.js");
  ASSERT_TRUE(Eventually([&] { return !Read("change.env").empty(); }))
      << c.err();
  const std::set<std::string> server = EnvLines(Read("server.env"));
  std::set<std::string> added = EnvLines(Read("change.env"));
  for (const std::string& line : server) {
    EXPECT_EQ(added.erase(line), 1u) << "the command lacks " << line;
  }
  EXPECT_EQ(added, (std::set<std::string>{
                       "ZORVANE_CHANGE=WRITE",
                       "ZORVANE_CHANGED_PATH=" +
                           (root_ / "src/app.js").string()}));
}

// A server that a change starts again, in the on-change command's place,
// is started by that change and gets it too.
TEST_F(ChangeVariablesTest, ServerStartedAgainByAChangeGetsIt) {
  env_["ZORVANE_RUN"] =
      "echo \"server change=${ZORVANE_CHANGE-none} "
      "path=${ZORVANE_CHANGED_PATH-none}\" >&2; exit 3";
  Controller& c = Start();
  ASSERT_TRUE(c.WaitForText("\nserver change=none path=none\n")) << c.err();
  ASSERT_TRUE(c.WaitForText("Wait received error on server start exit status"))
      << c.err();
  Touch(root_ / "src/app.js");
  EXPECT_TRUE(c.WaitForText("\nserver change=WRITE path=" +
                            (root_ / "src/app.js").string() + "\n"))
      << c.err();
  EXPECT_EQ(Count(c.err(), kRunLine), 0) << c.err();
}

// Changes that come while a run waits fold into it; the one command it
// starts gets the newest of them.
TEST_F(ChangeVariablesTest, FoldedRunGetsTheNewestChange) {
  // The preparation holds the registry until the test lets it go.
  env_["ZORVANE_PREP"] = "while [ ! -e go ]; do sleep 0.05; done";
  env_["ZORVANE_RUN_ON_CHANGE"] =
      "echo \"change=$ZORVANE_CHANGE path=$ZORVANE_CHANGED_PATH\" >&2";
  Controller& c = Start();
  Touch(root_ / "src/app.js");
  ASSERT_TRUE(c.WaitForText("[Debug] kill server is: false")) << c.err();
  Touch(root_ / "src/lib.js");
  ASSERT_TRUE(c.WaitForText("change folded in")) << c.err();
  Touch(root_ / "go");
  EXPECT_TRUE(c.WaitForText(Line("WRITE", root_ / "src/lib.js"))) << c.err();
  EXPECT_EQ(Count(c.err(), "\nchange="), 1) << c.err();
}

}  // namespace
}  // namespace controller::e2e
