// The log lines that the guides quote are made of the controller's own
// texts: a quoted line that the program cannot print is a doc that lies.

#include <gtest/gtest.h>

#include "controller/docs_test_util.h"

namespace controller::docs {
namespace {

TEST(DocsTest, HelpersReadSourcesAndQuotedLines) {
  EXPECT_EQ(StringLiterals(R"x(Log("Wait received " /* a */ "error:", 'x');
// "in a comment"
f('"', "a\"b\\", "tab\t" "x"); g(R"(raw "text")");)x"),
            (std::vector<std::string>{"Wait received error:", "a\"b\\",
                                      "tab\tx", "raw \"text\""}));

  const std::vector<std::string> literals = {"Wait received error:",
                                             "signal: ",
                                             "interrupt",
                                             "Running: ",
                                             "Command did not stop within ",
                                             ", killing it: ",
                                             "s"};
  struct Case {
    const char* line;
    bool fromController;
  };
  const Case cases[] = {
      {"Wait received error:signal: interrupt", true},
      {"Wait received error: signal: interrupt", false},  // a blank too many
      {"Wait received error:signal: interrupted", false},
      {"[Warning] Command did not stop within <timeout>, killing it: <cmd>",
       true},
      {"Command did not stop in <timeout>, killing it: <cmd>", false},
      {"Running: <command>", true},
      {"<command>", false},                     // no fixed text at all
      {"Running: exec node server.js", false},  // values need placeholders
      {"ss", false},  // one-character texts do not count
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsControllerLine(c.line, literals), c.fromController) << c.line;
  }

  EXPECT_EQ(
      QuotedLogLines("```sh\nnot a log\n```\n```log\nRunning: <c>\n```\n"
                     "- item\n\n  ```log\n  Watcher is not running.\n"
                     "  ```\n"),
      (std::vector<std::string>{"Running: <c>", "Watcher is not running."}));
  EXPECT_EQ(LocalLinks("[a](docs/a.md#x), [b](https://e.org/), [c](#top), "
                       "[d](../README.md)"),
            (std::vector<Link>{
                {"docs/a.md", "x"}, {"", "top"}, {"../README.md", ""}}));
  EXPECT_EQ(HeadingAnchors("# Top\n## \"Wait received error:signal: "
                           "interrupt\" after a restart\n```sh\n# no\n```\n"
                           "### What `-v` shows, and Ctrl-C\n"),
            (std::set<std::string>{
                "top", "wait-received-errorsignal-interrupt-after-a-restart",
                "what--v-shows-and-ctrl-c"}));
}

TEST(DocsTest, QuotedLogLinesAreTheControllersOwn) {
  const std::vector<std::string> literals = ControllerLiterals();
  ASSERT_GT(literals.size(), 100u) << "cannot read " << kSourceDir;
  std::size_t quoted = 0;
  for (const Doc& guide : Guides()) {
    ASSERT_FALSE(guide.text.empty()) << "cannot read " << guide.path;
    for (const std::string& line : QuotedLogLines(guide.text)) {
      ++quoted;
      EXPECT_TRUE(IsControllerLine(line, literals))
          << guide.path
          << " quotes a line the controller does not print: " << line;
    }
  }
  // Fewer means the blocks were not found, not that every line is right.
  EXPECT_GE(quoted, 15u);
}

}  // namespace
}  // namespace controller::docs
