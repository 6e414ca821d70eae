#include "klog/flagset.h"

#include <gtest/gtest.h>

namespace klog {
namespace {

// The program's own option set, as the controller registers it.
struct Options {
  FlagSet set{"prog", ErrorHandling::kContinueOnError};
  std::string* mode =
      set.String("mode", "run",
                 "This is the mode the controller runs in: run, debug or test");
  bool* verbose =
      set.Bool("verbose", false, "Turns on debug output and logging ");
  bool* v = set.Bool("v", false, "Turns on debug output and logging ");
};

struct ParseCase {
  std::vector<std::string> args;
  ParseResult::Kind kind;
  std::string message;
  std::string mode;
  bool v;
  bool verbose;
  std::vector<std::string> rest;
};

TEST(FlagSetTest, Parse) {
  const ParseCase cases[] = {
      {{}, ParseResult::kOk, "", "run", false, false, {}},
      {{"-mode", "debug"}, ParseResult::kOk, "", "debug", false, false, {}},
      {{"-mode=test"}, ParseResult::kOk, "", "test", false, false, {}},
      {{"--mode=debug"}, ParseResult::kOk, "", "debug", false, false, {}},
      {{"--mode", "x=y"}, ParseResult::kOk, "", "x=y", false, false, {}},
      {{"-mode="}, ParseResult::kOk, "", "", false, false, {}},
      // The next argument is the value even when it looks like an option.
      {{"-mode", "-v"}, ParseResult::kOk, "", "-v", false, false, {}},
      {{"-mode=a", "-mode=b"}, ParseResult::kOk, "", "b", false, false, {}},
      {{"-v"}, ParseResult::kOk, "", "run", true, false, {}},
      {{"--verbose"}, ParseResult::kOk, "", "run", false, true, {}},
      {{"-v=false", "-verbose"}, ParseResult::kOk, "", "run", false, true, {}},
      {{"-v", "-v=0"}, ParseResult::kOk, "", "run", false, false, {}},
      {{"-verbose=T"}, ParseResult::kOk, "", "run", false, true, {}},
      // A boolean takes no separate value: "false" ends the options.
      {{"-v", "false"}, ParseResult::kOk, "", "run", true, false, {"false"}},
      {{"extra", "-v"},
       ParseResult::kOk,
       "",
       "run",
       false,
       false,
       {"extra", "-v"}},
      {{"-", "-v"}, ParseResult::kOk, "", "run", false, false, {"-", "-v"}},
      {{"--", "-v"}, ParseResult::kOk, "", "run", false, false, {"-v"}},
      {{"-v", "--", "--", "x"},
       ParseResult::kOk,
       "",
       "run",
       true,
       false,
       {"--", "x"}},
      {{"-x"},
       ParseResult::kError,
       "flag provided but not defined: -x",
       "run",
       false,
       false,
       {}},
      {{"--x=1"},
       ParseResult::kError,
       "flag provided but not defined: -x",
       "run",
       false,
       false,
       {}},
      {{"-V"},
       ParseResult::kError,
       "flag provided but not defined: -V",
       "run",
       false,
       false,
       {}},
      {{"---x"},
       ParseResult::kError,
       "bad flag syntax: ---x",
       "run",
       false,
       false,
       {"---x"}},
      {{"-=x"},
       ParseResult::kError,
       "bad flag syntax: -=x",
       "run",
       false,
       false,
       {"-=x"}},
      {{"--=x"},
       ParseResult::kError,
       "bad flag syntax: --=x",
       "run",
       false,
       false,
       {"--=x"}},
      {{"-mode"},
       ParseResult::kError,
       "flag needs an argument: -mode",
       "run",
       false,
       false,
       {}},
      {{"-v=yes"},
       ParseResult::kError,
       "invalid boolean value \"yes\" for -v: parse error",
       "run",
       false,
       false,
       {}},
      {{"-verbose="},
       ParseResult::kError,
       "invalid boolean value \"\" for -verbose: parse error",
       "run",
       false,
       false,
       {}},
      {{"-v=\"\\\n"},
       ParseResult::kError,
       "invalid boolean value \"\\\"\\\\\\n\" for -v: parse error",
       "run",
       false,
       false,
       {}},
      {{"-v=\xff"},
       ParseResult::kError,
       "invalid boolean value \"\\xff\" for -v: parse error",
       "run",
       false,
       false,
       {}},
      // The value is quoted by the one shared routine: a non-character,
      // a private-use and a format code point are escaped.
      {{"-v=\xef\xbf\xbf\xee\x80\x80\xd8\x80"},
       ParseResult::kError,
       "invalid boolean value \"\\uffff\\ue000\\u0600\" for -v: parse error",
       "run",
       false,
       false,
       {}},
      {{"-h"}, ParseResult::kHelp, "", "run", false, false, {}},
      {{"-help"}, ParseResult::kHelp, "", "run", false, false, {}},
      {{"--help"}, ParseResult::kHelp, "", "run", false, false, {}},
      {{"-v", "-h", "-mode=x"},
       ParseResult::kHelp,
       "",
       "run",
       true,
       false,
       {"-mode=x"}},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += "[" + a + "]";
    SCOPED_TRACE(joined);
    Options o;
    const ParseResult r = o.set.Parse(c.args);
    EXPECT_EQ(r.kind, c.kind);
    EXPECT_EQ(r.message, c.message);
    EXPECT_EQ(*o.mode, c.mode);
    EXPECT_EQ(*o.v, c.v);
    EXPECT_EQ(*o.verbose, c.verbose);
    if (c.kind == ParseResult::kOk) {
      EXPECT_EQ(o.set.Args(), c.rest);
    }
  }
}

TEST(FlagSetTest, UsageTextIsExact) {
  Options o;
  EXPECT_EQ(o.set.UsageText(),
            "Usage of prog:\n"
            "  -mode string\n"
            "    \tThis is the mode the controller runs in: run, debug or test "
            "(default \"run\")\n"
            "  -v\tTurns on debug output and logging \n"
            "  -verbose\n"
            "    \tTurns on debug output and logging \n");
}

TEST(FlagSetTest, SetByName) {
  Options o;
  EXPECT_EQ(o.set.SetByName("mode", "debug"), "");
  EXPECT_EQ(*o.mode, "debug");
  EXPECT_EQ(o.set.SetByName("v", "true"), "");
  EXPECT_TRUE(*o.v);
  EXPECT_EQ(o.set.SetByName("v", "maybe"), "parse error");
  EXPECT_TRUE(*o.v);
  EXPECT_NE(o.set.SetByName("nope", "1"), "");
}

TEST(FlagSetTest, ExitOnErrorWritesLineAndUsageThenExits2) {
  FlagSet set("prog", ErrorHandling::kExitOnError);
  set.Bool("v", false, "x");
  EXPECT_EXIT(set.Parse({"-q"}), ::testing::ExitedWithCode(2),
              "^flag provided but not defined: -q\nUsage of prog:\n  -v\tx\n$");
  EXPECT_EXIT(set.Parse({"-help"}), ::testing::ExitedWithCode(2),
              "^Usage of prog:\n  -v\tx\n$");
}

TEST(ParseBoolTest, AcceptsExactlyTheTwelveTexts) {
  for (const char* t : {"1", "t", "T", "TRUE", "true", "True"}) {
    bool b = false;
    EXPECT_TRUE(ParseBool(t, &b) && b) << t;
  }
  for (const char* t : {"0", "f", "F", "FALSE", "false", "False"}) {
    bool b = true;
    EXPECT_TRUE(ParseBool(t, &b) && !b) << t;
  }
  for (const char* t : {"", "yes", "tRUE", " true", "2", "on"}) {
    bool b = false;
    EXPECT_FALSE(ParseBool(t, &b)) << t;
  }
}

}  // namespace
}  // namespace klog
