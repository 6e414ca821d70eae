// The manual page and the README against the program: every variable the
// program reads and every option it has is documented in both, and neither
// documents a ZORVANE_ variable that the program does not know.

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "controller/config.h"
#include "controller/e2e_util.h"

namespace controller {
namespace {

std::string ReadFile(const char* path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The manual page's text without the escapes that split or disguise a
// name: font changes ("\fBZORVANE_RUN\fR") and the escaped dash ("\-v").
std::string PlainManText(std::string_view roff) {
  std::string out;
  for (std::size_t i = 0; i < roff.size(); ++i) {
    if (roff[i] == '\\' && i + 1 < roff.size()) {
      if (roff[i + 1] == 'f' && i + 2 < roff.size()) {
        i += 2;
        continue;
      }
      if (roff[i + 1] == '-') {
        out += '-';
        ++i;
        continue;
      }
    }
    out += roff[i];
  }
  return out;
}

bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '_';
}

// Whether `text` holds `word` with no name character right after it, nor
// right before it: "-v" is not found in "-verbose", nor ZORVANE_RUN in
// ZORVANE_RUN_KILL.
bool HasWord(std::string_view text, std::string_view word) {
  for (auto at = text.find(word); at != std::string_view::npos;
       at = text.find(word, at + 1)) {
    const auto end = at + word.size();
    if ((at == 0 || !IsNameChar(text[at - 1])) &&
        (end == text.size() || !IsNameChar(text[end]))) {
      return true;
    }
  }
  return false;
}

// The ZORVANE_ variable names in `text` ("ZORVANE_" alone is none).
std::set<std::string> VariableNames(std::string_view text) {
  constexpr std::string_view kPrefix = "ZORVANE_";
  std::set<std::string> names;
  for (auto at = text.find(kPrefix); at != std::string_view::npos;
       at = text.find(kPrefix, at + 1)) {
    if (at > 0 && IsNameChar(text[at - 1])) continue;
    auto end = at + kPrefix.size();
    while (end < text.size() && IsNameChar(text[end])) ++end;
    std::string_view name = text.substr(at, end - at);
    while (name.ends_with('_')) name.remove_suffix(1);
    if (name.size() > kPrefix.size()) names.emplace(name);
  }
  return names;
}

// The variables setupEnvironmentVars reads, recorded by its lookup. Each
// gets a value that is valid for any variable ("1" is a command, a
// directory, a count of seconds and a pattern), the mounts one with the
// ":" they need, so that no check ends the reading early.
std::set<std::string> VariablesRead() {
  std::set<std::string> names;
  Configuration config;
  const Status err = setupEnvironmentVars(&config, [&](const char* name) {
    names.insert(name);
    return std::string(name) == "ZORVANE_MOUNTS" ? "/host:/app" : "1";
  });
  EXPECT_TRUE(err.ok()) << err.Error();
  return names;
}

// The options in the executable's usage text ("  -mode string", "  -v\t...")
// and -h, which prints it.
std::vector<std::string> Options() {
  const e2e::RunResult r = e2e::RunToEnd({"-h"}, {});
  EXPECT_EQ(r.status, 2);
  std::vector<std::string> options = {"-h"};
  std::istringstream lines(r.err);
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("  -")) continue;
    options.push_back(line.substr(2, line.find_first_of(" \t", 2) - 2));
  }
  return options;
}

struct Doc {
  const char* path;
  std::string text;
};

std::vector<Doc> Docs() {
  return {{ZORVANE_MANUAL_PATH, PlainManText(ReadFile(ZORVANE_MANUAL_PATH))},
          {ZORVANE_README_PATH, ReadFile(ZORVANE_README_PATH)}};
}

TEST(DocsTest, HelpersFindWholeNamesOnly) {
  EXPECT_EQ(PlainManText(R"(\fBZORVANE_RUN\fR and \-v, \fI\-mode\fP)"),
            "ZORVANE_RUN and -v, -mode");
  EXPECT_TRUE(HasWord("`-v`, `-verbose`", "-v"));
  EXPECT_FALSE(HasWord("`-verbose`", "-v"));
  EXPECT_TRUE(HasWord("--mode=debug", "-mode"));
  EXPECT_FALSE(HasWord("ZORVANE_RUN_KILL", "ZORVANE_RUN"));
  EXPECT_FALSE(HasWord("XZORVANE_RUN", "ZORVANE_RUN"));
  EXPECT_EQ(VariableNames("`ZORVANE_` vars: ZORVANE_RUN, ZORVANE_RUN_KILL_ "
                          "and ZORVANE_MOUNTS."),
            (std::set<std::string>{"ZORVANE_MOUNTS", "ZORVANE_RUN",
                                   "ZORVANE_RUN_KILL"}));
}

TEST(DocsTest, EveryVariableTheProgramReadsIsDocumented) {
  const std::set<std::string> read = VariablesRead();
  // All seventeen; fewer means the recording broke, not that the docs are
  // fine.
  EXPECT_GE(read.size(), 17u);
  for (const Doc& doc : Docs()) {
    ASSERT_FALSE(doc.text.empty()) << "cannot read " << doc.path;
    for (const std::string& name : read) {
      EXPECT_TRUE(HasWord(doc.text, name)) << doc.path << " lacks " << name;
    }
  }
}

TEST(DocsTest, NoUnknownVariableIsDocumented) {
  const std::set<std::string> read = VariablesRead();
  for (const Doc& doc : Docs()) {
    for (const std::string& name : VariableNames(doc.text)) {
      EXPECT_TRUE(read.contains(name))
          << doc.path << " documents " << name
          << ", which the program does not read";
    }
  }
}

TEST(DocsTest, EveryOptionIsDocumented) {
  const std::vector<std::string> options = Options();
  EXPECT_GE(options.size(), 4u) << "-h and the usage text's three options";
  for (const Doc& doc : Docs()) {
    for (const std::string& option : options) {
      EXPECT_TRUE(HasWord(doc.text, option)) << doc.path << " lacks " << option;
    }
  }
}

}  // namespace
}  // namespace controller
