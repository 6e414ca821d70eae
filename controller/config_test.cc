#include "controller/config.h"

#include <map>

#include <gtest/gtest.h>

namespace controller {
namespace {

using Env = std::map<std::string, std::string>;
using List = std::vector<std::string>;

Status ReadEnv(const Env& env, Configuration* c) {
  return setupEnvironmentVars(c, [&env](const char* name) {
    auto it = env.find(name);
    return it == env.end() ? std::string() : it->second;
  });
}

TEST(SetupEnvironmentVarsTest, ErrorsAndTheirOrder) {
  struct Case {
    Env env;
    std::string want;  // "" for no error
  };
  const Case cases[] = {
      {{}, "ZORVANE_DEBUG and ZORVANE_RUN and ZORVANE_TEST can not be empty."},
      // The missing start command is reported before missing directories.
      {{{"ZORVANE_RUN_ON_CHANGE", "make"}},
       "ZORVANE_DEBUG and ZORVANE_RUN and ZORVANE_TEST can not be empty."},
      {{{"ZORVANE_TEST", "t"}, {"ZORVANE_DEBUG_ON_CHANGE", "make"}},
       "ZORVANE_WATCH_DIR and ZORVANE_MOUNTS can not be empty. File watching "
       "is enabled."},
      {{{"ZORVANE_RUN", "r"}}, ""},
      {{{"ZORVANE_RUN", "r"},
        {"ZORVANE_RUN_ON_CHANGE", "m"},
        {"ZORVANE_WATCH_DIR", "/w"}},
       ""},
      {{{"ZORVANE_RUN", "r"},
        {"ZORVANE_RUN_ON_CHANGE", "m"},
        {"ZORVANE_MOUNTS", "/h:/c"}},
       ""},
      {{{"ZORVANE_RUN", "r"}, {"ZORVANE_MOUNTS", "/data"}},
       "The Mount string has bad formatting: /data"},
      // Mounts are checked even when file watching is off or a watch
      // directory is given.
      {{{"ZORVANE_RUN", "r"},
        {"ZORVANE_WATCH_DIR", "/w"},
        {"ZORVANE_MOUNTS", "/a:/b;"}},
       "The Mount string has bad formatting: /a:/b;"},
  };
  for (const auto& c : cases) {
    Configuration config;
    const Status s = ReadEnv(c.env, &config);
    EXPECT_EQ(s.ok() ? "" : s.Error(), c.want);
  }
}

TEST(SetupEnvironmentVarsTest, ListsAndFallbacks) {
  struct Case {
    Env env;
    std::optional<List> watch, ignore, mounts;
    std::string prep;
  };
  const Case cases[] = {
      {{{"ZORVANE_WATCH_DIR", " /x ; /y "}}, List{"/x", "/y"}, {}, {}, ""},
      // Empty watch entries are left out, never taken for the working
      // directory; the list is still there, so the mounts are not watched
      // instead.
      {{{"ZORVANE_WATCH_DIR", "/x;;/y"}}, List{"/x", "/y"}, {}, {}, ""},
      {{{"ZORVANE_WATCH_DIR", " ; src ; "}}, List{"src"}, {}, {}, ""},
      {{{"ZORVANE_WATCH_DIR", ";"}, {"ZORVANE_MOUNTS", "/h:/c"}},
       List{},
       {},
       List{"/c"},
       ""},
      {{{"ZORVANE_WATCH_DIR", "   "}}, List{}, {}, {}, ""},
      {{{"ZORVANE_MOUNTS", "/h: ;/g:/c;C:\\w:"}}, {}, {}, List{"/c"}, ""},
      {{{"ZORVANE_WATCH_DIR", "\xc2\xa0/x\xe3\x80\x80"}},
       List{"/x"},
       {},
       {},
       ""},
      {{{"ZORVANE_WATCH_IGNORE_DIR", "/a/target;"}},
       {},
       List{"/a/target", ""},
       {},
       ""},
      {{{"ZORVANE_MOUNTS", "/host/src:/project/src;C:\\work: /project/work "}},
       {},
       {},
       List{"/project/src", "/project/work"},
       ""},
      {{{"ZORVANE_INSTALL", "make install"}}, {}, {}, {}, "make install"},
      {{{"ZORVANE_INSTALL", "make install"}, {"ZORVANE_PREP", "npm ci"}},
       {},
       {},
       {},
       "npm ci"},
  };
  for (const auto& c : cases) {
    Env env = c.env;
    env["ZORVANE_RUN"] = "r";
    Configuration config;
    ASSERT_TRUE(ReadEnv(env, &config).ok());
    EXPECT_EQ(config.zorvaneWATCHDIRS, c.watch);
    EXPECT_EQ(config.zorvaneWATCHIGNOREDIR, c.ignore);
    EXPECT_EQ(config.zorvaneMOUNTS, c.mounts);
    EXPECT_EQ(config.zorvanePREP, c.prep);
  }
}

TEST(SetupEnvironmentVarsTest, RelativeIgnoreEntriesAreMadeAbsolute) {
  struct Case {
    std::string workDir, ignore;
    List want;
  };
  const Case cases[] = {
      {"/w/app", "node_modules", {"/w/app/node_modules"}},
      {"/w/app", "node_modules/", {"/w/app/node_modules/"}},
      {"/w/app",
       " ./out/../build// ; ../shared",
       {"/w/app/build/", "/w/shared"}},
      {"/", "../", {"/"}},
      // Absolute entries keep their plain-prefix meaning, exactly as written;
      // an empty one stays and ignores nothing.
      {"/w/app",
       "/w/app/target;/x//y/../z/;",
       {"/w/app/target", "/x//y/../z/", ""}},
      // Without a working directory there is nothing to resolve against.
      {"", "out", {"out"}},
  };
  for (const auto& c : cases) {
    Configuration config;
    config.workDir = c.workDir;
    ASSERT_TRUE(
        ReadEnv({{"ZORVANE_RUN", "r"}, {"ZORVANE_WATCH_IGNORE_DIR", c.ignore}},
                &config)
            .ok());
    EXPECT_EQ(config.zorvaneWATCHIGNOREDIR, c.want) << c.ignore;
  }
}

TEST(SetupEnvironmentVarsTest, ValuesAreReplacedNotAppended) {
  // A failed read replaces the lists too: none of the first read's entries
  // may survive an error return.
  const Env again[] = {
      {{"ZORVANE_RUN", "r"}},
      {},
      {{"ZORVANE_RUN", "r"}, {"ZORVANE_RUN_ON_CHANGE", "make"}},
  };
  for (const Env& env : again) {
    Configuration config;
    ASSERT_TRUE(ReadEnv({{"ZORVANE_RUN", "r"},
                         {"ZORVANE_WATCH_DIR", "/a"},
                         {"ZORVANE_WATCH_IGNORE_DIR", "/a/out"},
                         {"ZORVANE_MOUNTS", "/h:/c"}},
                        &config)
                    .ok());
    (void)ReadEnv(env, &config);
    EXPECT_FALSE(config.zorvaneWATCHDIRS.has_value()) << env.size();
    EXPECT_FALSE(config.zorvaneWATCHIGNOREDIR.has_value()) << env.size();
    EXPECT_FALSE(config.zorvaneMOUNTS.has_value()) << env.size();
  }
}

TEST(SetupEnvironmentVarsTest, WatchPattern) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "(^.*.java$)|(^.*.js$)|(^.*.go$)"},
      {"   ", "   "},
      {"\\.txt$", "\\.txt$"},
  };
  for (const auto& [raw, want] : cases) {
    Configuration config;
    ASSERT_TRUE(
        ReadEnv({{"ZORVANE_RUN", "r"}, {"ZORVANE_WATCH_REGEX", raw}}, &config)
            .ok());
    EXPECT_EQ(config.zorvaneWATCHREGEX, want);
  }
}

TEST(SetupEnvironmentVarsTest, Interval) {
  const std::pair<std::string, int64_t> cases[] = {
      {"", 2},
      {"10", 10},
      {" 7 ", 7},
      {"+5", 5},
      {"0", 0},
      {"-3", -3},
      {"90", 90},
      {"1.5", 2},
      {"abc", 2},
      {"   ", 2},
      {"--3", 2},
      {"+-3", 2},
      {"9223372036", 9223372036},
      {"-9223372036", -9223372036},
      // Seconds whose nanoseconds overflow 64 bits are refused, not wrapped.
      {"9223372037", 2},
      {"-9223372037", 2},
      {"9223372036854775807", 2},
      {"99999999999999999999", 2},
  };
  for (const auto& [raw, seconds] : cases) {
    Configuration config;
    ASSERT_TRUE(ReadEnv({{"ZORVANE_RUN", "r"}, {"ZORVANE_WATCH_INTERVAL", raw}},
                        &config)
                    .ok());
    EXPECT_EQ(config.zorvaneWATCHINTERVAL.ns, seconds * kSecond) << raw;
  }
}

// Read like the interval, but a negative time to stop is refused too.
TEST(SetupEnvironmentVarsTest, StopTimeout) {
  const std::pair<std::string, int64_t> cases[] = {
      {"", 10},   {"3", 3},    {" 0 ", 0},  {"+7", 7},
      {"-1", 10}, {"1.5", 10}, {"ten", 10}, {"9223372037", 10},
  };
  for (const auto& [raw, seconds] : cases) {
    Configuration config;
    ASSERT_TRUE(
        ReadEnv({{"ZORVANE_RUN", "r"}, {"ZORVANE_STOP_TIMEOUT", raw}}, &config)
            .ok());
    EXPECT_EQ(config.zorvaneSTOPTIMEOUT.ns, seconds * kSecond) << raw;
  }
}

TEST(ComputeSigIntTest, OnlyTrueMeansKill) {
  const std::pair<std::string, bool> cases[] = {
      {"", true},       {"true", true},     {"True", true},
      {" TRUE ", true}, {"tRuE\t\n", true}, {"\xc2\x85true\xc2\xa0", true},
      {"false", false}, {"yes", false},     {"1", false},
      {"   ", false},   {"t rue", false},   {"true\xff", false},
      {"\xff", false},
  };
  for (const auto& [text, want] : cases)
    EXPECT_EQ(computeSigInt(text), want) << text;
}

TEST(DurationTest, Text) {
  const std::pair<int64_t, std::string> cases[] = {
      {0, "0s"},
      {2 * kSecond, "2s"},
      {59 * kSecond, "59s"},
      {60 * kSecond, "1m0s"},
      {90 * kSecond, "1m30s"},
      {3600 * kSecond, "1h0m0s"},
      {(2 * 3600 + 5 * 60 + 3) * kSecond, "2h5m3s"},
      {-5 * kSecond, "-5s"},
      {-90 * kSecond, "-1m30s"},
      {1500000000, "1.5s"},
      {500000000, "500ms"},
      {1500, "1.5µs"},
      {7, "7ns"},
      {9223372036 * kSecond, "2562047h47m16s"},
      {INT64_MIN, "-2562047h47m16.854775808s"},
  };
  for (const auto& [ns, want] : cases) EXPECT_EQ(Duration{ns}.String(), want);
}

}  // namespace
}  // namespace controller
