// What the docs tests share: reading the docs and the sources, and the
// small parsers of roff, Markdown and C++ string literals they need.

#ifndef ZORVANE_CONTROLLER_DOCS_TEST_UTIL_H_
#define ZORVANE_CONTROLLER_DOCS_TEST_UTIL_H_


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

namespace controller::docs {

inline std::string ReadFile(const char* path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The manual page's text without the escapes that split or disguise a
// name: font changes ("\fBZORVANE_RUN\fR") and the escaped dash ("\-v").
inline std::string PlainManText(std::string_view roff) {
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

inline bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '_';
}

// Whether `text` holds `word` with no name character right after it, nor
// right before it: "-v" is not found in "-verbose", nor ZORVANE_RUN in
// ZORVANE_RUN_KILL.
inline bool HasWord(std::string_view text, std::string_view word) {
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
inline std::string_view TrimBlanks(std::string_view s) {
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
inline std::set<std::string> VariableNames(std::string_view text) {
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
inline std::set<std::string> VariablesRead() {
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
inline std::set<std::string> VariablesSet() {
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
inline std::vector<std::string> Options() {
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
inline std::vector<Doc> Docs() {
  return {{ZORVANE_MANUAL_PATH, PlainManText(ReadFile(ZORVANE_MANUAL_PATH))},
          {ZORVANE_README_PATH, ReadFile(ZORVANE_README_PATH)}};
}

// The guides, which document what they need.
inline std::vector<Doc> Guides() {
  return {{kStackGuide, ReadFile(kStackGuide.c_str())},
          {kTroubleshooting, ReadFile(kTroubleshooting.c_str())}};
}

// Names a guide spells wrong on purpose, to show what a misspelling does.
const std::set<std::string> kMisspeltOnPurpose = {"ZORVANE_WATCH_DIRS"};

// The string literals of C++ source text, escapes decoded, with adjacent
// literals joined as the compiler joins them ("a" "b" is "ab"). Comments
// and character literals are skipped, so a quote in them starts nothing.
inline std::vector<std::string> StringLiterals(std::string_view src) {
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
inline std::vector<std::string> ControllerLiterals() {
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
inline bool IsConcatenation(std::string_view text,
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
inline bool IsControllerLine(std::string_view line,
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
inline std::vector<MarkdownLine> MarkdownLines(const std::string& markdown) {
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
inline std::vector<std::string> QuotedLogLines(const std::string& markdown) {
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
inline std::vector<Link> LocalLinks(std::string_view markdown) {
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
inline std::set<std::string> HeadingAnchors(const std::string& markdown) {
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

}  // namespace controller::docs

#endif  // ZORVANE_CONTROLLER_DOCS_TEST_UTIL_H_
