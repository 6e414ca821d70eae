#include "bench/tree_changer.h"

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport/temp_dir.h"

namespace bench {
namespace {

// The files below `root`, relative to it.
std::set<std::string> FilesOnDisk(const std::string& root) {
  std::set<std::string> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    if (e.is_regular_file()) {
      files.insert(std::filesystem::relative(e.path(), root).string());
    }
  }
  return files;
}

struct Changed {
  std::vector<ChangeKind> kinds;
  std::set<std::string> files;
};

// Makes `changes` changes to a fresh tree made from `seed`.
Changed Changes(int changes, uint64_t seed) {
  testsupport::TempDir dir;
  const TreePlan plan = PlanTree({TreeKind::kMatching, 400, seed});
  EXPECT_EQ(WriteTree(dir.path(), plan), "");
  TreeChanger changer(dir.path(), plan, seed);
  Changed run;
  for (int i = 0; i < changes; ++i) {
    ChangeKind kind;
    EXPECT_EQ(changer.Change(&kind), "") << i;
    run.kinds.push_back(kind);
  }
  run.files = FilesOnDisk(dir.path());
  // What the changer believes is what is on disk.
  const std::set<std::string> believed(changer.files().begin(),
                                       changer.files().end());
  EXPECT_EQ(believed, run.files);
  EXPECT_EQ(believed.size(), changer.files().size());
  return run;
}

TEST(TreeChangerTest, KeepsTrackOfTheTree) {
  const Changed run = Changes(600, 3);
  std::set<ChangeKind> kinds(run.kinds.begin(), run.kinds.end());
  EXPECT_EQ(kinds.size(), static_cast<size_t>(kChangeKinds));
  // Every change touches files the pattern "\.js$" matches.
  for (const std::string& f : run.files) {
    EXPECT_TRUE(f.ends_with(".js")) << f;
  }
}

TEST(TreeChangerTest, SameSeedSameChanges) {
  const Changed a = Changes(200, 9);
  const Changed b = Changes(200, 9);
  EXPECT_EQ(a.kinds, b.kinds);
  EXPECT_EQ(a.files, b.files);
  EXPECT_NE(Changes(200, 10).kinds, a.kinds);
}

}  // namespace
}  // namespace bench
