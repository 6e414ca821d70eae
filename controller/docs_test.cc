// The docs against the program: every variable the program reads or sets
// and every option it has is documented in the manual page and the README;
// no doc names a ZORVANE_ variable that the program does not know; the log
// lines the guides quote are made of the controller's own texts; the
// guide's examples of watch lists are what the program reads; every
// description of what counts as a change names all of it; and the docs'
// links lead to files and headings that exist.

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "controller/change.h"
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

// `s` without the blanks around it (and a line's trailing carriage return).
std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
    s.remove_prefix(1);
  }
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
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

// The variables the program sets for a command that a change starts.
std::set<std::string> VariablesSet() {
  const char* const none[] = {nullptr};
  std::set<std::string> names;
  for (const std::string& entry :
       changeEnvironment({"/w/a.js", "WRITE"}, none)
           .value_or(std::vector<std::string>{})) {
    names.insert(entry.substr(0, entry.find('=')));
  }
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
  std::string path;
  std::string text;
};

const std::filesystem::path kSourceDir = ZORVANE_SOURCE_DIR;
const std::filesystem::path kStackGuide =
    kSourceDir / "docs" / "stack-authors.md";
const std::filesystem::path kTroubleshooting =
    kSourceDir / "docs" / "troubleshooting.md";

// The references: the manual page and the README, which document every
// variable and option.
std::vector<Doc> Docs() {
  return {{ZORVANE_MANUAL_PATH, PlainManText(ReadFile(ZORVANE_MANUAL_PATH))},
          {ZORVANE_README_PATH, ReadFile(ZORVANE_README_PATH)}};
}

// The guides, which document what they need.
std::vector<Doc> Guides() {
  return {{kStackGuide, ReadFile(kStackGuide.c_str())},
          {kTroubleshooting, ReadFile(kTroubleshooting.c_str())}};
}

// Names a guide spells wrong on purpose, to show what a misspelling does.
const std::set<std::string> kMisspeltOnPurpose = {"ZORVANE_WATCH_DIRS"};

// The string literals of C++ source text, escapes decoded, with adjacent
// literals joined as the compiler joins them ("a" "b" is "ab"). Comments
// and character literals are skipped, so a quote in them starts nothing.
std::vector<std::string> StringLiterals(std::string_view src) {
  std::vector<std::string> out;
  bool afterLiteral = false;  // only blanks and comments since the last one
  std::size_t i = 0;
  while (i < src.size()) {
    const std::string_view rest = src.substr(i);
    if (rest.starts_with("//")) {
      i = src.find('\n', i);
      continue;
    }
    if (rest.starts_with("/*")) {
      const auto end = src.find("*/", i + 2);
      i = end == std::string_view::npos ? end : end + 2;
      continue;
    }
    if (src[i] == '\'') {
      for (++i; i < src.size() && src[i] != '\''; ++i) {
        if (src[i] == '\\') ++i;
      }
      ++i;
      afterLiteral = false;
      continue;
    }
    if (src[i] != '"') {
      if (std::string_view(" \t\r\n").find(src[i]) == std::string_view::npos) {
        afterLiteral = false;
      }
      ++i;
      continue;
    }
    std::string literal;
    const bool raw =
        i > 0 && src[i - 1] == 'R' && (i < 2 || !IsNameChar(src[i - 2]));
    if (raw) {
      const auto open = src.find('(', i);
      if (open == std::string_view::npos) break;
      const std::string close =
          ")" + std::string(src.substr(i + 1, open - i - 1)) + "\"";
      const auto end = src.find(close, open);
      if (end == std::string_view::npos) break;
      literal = src.substr(open + 1, end - open - 1);
      i = end + close.size();
    } else {
      for (++i; i < src.size() && src[i] != '"'; ++i) {
        if (src[i] != '\\' || i + 1 == src.size()) {
          literal += src[i];
          continue;
        }
        const char c = src[++i];
        literal += c == 'n' ? '\n' : c == 't' ? '\t' : c;
      }
      ++i;
    }
    if (afterLiteral) {
      out.back() += literal;
    } else {
      out.push_back(std::move(literal));
    }
    afterLiteral = true;
  }
  return out;
}

// The string literals of the program's sources (not its tests): the
// controller's, the supervision library's (the errors of a child's end),
// and the logging core's, which says when lines were dropped.
std::vector<std::string> ControllerLiterals() {
  std::vector<std::string> literals;
  for (const char* folder : {"controller", "klog", "supervise"}) {
    for (const auto& entry :
         std::filesystem::directory_iterator(kSourceDir / folder)) {
      const std::string name = entry.path().filename();
      if (!name.ends_with(".cc") || name.ends_with("_test.cc") ||
          name.ends_with("_bench.cc") || name.starts_with("e2e_")) {
        continue;
      }
      for (std::string& l : StringLiterals(ReadFile(entry.path().c_str()))) {
        literals.push_back(std::move(l));
      }
    }
  }
  return literals;
}

// Whether `text` is one or more of `literals` one after the other. Texts of
// one character are left out: with them nearly anything would pass.
bool IsConcatenation(std::string_view text,
                     const std::vector<std::string>& literals) {
  std::vector<bool> reached(text.size() + 1, false);
  reached[0] = true;
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (!reached[at]) continue;
    for (const std::string& l : literals) {
      if (l.size() > 1 && text.substr(at).starts_with(l)) {
        reached[at + l.size()] = true;
      }
    }
  }
  return !text.empty() && reached[text.size()];
}

// Whether a log line as a guide quotes it could come from the controller:
// after its logger's prefix, the text between "<...>" placeholders (which
// stand for commands, paths and values) is made of the sources' literals.
bool IsControllerLine(std::string_view line,
                      const std::vector<std::string>& literals) {
  for (std::string_view prefix :
       {"[Debug] ", "[Warning] ", "[Error] ", "[Fatal] "}) {
    if (line.starts_with(prefix)) line.remove_prefix(prefix.size());
  }
  bool fixedText = false;
  while (!line.empty()) {
    const auto open = line.find('<');
    const auto close = line.find('>', open);
    const std::string_view piece =
        close == std::string_view::npos ? line : line.substr(0, open);
    if (!piece.empty()) {
      if (!IsConcatenation(piece, literals)) return false;
      fixedText = true;
    }
    if (close == std::string_view::npos) break;
    line.remove_prefix(close + 1);
  }
  return fixedText;
}

// A line of Markdown text, blanks around it trimmed, and the info string
// of the fenced code block it is in ("log" in a "```log" block; nullopt
// outside code blocks).
struct MarkdownLine {
  std::string text;
  std::optional<std::string> block;
};

// The lines of a Markdown text, without the code blocks' fences.
std::vector<MarkdownLine> MarkdownLines(const std::string& markdown) {
  std::vector<MarkdownLine> lines;
  std::istringstream in(markdown);
  std::optional<std::string> block;
  for (std::string line; std::getline(in, line);) {
    const std::string_view text = TrimBlanks(line);
    if (!text.starts_with("```")) {
      lines.push_back({std::string(text), block});
    } else if (block.has_value()) {
      block.reset();
    } else {
      block.emplace(text.substr(3));
    }
  }
  return lines;
}

// The lines of a Markdown text's ```log blocks, which quote the
// controller's log lines.
std::vector<std::string> QuotedLogLines(const std::string& markdown) {
  std::vector<std::string> lines;
  for (MarkdownLine& line : MarkdownLines(markdown)) {
    if (line.block == "log") lines.push_back(std::move(line.text));
  }
  return lines;
}

// A link within the docs: "[x](docs/x.md#part)" is {"docs/x.md", "part"},
// and "[x](#part)", to a heading of the same page, {"", "part"}.
struct Link {
  std::string file;
  std::string fragment;
  friend bool operator==(const Link&, const Link&) = default;
};

// The links of a Markdown text that stay within the repository.
std::vector<Link> LocalLinks(std::string_view markdown) {
  std::vector<Link> links;
  for (auto at = markdown.find("]("); at != std::string_view::npos;
       at = markdown.find("](", at + 1)) {
    const auto end = markdown.find(')', at);
    if (end == std::string_view::npos) break;
    const std::string_view target = markdown.substr(at + 2, end - at - 2);
    if (target.find("://") != std::string_view::npos ||
        target.starts_with("mailto:")) {
      continue;
    }
    const auto hash = target.find('#');
    links.push_back({std::string(target.substr(0, hash)),
                     hash == std::string_view::npos
                         ? ""
                         : std::string(target.substr(hash + 1))});
  }
  return links;
}

// The anchors a Markdown renderer gives the headings of `markdown`: each
// heading's text in lower case, blanks made dashes, and every character but
// letters, digits, dashes and underscores dropped ("`-v` and \"x\"" gives
// "-v-and-x"). Lines in code blocks are no headings.
std::set<std::string> HeadingAnchors(const std::string& markdown) {
  std::set<std::string> anchors;
  for (const MarkdownLine& line : MarkdownLines(markdown)) {
    if (line.block.has_value() || !line.text.starts_with('#')) continue;
    std::string_view text = line.text;
    while (text.starts_with('#')) text.remove_prefix(1);
    std::string anchor;
    for (char c : TrimBlanks(text)) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c == ' ') c = '-';
      if (IsNameChar(c) || c == '-') anchor += c;
    }
    anchors.insert(anchor);
  }
  return anchors;
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

TEST(DocsTest, EveryVariableTheProgramSetsIsDocumented) {
  const std::set<std::string> set = VariablesSet();
  EXPECT_EQ(set.size(), 2u) << "the recording broke";
  std::vector<Doc> docs = Docs();
  docs.push_back({kStackGuide, ReadFile(kStackGuide.c_str())});
  for (const Doc& doc : docs) {
    ASSERT_FALSE(doc.text.empty()) << "cannot read " << doc.path;
    for (const std::string& name : set) {
      EXPECT_TRUE(HasWord(doc.text, name)) << doc.path << " lacks " << name;
    }
  }
}

TEST(DocsTest, NoUnknownVariableIsDocumented) {
  std::set<std::string> read = VariablesRead();
  read.merge(VariablesSet());
  std::vector<Doc> docs = Docs();
  for (Doc& guide : Guides()) {
    ASSERT_FALSE(guide.text.empty()) << "cannot read " << guide.path;
    docs.push_back(std::move(guide));
  }
  for (const Doc& doc : docs) {
    for (const std::string& name : VariableNames(doc.text)) {
      if (doc.path == kTroubleshooting && kMisspeltOnPurpose.contains(name)) {
        continue;
      }
      EXPECT_TRUE(read.contains(name))
          << doc.path << " documents " << name
          << ", which the program neither reads nor sets";
    }
  }
  for (const std::string& name : kMisspeltOnPurpose) {
    EXPECT_FALSE(read.contains(name)) << name << " is no misspelling";
  }
}

// The guide's table of watch lists: each row names a value of
// ZORVANE_WATCH_DIR or ZORVANE_MOUNTS ("`ZORVANE_MOUNTS='/h:/app'`") and
// what is watched: the paths in backquotes, "nothing", or "refused" (the
// configuration is not accepted).
TEST(DocsTest, WatchListExamplesAreWhatTheProgramReads) {
  const std::string guide = ReadFile(kStackGuide.c_str());
  int rows = 0;
  for (const MarkdownLine& line : MarkdownLines(guide)) {
    if (line.block.has_value() || !line.text.starts_with("| `ZORVANE_")) {
      continue;
    }
    const std::string_view row = line.text;
    const auto eq = row.find("='");
    const auto close = row.find("'`", eq);
    const auto cell = row.find('|', close);
    if (eq == std::string_view::npos || close == std::string_view::npos ||
        cell == std::string_view::npos) {
      continue;
    }
    ++rows;
    const std::string variable(row.substr(3, eq - 3));
    const std::string value(row.substr(eq + 2, close - eq - 2));
    const std::string_view watched = TrimBlanks(row.substr(cell + 1));
    SCOPED_TRACE(line.text);

    Configuration config;
    const Status err = setupEnvironmentVars(&config, [&](const char* name) {
      if (name == variable) return value;
      const std::string_view n = name;
      return n == "ZORVANE_RUN" || n == "ZORVANE_RUN_ON_CHANGE"
                 ? std::string("true")
                 : std::string();
    });
    if (watched.starts_with("refused")) {
      EXPECT_FALSE(err.ok());
      continue;
    }
    ASSERT_TRUE(err.ok()) << err.Error();
    std::vector<std::string> want;
    if (!watched.starts_with("nothing")) {
      for (auto q = watched.find('`'); q != std::string_view::npos;
           q = watched.find('`', watched.find('`', q + 1) + 1)) {
        want.emplace_back(watched.substr(q + 1, watched.find('`', q + 1) - q - 1));
      }
    }
    const std::vector<std::string> got =
        config.zorvaneWATCHDIRS.has_value()
            ? *config.zorvaneWATCHDIRS
            : config.zorvaneMOUNTS.value_or(std::vector<std::string>{});
    EXPECT_EQ(got, want);
  }
  EXPECT_GE(rows, 6) << "the table was not found";
}

// Squeezes every run of white space to one blank, so that words a line
// break separates are found.
std::string OneLine(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const bool blank = c == ' ' || c == '\n' || c == '\t';
    if (!blank) {
      out += c;
    } else if (!out.empty() && out.back() != ' ') {
      out += ' ';
    }
  }
  return out;
}

// The text from `heading` to the next line that begins with `next`.
std::string_view Section(std::string_view text, std::string_view heading,
                         std::string_view next) {
  const auto at = text.find(heading);
  if (at == std::string_view::npos) return {};
  const auto end = text.find(next, at + heading.size());
  return text.substr(at, end == std::string_view::npos ? end : end - at);
}

// Every place that says what counts as a change names all that the watcher
// compares (watcher.h): a path in both listings is written when its
// modification time, size, or device and inode numbers differ, and
// changes mode when its permissions do; paths are created, removed,
// renamed and moved.
TEST(DocsTest, EveryDescriptionOfChangesNamesAllThatCounts) {
  const std::string manual = PlainManText(ReadFile(ZORVANE_MANUAL_PATH));
  const std::string readme = ReadFile(ZORVANE_README_PATH);
  const std::string guide = ReadFile(kStackGuide.c_str());
  const std::pair<std::string, std::string_view> sections[] = {
      {"the manual page's Changes", Section(manual, ".SS Changes", "\n.S")},
      {"the README's How changes are judged",
       Section(readme, "## How changes are judged", "\n#")},
      {"the guide's Watched directories",
       Section(guide, "### Watched directories", "\n#")},
  };
  for (const auto& [where, section] : sections) {
    ASSERT_FALSE(section.empty()) << where << " is missing";
    const std::string text = OneLine(section);
    for (const char* term : {"modification time", "size", "inode",
                             "permissions", "new", "removed", "renamed",
                             "moved"}) {
      EXPECT_TRUE(HasWord(text, term)) << where << " lacks " << term;
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

TEST(DocsTest, LinksLeadToFilesAndHeadingsAndTheReadmeLinksEveryGuide) {
  std::vector<Doc> docs = Guides();
  docs.push_back({ZORVANE_README_PATH, ReadFile(ZORVANE_README_PATH)});
  std::set<std::filesystem::path> linkedFromReadme;
  for (const Doc& doc : docs) {
    ASSERT_FALSE(doc.text.empty()) << "cannot read " << doc.path;
    const std::filesystem::path page(doc.path);
    for (const Link& link : LocalLinks(doc.text)) {
      const auto target = std::filesystem::weakly_canonical(
          link.file.empty() ? page : page.parent_path() / link.file);
      if (!std::filesystem::exists(target)) {
        ADD_FAILURE() << doc.path << " links to " << link.file
                      << ", which does not exist";
        continue;
      }
      if (!link.fragment.empty() && target.extension() == ".md") {
        EXPECT_TRUE(
            HeadingAnchors(ReadFile(target.c_str())).contains(link.fragment))
            << doc.path << " links to " << link.file << "#" << link.fragment
            << ", a heading that does not exist";
      }
      if (doc.path == ZORVANE_README_PATH) linkedFromReadme.insert(target);
    }
  }
  for (const auto& entry :
       std::filesystem::directory_iterator(kSourceDir / "docs")) {
    if (entry.path().extension() != ".md") continue;
    EXPECT_TRUE(linkedFromReadme.contains(
        std::filesystem::weakly_canonical(entry.path())))
        << "the README does not link to " << entry.path();
  }
}

// Every promise of the guarantees page names the tests or fuzz targets
// that back it, and each of them exists.
TEST(DocsTest, EveryGuaranteeNamesTestsThatExist) {
  const std::string page =
      ReadFile((kSourceDir / "docs" / "guarantees.md").c_str());
  ASSERT_FALSE(page.empty());
  // What the sources define: "Suite.Name" for TEST(Suite, Name) and its
  // kin, and every *_fuzz target.
  std::set<std::string> defined;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(kSourceDir)) {
    const std::string name = entry.path().filename();
    if (entry.path().string().find("/build") != std::string::npos) continue;
    if (name.ends_with("_fuzz.cc")) {
      defined.insert(name.substr(0, name.size() - 3));
      continue;
    }
    if (!name.ends_with("_test.cc")) continue;
    const std::string src = ReadFile(entry.path().c_str());
    for (std::size_t at = 0; (at = src.find("TEST", at)) != std::string::npos;
         ++at) {
      const std::size_t open = src.find('(', at);
      const std::size_t comma = src.find(',', open);
      const std::size_t close = src.find(')', comma);
      if (open == std::string::npos || comma == std::string::npos ||
          close == std::string::npos || open > at + 6) {
        continue;
      }
      const auto trim = [](std::string s) {
        s.erase(0, s.find_first_not_of(" \n"));
        s.erase(s.find_last_not_of(" \n") + 1);
        return s;
      };
      defined.insert(trim(src.substr(open + 1, comma - open - 1)) + "." +
                     trim(src.substr(comma + 1, close - comma - 1)));
    }
  }
  // The promises: bullets that begin with a bold claim, up to the section
  // of what the controller does not do.
  const std::string_view promises = std::string_view(page).substr(
      0, page.find("## What the controller does not do"));
  int bullets = 0;
  for (std::size_t at = 0;
       (at = promises.find("\n- **", at)) != std::string::npos; ++at) {
    ++bullets;
    const std::size_t end = promises.find("\n- ", at + 1);
    const std::string_view bullet = promises.substr(at, end - at);
    int named = 0;
    for (std::size_t q = 0;
         (q = bullet.find('`', q)) != std::string_view::npos;) {
      const std::size_t r = bullet.find('`', q + 1);
      const std::string token(bullet.substr(q + 1, r - q - 1));
      q = r + 1;
      const bool test = token.find('.') != std::string::npos &&
                        token.find(' ') == std::string::npos &&
                        token.find('/') == std::string::npos;
      const bool fuzz = token.ends_with("_fuzz");
      if (!test && !fuzz) continue;
      ++named;
      EXPECT_TRUE(defined.contains(token)) << token << " does not exist";
    }
    EXPECT_GT(named, 0) << "a promise names no test:" << bullet;
  }
  EXPECT_GE(bullets, 20);
}

}  // namespace
}  // namespace controller
