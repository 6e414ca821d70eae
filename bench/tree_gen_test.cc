#include "bench/tree_gen.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "testsupport/temp_dir.h"

namespace bench {
namespace {

std::string Parent(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

int Depth(const std::string& path) {
  return 1 + static_cast<int>(std::count(path.begin(), path.end(), '/'));
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.ends_with(tail);
}

TEST(TreeGenTest, SameSeedSameTree) {
  const TreeShape shape{TreeKind::kIgnored, 3000, 7};
  const TreePlan a = PlanTree(shape);
  const TreePlan b = PlanTree(shape);
  ASSERT_EQ(a.entries.size(), b.entries.size());
  for (size_t i = 0; i < a.entries.size(); ++i) {
    EXPECT_EQ(a.entries[i].path, b.entries[i].path);
    EXPECT_EQ(a.entries[i].size, b.entries[i].size);
  }
  EXPECT_EQ(a.editTarget, b.editTarget);

  const TreePlan other = PlanTree({TreeKind::kIgnored, 3000, 8});
  bool differs = false;
  for (size_t i = 0; i < other.entries.size(); ++i) {
    differs |= other.entries[i].path != a.entries[i].path;
  }
  EXPECT_TRUE(differs);
}

// The shape every kind shares: exact size, folders before their contents,
// unique paths, folders three to five deep, about ten files a folder.
TEST(TreeGenTest, Shape) {
  const TreeShape shapes[] = {
      {TreeKind::kMatching, 10000, 1}, {TreeKind::kMatching, 100000, 1},
      {TreeKind::kIgnored, 10000, 1},  {TreeKind::kNonMatching, 10000, 1},
      {TreeKind::kMatching, 1, 1},     {TreeKind::kIgnored, 25, 3},
  };
  for (const TreeShape& shape : shapes) {
    SCOPED_TRACE(std::to_string(static_cast<int>(shape.kind)) + " " +
                 std::to_string(shape.entries));
    const TreePlan plan = PlanTree(shape);
    ASSERT_EQ(static_cast<int64_t>(plan.entries.size()), shape.entries);
    std::set<std::string> folders;
    std::set<std::string> paths;
    std::map<std::string, int> filesIn;
    int deepest = 0;
    for (const PlannedEntry& e : plan.entries) {
      EXPECT_TRUE(paths.insert(e.path).second) << "twice: " << e.path;
      const std::string parent = Parent(e.path);
      EXPECT_TRUE(parent.empty() || folders.count(parent)) << e.path;
      if (e.dir) {
        folders.insert(e.path);
        deepest = std::max(deepest, Depth(e.path));
      } else {
        ++filesIn[parent];
        EXPECT_GT(e.size, 0u) << e.path;
      }
    }
    EXPECT_LE(deepest, 5);
    if (shape.entries < 1000) continue;
    EXPECT_EQ(deepest, 5);
    const double perFolder =
        static_cast<double>(plan.entries.size() - folders.size()) /
        static_cast<double>(filesIn.size());
    EXPECT_GE(perFolder, 9);
    EXPECT_LE(perFolder, 11);
    for (const auto& [folder, n] : filesIn) EXPECT_LE(n, 12) << folder;
  }
}

TEST(TreeGenTest, Kinds) {
  const TreePlan empty = PlanTree({TreeKind::kEmpty, 500, 1});
  EXPECT_TRUE(empty.entries.empty());
  EXPECT_EQ(empty.editTarget, "");

  const TreePlan matching = PlanTree({TreeKind::kMatching, 2000, 1});
  EXPECT_EQ(matching.ignored, "");
  EXPECT_TRUE(matching.editTarget.starts_with("node_modules/"));
  bool targetListed = false;
  for (const PlannedEntry& e : matching.entries) {
    EXPECT_TRUE(e.dir || EndsWith(e.path, ".js")) << e.path;
    targetListed |= !e.dir && e.path == matching.editTarget;
  }
  EXPECT_TRUE(targetListed);

  const TreePlan non = PlanTree({TreeKind::kNonMatching, 2000, 1});
  EXPECT_EQ(non.editTarget, "");
  for (const PlannedEntry& e : non.entries) {
    EXPECT_FALSE(EndsWith(e.path, ".js")) << e.path;
  }

  const TreePlan ignored = PlanTree({TreeKind::kIgnored, 10000, 1});
  EXPECT_EQ(ignored.ignored, "node_modules");
  int under = 0;
  for (const PlannedEntry& e : ignored.entries) {
    under += e.path == "node_modules" || e.path.starts_with("node_modules/");
  }
  EXPECT_EQ(under, 9000);
  EXPECT_TRUE(ignored.editTarget.starts_with("src/"));
  EXPECT_TRUE(EndsWith(ignored.editTarget, ".js"));

  // 200 folders of 1,000 files, one name in ten matching.
  const TreePlan wide = PlanTree({TreeKind::kOneInTen, 200200, 1});
  ASSERT_EQ(wide.entries.size(), 200200u);
  std::map<std::string, int> filesIn;
  int js = 0;
  for (const PlannedEntry& e : wide.entries) {
    if (e.dir) {
      EXPECT_EQ(Depth(e.path), 1) << e.path;
      continue;
    }
    ++filesIn[Parent(e.path)];
    js += EndsWith(e.path, ".js");
  }
  EXPECT_EQ(filesIn.size(), 200u);
  for (const auto& [folder, n] : filesIn) EXPECT_EQ(n, 1000) << folder;
  EXPECT_EQ(js, 20000);
  EXPECT_TRUE(EndsWith(wide.editTarget, ".js"));

  // Empty files: the same paths, nothing in them.
  TreeShape emptyShape{TreeKind::kMatching, 2000, 1};
  emptyShape.emptyFiles = true;
  const TreePlan emptied = PlanTree(emptyShape);
  ASSERT_EQ(emptied.entries.size(), matching.entries.size());
  for (size_t i = 0; i < emptied.entries.size(); ++i) {
    EXPECT_EQ(emptied.entries[i].path, matching.entries[i].path);
    EXPECT_EQ(emptied.entries[i].size, 0u);
  }
}

TEST(TreeGenTest, WritesThePlan) {
  testsupport::TempDir t;
  const std::string root = t / "deeper/tree";
  const TreePlan plan = PlanTree({TreeKind::kIgnored, 500, 2});
  ASSERT_EQ(WriteTree(root, plan), "");
  size_t onDisk = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    (void)e;
    ++onDisk;
  }
  EXPECT_EQ(onDisk, plan.entries.size());
  for (const PlannedEntry& e : plan.entries) {
    struct stat st;
    ASSERT_EQ(lstat((root + "/" + e.path).c_str(), &st), 0) << e.path;
    EXPECT_EQ(S_ISDIR(st.st_mode), e.dir) << e.path;
    if (!e.dir) {
      EXPECT_EQ(st.st_size, e.size) << e.path;
    }
  }
  // A tree is never written over another: that would mix two seeds.
  const std::string err = WriteTree(root, plan);
  EXPECT_NE(err.find(root + "/node_modules"), std::string::npos) << err;
}

}  // namespace
}  // namespace bench
