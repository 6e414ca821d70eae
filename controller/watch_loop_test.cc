#include "controller/watch_loop.h"

#include <gtest/gtest.h>

#include "controller/config.h"
#include "watcher/status.h"

namespace controller {
namespace {

TEST(UnwatchDirTest, PlainPrefixOfNonEmptyEntries) {
  struct Case {
    std::optional<std::vector<std::string>> ignored;
    std::string path;
    bool want;
  };
  using L = std::vector<std::string>;
  const Case cases[] = {
      {std::nullopt, "/app/x.js", false},
      {L{"/app/target"}, "/app/target", true},
      {L{"/app/target"}, "/app/target/x.js", true},
      {L{"/app/target"}, "/app/target2/x.js", true},  // plain text prefix
      {L{"/app/target/"}, "/app/target/x.js", true},
      {L{"/app/target/"}, "/app/target", false},
      {L{"/app/target/"}, "/app/target2/x.js", false},
      // Compared as written: relative entries are made absolute when the
      // configuration is read.
      {L{"target"}, "/app/target/x.js", false},
      {L{"/a", "/app/b"}, "/app/b/c.js", true},
      {L{"/app/a/"}, "/app/a/x.js -> /app/b/x.js", true},
      {L{"/app/b/"}, "/app/a/x.js -> /app/b/x.js", false},
      // An empty entry (a stray ";") matches nothing.
      {L{""}, "/app/x.js", false},
      {L{"/nowhere", ""}, "/app/x.js", false},
      {L{"", "/app"}, "/app/x.js", true},
  };
  Configuration& config = configuration();
  const auto saved = config.zorvaneWATCHIGNOREDIR;
  for (const auto& c : cases) {
    config.zorvaneWATCHIGNOREDIR = c.ignored;
    EXPECT_EQ(unwatchDir(c.path), c.want) << c.path;
  }
  config.zorvaneWATCHIGNOREDIR = saved;
}

// The watcher's fixed errors keep their identity through the controller,
// so a caller can tell them apart without comparing texts.
TEST(WatchSettingsTest, TooShortIntervalIsTheWatchersOwnError) {
  Configuration& config = configuration();
  const auto saved = config.zorvaneWATCHINTERVAL;
  config.zorvaneWATCHINTERVAL.ns = 0;
  const Status err = checkWatchSettings();
  config.zorvaneWATCHINTERVAL = saved;
  EXPECT_TRUE(err == watcher::ErrDurationTooShort) << err.Error();
}

}  // namespace
}  // namespace controller
