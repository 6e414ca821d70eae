// The docs against the program: every variable the program reads or sets
// and every option it has is documented in the manual page and the README;
// no doc names a ZORVANE_ variable that the program does not know; the log
// lines the guides quote are made of the controller's own texts; the
// guide's examples of watch lists are what the program reads; every
// description of what counts as a change names all of it; and the docs'
// links lead to files and headings that exist.

#include <gtest/gtest.h>

#include "controller/docs_test_util.h"

namespace controller::docs {
namespace {

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

// The map of the house names what is there: every file it names exists,
// and every thread in its table is started under that name.
TEST(DocsTest, ArchitectureNamesFilesAndThreadsThatExist) {
  const std::string map = ReadFile((kSourceDir / "ARCHITECTURE.md").c_str());
  ASSERT_FALSE(map.empty());
  // `controller/registry.h`, `supervise/stop.cc`: a folder and a file.
  size_t files = 0;
  for (size_t at = map.find('`'); at != std::string::npos;
       at = map.find('`', at + 1)) {
    const size_t end = map.find('`', at + 1);
    if (end == std::string::npos) break;
    const std::string name = map.substr(at + 1, end - at - 1);
    at = end;
    if (name.find('/') == std::string::npos || name.find(' ') != std::string::npos ||
        name.find('*') != std::string::npos ||
        !(name.ends_with(".h") || name.ends_with(".cc") || name.ends_with(".md"))) {
      continue;
    }
    ++files;
    EXPECT_TRUE(std::filesystem::exists(kSourceDir / name)) << name;
  }
  EXPECT_GE(files, 10u);
  // The threads' table: "| `name` | started by ...", but for the main
  // thread, which nobody starts.
  std::string sources;
  for (const char* folder : {"controller", "klog", "supervise", "watcher"}) {
    for (const auto& entry :
         std::filesystem::directory_iterator(kSourceDir / folder)) {
      if (entry.path().extension() == ".cc") {
        sources += ReadFile(entry.path().c_str());
      }
    }
  }
  // The names the sources start threads under, blanks after "(" skipped.
  std::set<std::string> started;
  const std::string call = "StartDetachedThread(";
  for (size_t at = sources.find(call); at != std::string::npos;
       at = sources.find(call, at + 1)) {
    const size_t open = sources.find_first_not_of(" \n", at + call.size());
    if (open == std::string::npos || sources[open] != '"') continue;
    const size_t close = sources.find('"', open + 1);
    started.insert(sources.substr(open + 1, close - open - 1));
  }
  size_t threads = 0;
  for (const MarkdownLine& line : MarkdownLines(map)) {
    if (line.block || !line.text.starts_with("| `")) continue;
    const size_t end = line.text.find('`', 3);
    const std::string name = line.text.substr(3, end - 3);
    if (name.find('/') != std::string::npos) continue;  // the folders' table
    ++threads;
    EXPECT_TRUE(started.contains(name)) << "no thread is started as " << name;
  }
  EXPECT_EQ(threads, 6u);
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
}  // namespace controller::docs
