#include "controller/change.h"

#include <gtest/gtest.h>

namespace controller {
namespace {

// The inherited values of the two variables give way; every other entry,
// names that merely begin alike included, stays in its place.
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
