// Changes a generated tree the way a developer's day does: edits,
// creations, renames within and across folders, deletions, and whole
// folders replaced (removed and written again, as a checkout does). Every
// file it touches ends in ".js", so each change matches the pattern
// "\.js$". The same seed on the same tree gives the same changes.
//
// Single-threaded; nothing else may change the tree meanwhile.

#ifndef ZORVANE_BENCH_TREE_CHANGER_H_
#define ZORVANE_BENCH_TREE_CHANGER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "bench/random.h"
#include "bench/tree_gen.h"

namespace bench {

enum class ChangeKind {
  kEdit,           // a line appended to a file, in one write
  kCreate,         // a new file
  kRenameWithin,   // a file renamed in its folder
  kRenameAcross,   // a file moved to another folder
  kDelete,         // a file removed
  kReplaceFolder,  // a folder without subfolders removed and written again
};
inline constexpr int kChangeKinds = 6;

/// "edit", "create", "rename within", "rename across", "delete",
/// "replace folder".
const char* ChangeKindName(ChangeKind kind);

class TreeChanger {
 public:
  /// The tree at `root` must have been written from `plan` (WriteTree) and
  /// hold at least one file.
  TreeChanger(std::string root, const TreePlan& plan, uint64_t seed);

  /// Makes one change of a kind chosen at random and says which in
  /// `*kind`. Returns an empty text, or what failed.
  [[nodiscard]] std::string Change(ChangeKind* kind);

  /// Files below the root as the changes have left them, relative paths.
  const std::vector<std::string>& files() const { return files_; }

 private:
  std::string Edit();
  std::string Create();
  std::string Rename(bool across);
  std::string Delete();
  std::string ReplaceFolder();

  std::string Path(const std::string& rel) const { return root_ + "/" + rel; }
  // A file picked at random; files_ is never empty when called.
  size_t AnyFile() {
    return static_cast<size_t>(random_.Next() % files_.size());
  }
  const std::string& AnyFolder();
  // A name no file has had before, in `folder`.
  std::string NewName(const std::string& folder, const char* stem);

  const std::string root_;
  Random random_;
  std::vector<std::string> files_;    // relative paths
  std::vector<std::string> folders_;  // relative paths, root excluded
  std::vector<std::string> leaves_;   // folders_ without subfolders
  int64_t serial_ = 0;                // for new names and edit lines
};

}  // namespace bench

#endif  // ZORVANE_BENCH_TREE_CHANGER_H_
