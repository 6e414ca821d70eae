#include "controller/change.h"

#include <gtest/gtest.h>

namespace controller {
namespace {

TEST(ChangeTest, OfEachKindOfEvent) {
  using watcher::Op;
  const struct {
    watcher::Event event;
    std::string path;
    std::string kind;
  } cases[] = {
      {{Op::Write, "/w/a.js", std::nullopt}, "/w/a.js", "WRITE"},
      {{Op::Create, "/w/a.js", std::nullopt}, "/w/a.js", "CREATE"},
      {{Op::Remove, "/w/a.js", std::nullopt}, "/w/a.js", "REMOVE"},
      {{Op::Chmod, "/w/a.js", std::nullopt}, "/w/a.js", "CHMOD"},
      // The new path alone, even when a name holds the arrow itself.
      {{Op::Rename, "/w/a -> b.js -> /w/c.js", std::nullopt, "/w/c.js"},
       "/w/c.js",
       "RENAME"},
      {{Op::Move, "/w/a.js -> /w/x -> y/a.js", std::nullopt, "/w/x -> y/a.js"},
       "/w/x -> y/a.js",
       "MOVE"},
  };
  for (const auto& c : cases) {
    const Change change = changeOf(c.event);
    EXPECT_EQ(change.path, c.path) << c.event.Path;
    EXPECT_EQ(change.kind, c.kind) << c.event.Path;
  }
}

TEST(ChangeTest, EnvironmentAddsTheChangeAndKeepsTheRest) {
  const char* const base[] = {"PATH=/bin",
                              "ZORVANE_CHANGE=STALE",
                              "ZORVANE_CHANGED_PATH=/stale",
                              "ZORVANE_CHANGED_PATHS=kept",
                              "ZORVANE_CHANGE_X=kept",
                              "ZORVANE_RUN=x",
                              nullptr};
  EXPECT_EQ(changeEnvironment({"/w/a b.js", "WRITE"}, base),
            (std::vector<std::string>{
                "PATH=/bin", "ZORVANE_CHANGED_PATHS=kept",
                "ZORVANE_CHANGE_X=kept", "ZORVANE_RUN=x",
                "ZORVANE_CHANGED_PATH=/w/a b.js", "ZORVANE_CHANGE=WRITE"}));
  // No change: the command inherits the environment as it is.
  EXPECT_EQ(changeEnvironment({}, base), std::nullopt);
  const char* const none[] = {nullptr};
  EXPECT_EQ(changeEnvironment({"/p", "REMOVE"}, none),
            (std::vector<std::string>{"ZORVANE_CHANGED_PATH=/p",
                                      "ZORVANE_CHANGE=REMOVE"}));
}

}  // namespace
}  // namespace controller
