// The command line, the configuration checks and the log format, through
// the built executable.

#include <string_view>

#include <gtest/gtest.h>

#include "controller/e2e_util.h"

namespace controller::e2e {
namespace {

const std::string kExe = ZORVANE_CONTROLLER_PATH;

const std::string kUsage =
    "Usage of " + kExe +
    ":\n"
    "  -mode string\n"
    "    \tThis is the mode the controller runs in: run, debug or test "
    "(default \"run\")\n"
    "  -v\tTurns on debug output and logging \n"
    "  -verbose\n"
    "    \tTurns on debug output and logging \n";

// Whether `line` starts with a verbose header and has a message after it:
// "I1207 09:30:05.000042    4321 runner.cc:57] message".
bool HasHeader(std::string_view line) {
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  const auto skip = [&line](auto pred) {
    std::size_t n = 0;
    while (n < line.size() && pred(line[n])) ++n;
    line.remove_prefix(n);
    return n;
  };
  // 'd' is a digit, 'p' a digit or a blank (the right-aligned pid).
  constexpr std::string_view kShape = "Idddd dd:dd:dd.dddddd ppppppp ";
  if (line.size() < kShape.size()) return false;
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    const char want = kShape[i], c = line[i];
    const bool ok = want == 'd'   ? digit(c)
                    : want == 'p' ? c == ' ' || digit(c)
                                  : c == want;
    if (!ok) return false;
  }
  line.remove_prefix(kShape.size());
  // The source file ([a-z_]+.cc), its line number, then "] ".
  if (skip([](char c) { return (c >= 'a' && c <= 'z') || c == '_'; }) == 0 ||
      !line.starts_with(".cc:")) {
    return false;
  }
  line.remove_prefix(4);
  return skip(digit) > 0 && line.starts_with("] ");
}

TEST(HeaderShapeTest, TellsHeadersFromOtherLines) {
  EXPECT_TRUE(HasHeader("I1207 09:30:05.000042    4321 runner.cc:57] x"));
  EXPECT_TRUE(HasHeader("I0101 00:00:00.000000 1234567 watch_loop.cc:1] "));
  for (const char* bad : {
           "I1207 09:30:05.000042    4321 runner.cc:57 x",  // no "]"
           "I1207 09:30:05.00004    4321 runner.cc:57] x",  // 5 µs digits
           "I1207 09:30:05.000042   4321 runner.cc:57] x",  // pid in 6
           "I1207 09:30:05.000042    4321 Runner.cc:57] x",
           "I1207 09:30:05.000042    4321 runner.h:57] x",
           "I1207 09:30:05.000042    4321 runner.cc:] x",
           "[Debug] Controller main ENTRY 0.2.2",
       }) {
    EXPECT_FALSE(HasHeader(bad)) << bad;
  }
}

const std::string kNoStartCommand =
    "[Fatal] Warning: setup did not find all environment variables "
    "ZORVANE_DEBUG and ZORVANE_RUN and ZORVANE_TEST can not be empty.\n";

TEST(CommandLineTest, ExitStatusAndWholeStandardError) {
  struct Case {
    std::vector<std::string> args;
    Env env;
    int status;
    std::string err;
  };
  const Case cases[] = {
      {{}, {}, 1, kNoStartCommand},
      {{"-x"}, {}, 2, "flag provided but not defined: -x\n" + kUsage},
      {{"-v=yes"},
       {},
       2,
       "invalid boolean value \"yes\" for -v: parse error\n" + kUsage},
      {{"-mode"}, {}, 2, "flag needs an argument: -mode\n" + kUsage},
      {{"---mode"}, {}, 2, "bad flag syntax: ---mode\n" + kUsage},
      {{"-h"}, {}, 2, kUsage},
      {{"--help", "-x"}, {}, 2, kUsage},
      // Parsing stops at "extra", so -v is not applied.
      {{"extra", "-v"}, {}, 1, kNoStartCommand},
      {{"-verbose=false", "-mode=test"}, {}, 1, kNoStartCommand},
      {{},
       {{"ZORVANE_RUN", "true"}, {"ZORVANE_MOUNTS", "/data"}},
       1,
       "[Fatal] Warning: setup did not find all environment variables The "
       "Mount string has bad formatting: /data\n"},
      {{},
       {{"ZORVANE_RUN", "true"}, {"ZORVANE_TEST_ON_CHANGE", "make"}},
       1,
       "[Fatal] Warning: setup did not find all environment variables "
       "ZORVANE_WATCH_DIR and ZORVANE_MOUNTS can not be empty. File watching "
       "is enabled.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const RunResult r = RunToEnd(c.args, c.env);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
  }
}

TEST(CommandLineTest, VerboseLinesCarryHeaders) {
  const RunResult r = RunToEnd({"-v"}, {});
  EXPECT_EQ(r.status, 1);
  std::vector<std::string> lines;
  std::string::size_type start = 0, nl;
  while ((nl = r.err.find('\n', start)) != std::string::npos) {
    lines.push_back(r.err.substr(start, nl - start));
    start = nl + 1;
  }
  ASSERT_GE(lines.size(), 3u) << r.err;
  for (const auto& line : lines) {
    EXPECT_TRUE(HasHeader(line)) << line;
  }
  EXPECT_NE(lines.front().find("controller.cc:"), std::string::npos);
  EXPECT_EQ(lines.front().substr(lines.front().find("] ") + 2),
            "[Debug] Controller main ENTRY 0.2.2");
  EXPECT_EQ(lines.back().substr(lines.back().find("] ") + 2),
            kNoStartCommand.substr(0, kNoStartCommand.size() - 1));
  // The last value of a "v" and "verbose" pair wins; either turns it on.
  EXPECT_NE(RunToEnd({"-v=false", "-verbose"}, {}).err.find("[Debug] "),
            std::string::npos);
  EXPECT_EQ(RunToEnd({"-verbose=false"}, {}).err, kNoStartCommand);
}

const std::string kNoModeCommand =
    "[Warning] Warning: startCommand (environment variable "
    "ZORVANE_DEBUG,ZORVANE_TEST or ZORVANE_RUN) is unspecified\n";

// A mode without its own start command and without watching would run
// nothing and report success (a CI job passing without a test run): it
// ends with status 1 after the Warning, and runs nothing, not even the
// preparation command.
TEST(ModeTest, MissingStartCommandWithoutWatchingFails) {
  const std::pair<std::string, Env> cases[] = {
      {"debug", {{"ZORVANE_RUN", "true"}}},
      {"test", {{"ZORVANE_RUN", "true"}, {"ZORVANE_PREP", "echo prep >&2"}}},
  };
  for (const auto& [mode, env] : cases) {
    SCOPED_TRACE(mode);
    const RunResult r = RunToEnd({"-mode", mode}, env);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kNoModeCommand);
  }
}

// A mode that watches carries on with the empty command, as before.
TEST(ModeTest, MissingStartCommandWhileWatchingCarriesOn) {
  char dir[] = "/tmp/zorvane-mode-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  {
    Controller c({"-mode", "test"},
                 {{"ZORVANE_RUN", "true"},
                  {"ZORVANE_TEST_ON_CHANGE", "true"},
                  {"ZORVANE_WATCH_DIR", dir}},
                 dir);
    EXPECT_TRUE(c.WaitFor([](const std::string& e) {
      return e.starts_with(kNoModeCommand + "Running: \n");
    })) << c.err();
  }
  ::rmdir(dir);
}

TEST(ModeTest, AnyUnknownModeRunsTheRunCommand) {
  const Env env = {{"ZORVANE_RUN", "echo run-mode >&2"},
                   {"ZORVANE_DEBUG", "echo debug-mode >&2"},
                   {"ZORVANE_TEST", "echo test-mode >&2"}};
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "run-mode"},
      {{"-mode=DEBUG"}, "run-mode"},
      {{"-mode="}, "run-mode"},
      {{"-mode=foo"}, "run-mode"},
      {{"-mode=debug"}, "debug-mode"},
      {{"--mode", "test"}, "test-mode"},
  };
  for (const auto& [args, want] : cases) {
    const RunResult r = RunToEnd(args, env);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("\n" + want + "\n"), std::string::npos) << r.err;
  }
}

// An interval or a stop timeout that is not a whole number of seconds
// falls back to its default, and says so with the text as given.
TEST(ConfigTest, BadValuesWarnWithTheRawText) {
  const std::pair<std::string, std::string> cases[] = {
      {"ZORVANE_WATCH_INTERVAL",
       "[Warning] Invalid watch interval, setting to default 2000:  1.5 \n"},
      {"ZORVANE_STOP_TIMEOUT",
       "[Warning] Invalid stop timeout, setting to default 10000:  1.5 \n"},
  };
  for (const auto& [name, warning] : cases) {
    const RunResult r =
        RunToEnd({}, {{"ZORVANE_RUN", "true"}, {name, " 1.5 "}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), warning);
  }
}

}  // namespace
}  // namespace controller::e2e
