#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "watcher/reference.h"
#include "watcher/test_util.h"
#include "watcher/watcher.h"

namespace watcher {
namespace {

using test::WriteFile;
using Set = std::set<std::string>;

TEST(PathTest, Clean) {
  const std::pair<const char*, const char*> cases[] = {
      {"/a//b/./c/../d/", "/a/b/d"},
      {"/../x", "/x"},
      {"/", "/"},
      {"//", "/"},
      {"a/../..", ".."},
      {"", "."},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(cleanPath(in), want) << in;
}

TEST(EventTest, Text) {
  const FileInfo file{.name = "notes.txt", .mode = S_IFREG | 0644};
  const FileInfo dir{.name = "d", .mode = S_IFDIR | 0755};
  const FileInfo odd{.name = "a\"b\\c\n\x01\xff", .mode = S_IFREG};
  // A non-character, a private-use and a format code point: the name is
  // quoted by the same routine as the option parser's error line.
  const FileInfo unprintable{.name = "\xef\xbf\xbf\xee\x80\x80\xd8\x80",
                             .mode = S_IFREG};
  EXPECT_EQ(String(Op::Move), "MOVE");
  EXPECT_EQ(String(static_cast<Op>(6)), "???");
  EXPECT_EQ((Event{Op::Write, "/w/notes.txt", file}.String()),
            "FILE \"notes.txt\" WRITE [/w/notes.txt]");
  EXPECT_EQ((Event{Op::Create, "/w/d", dir}.String()),
            "DIRECTORY \"d\" CREATE [/w/d]");
  EXPECT_EQ((Event{Op::Chmod, "/p", odd}.String()),
            "FILE \"a\\\"b\\\\c\\n\\x01\\xff\" CHMOD [/p]");
  EXPECT_EQ((Event{Op::Write, "/p", unprintable}.String()),
            "FILE \"\\uffff\\ue000\\u0600\" WRITE [/p]");
  EXPECT_EQ((Event{Op::Write, "/p", std::nullopt}.String()), "???");
}

// A small tree: a.txt, b.png, .h.txt, sub/c.txt, sub/d.png.
class TreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* f : {"a.txt", "b.png", ".h.txt"}) WriteFile(t_ / f);
    mkdir((t_ / "sub").c_str(), 0755);
    for (const char* f : {"sub/c.txt", "sub/d.png"}) WriteFile(t_ / f);
  }

  Set Files(Watcher& w) { return t_.Rels(WatcherPeer::Files(w)); }

  test::TempDir t_;
};

TEST_F(TreeTest, Filters) {
  const RE2 txt("\\.txt$");
  const RE2 sub("/sub");
  const struct {
    const char* name;
    std::vector<FilterFileHookFunc> hooks;
    Set want;
  } cases[] = {
      {"none",
       {},
       {".", "a.txt", "b.png", ".h.txt", "sub", "sub/c.txt", "sub/d.png"}},
      // Directories the hook rejects, the root included, are still entered.
      {"base name",
       {RegexFilterHook(txt, false)},
       {"a.txt", ".h.txt", "sub/c.txt"}},
      {"full path",
       {RegexFilterHook(sub, true)},
       {"sub", "sub/c.txt", "sub/d.png"}},
      {"in turn",
       {RegexFilterHook(txt, false), RegexFilterHook(sub, true)},
       {"sub/c.txt"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto w = New();
    for (const auto& h : c.hooks) w->AddFilterHook(h);
    ASSERT_TRUE(w->AddRecursive(t_.path()).ok());
    EXPECT_EQ(Files(*w), c.want);
  }
}

TEST_F(TreeTest, AddFailures) {
  auto w = New();
  const Status boom("boom");
  w->AddFilterHook([&](const FileInfo& info, const std::string&) {
    return info.name == "b.png" ? boom : Status();
  });
  EXPECT_EQ(w->AddRecursive(t_.path()), boom);
  EXPECT_EQ(w->AddRecursive(t_ / "none").Error(),
            "lstat " + (t_ / "none") + ": no such file or directory");
  EXPECT_TRUE(WatcherPeer::Names(*w).empty());
  EXPECT_TRUE(WatcherPeer::Files(*w).empty());
  // Only the name that does not exist is looked for later.
  EXPECT_EQ(WatcherPeer::Missing(*w),
            (std::map<std::string, bool>{{t_ / "none", false}}));
}

TEST_F(TreeTest, NamesAreAbsoluteAndClean) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(t_.path().c_str()), 0);
  auto w = New();
  const Status added = w->AddRecursive("./sub/");
  ASSERT_EQ(chdir(cwd), 0);
  ASSERT_TRUE(added.ok());
  EXPECT_EQ(WatcherPeer::Names(*w),
            (std::map<std::string, bool>{{t_ / "sub", true}}));
  EXPECT_EQ(Files(*w), (Set{"sub", "sub/c.txt", "sub/d.png"}));
}

TEST_F(TreeTest, SymbolicLinksAreFollowedOnlyAsTheRoot) {
  ASSERT_EQ(symlink((t_ / "sub").c_str(), (t_ / "link").c_str()), 0);
  ASSERT_EQ(symlink((t_ / "a.txt").c_str(), (t_ / "filelink").c_str()), 0);
  ASSERT_EQ(symlink((t_ / "none").c_str(), (t_ / "dangling").c_str()), 0);
  ASSERT_EQ(symlink((t_ / "link").c_str(), (t_ / "sub/back").c_str()), 0);
  auto w = New();
  ASSERT_TRUE(w->AddRecursive(t_.path()).ok());
  EXPECT_EQ(Files(*w).count("link"), 1u);
  EXPECT_EQ(Files(*w).count("link/c.txt"), 0u);

  // As the root, a link is walked as its target, under its own name; links
  // below it are still not entered.
  auto onLink = New();
  ASSERT_TRUE(onLink->AddRecursive(t_ / "link").ok());
  ASSERT_TRUE(onLink->AddRecursive(t_ / "filelink").ok());
  EXPECT_EQ(Files(*onLink),
            (Set{"link", "link/back", "link/c.txt", "link/d.png", "filelink"}));
  const Listing files = WatcherPeer::Files(*onLink);
  EXPECT_TRUE(files.at(t_ / "link").IsDir());
  EXPECT_TRUE(S_ISLNK(files.at(t_ / "link/back").mode));
  EXPECT_EQ(files.at(t_ / "filelink").size, 1);
  EXPECT_TRUE(S_ISREG(files.at(t_ / "filelink").mode));
  // Dangling, it is a name that does not exist.
  const Status dangling = onLink->AddRecursive(t_ / "dangling");
  EXPECT_EQ(dangling.Error(),
            "stat " + (t_ / "dangling") + ": no such file or directory");
  EXPECT_EQ(WatcherPeer::Missing(*onLink),
            (std::map<std::string, bool>{{t_ / "dangling", false}}));

  // The one-level listing follows a link given as the name.
  const std::vector<FilterFileHookFunc> hooks;
  const std::unordered_set<std::string> ignored;
  Listing l;
  ASSERT_TRUE(list(t_ / "link", {&hooks, &ignored}, &l).ok());
  EXPECT_EQ(t_.Rels(l), (Set{"link", "link/back", "link/c.txt", "link/d.png"}));
}

TEST_F(TreeTest, RemoveAndRemoveRecursive) {
  // Below sub a deeper level, and beside it a sibling extending its name.
  mkdir((t_ / "sub/deep").c_str(), 0755);
  WriteFile(t_ / "sub/deep/e");
  mkdir((t_ / "sub2").c_str(), 0755);
  WriteFile(t_ / "sub2/f");
  const Set rest = {".", "a.txt", "b.png", ".h.txt", "sub2", "sub2/f"};
  for (const bool recursive : {false, true}) {
    SCOPED_TRACE(recursive);
    auto w = New();
    ASSERT_TRUE(w->AddRecursive(t_.path()).ok());
    ASSERT_TRUE(w->AddRecursive(t_ / "sub").ok());
    ASSERT_TRUE(
        (recursive ? w->RemoveRecursive(t_ / "sub") : w->Remove(t_ / "sub"))
            .ok());
    Set want = rest;
    if (!recursive) want.insert("sub/deep/e");
    EXPECT_EQ(Files(*w), want);
    EXPECT_EQ(WatcherPeer::Names(*w).count(t_ / "sub"), 0u);
  }
}

TEST_F(TreeTest, EntryVanishingDuringTheWalkIsLeftOut) {
  mkdir((t_ / "tail").c_str(), 0755);
  WriteFile(t_ / "tail/z");
  auto w = New();
  // When a.txt is visited, sub has been read but not yet opened.
  w->AddFilterHook([&](const FileInfo& info, const std::string&) {
    if (info.name == "a.txt") std::filesystem::remove_all(t_ / "sub");
    return Status();
  });
  ASSERT_TRUE(w->AddRecursive(t_.path()).ok());
  EXPECT_EQ(Files(*w).count("sub/c.txt"), 0u);
  EXPECT_EQ(Files(*w).count("tail/z"), 1u) << "the walk ended early";
}

}  // namespace
}  // namespace watcher
