// Trees for the whole-process benchmark, shaped like a JavaScript
// project's dependency folder: packages whose folders nest three to five
// deep below the root, about ten small files in each folder. The same shape
// always gives the same tree, byte for byte, on any machine.
//
// An entry is a file or a directory below the root; the root is not one.

#ifndef ZORVANE_BENCH_TREE_GEN_H_
#define ZORVANE_BENCH_TREE_GEN_H_

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

enum class TreeKind {
  kEmpty,     // nothing below the root: the memory baseline
  kMatching,  // packages under "node_modules", every file named "*.js"
  // Nine tenths of the entries under "node_modules" (the folder included),
  // the rest under "src"; every file named "*.js".
  kIgnored,
  // As kMatching, but no file name ends in ".js" (".d.ts", ".js.map",
  // ".json", ".md").
  kNonMatching,
  // Wide and flat: folders right below the root, each holding a folder's
  // worth of files (1,000 but for the last), one name in ten ending in
  // ".js" and the rest as kNonMatching's.
  kOneInTen,
};

struct TreeShape {
  TreeKind kind = TreeKind::kMatching;
  int64_t entries = 0;  // exactly this many, except for kEmpty
  uint64_t seed = 1;
  // Files hold nothing: a tree of a million entries then costs inodes, not
  // gigabytes of data blocks. A walk reads only statuses either way.
  bool emptyFiles = false;
};

/// The files of each folder of a kOneInTen tree.
inline constexpr int kFilesPerWideFolder = 1000;

struct PlannedEntry {
  std::string path;  // relative to the root, "/"-separated
  bool dir = false;
  uint32_t size = 0;  // bytes of a file
};

struct TreePlan {
  std::vector<PlannedEntry> entries;  // each folder before what it holds
  // The folder of kIgnored holding nine tenths of the entries ("node_modules");
  // empty for the other kinds.
  std::string ignored;
  // A "*.js" file outside `ignored`, for edits that every configuration
  // reports; empty for kEmpty and kNonMatching.
  std::string editTarget;
};

/// The plan of the tree `shape` describes. Pure: nothing is written.
TreePlan PlanTree(const TreeShape& shape);

/// Creates `root` (and its missing parents) and the plan's entries below
/// it. `root` must not hold any of them yet. Returns an empty text, or what
/// failed ("create /tmp/t/node_modules/a.js: no space left on device").
[[nodiscard]] std::string WriteTree(const std::string& root,
                                    const TreePlan& plan);

/// Opens `path` with `flags` (O_WRONLY and O_CREAT | O_EXCL for a new file,
/// or O_APPEND to add to one) and writes `text` in one write, so that a
/// listing sees the file's size and modification time change together.
/// Returns an empty text, or what failed.
[[nodiscard]] std::string WriteInOne(const std::string& path, int flags,
                                     const std::string& text);

/// A tree on disk for the length of a scope: removed, with whatever it
/// holds then, when the object goes.
class ScratchTree {
 public:
  explicit ScratchTree(std::string root) : root_(std::move(root)) {}
  ~ScratchTree();
  ScratchTree(const ScratchTree&) = delete;
  ScratchTree& operator=(const ScratchTree&) = delete;

  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

}  // namespace bench

#endif  // ZORVANE_BENCH_TREE_GEN_H_
