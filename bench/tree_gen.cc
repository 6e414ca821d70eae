#include "bench/tree_gen.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <system_error>

#include "bench/random.h"

namespace bench {

namespace {

// At least as many stems as files in a folder, so that consecutive stems
// give a folder distinct names.
constexpr const char* kFileStems[] = {
    "index",  "utils",   "parse",  "format", "config", "errors", "stream",
    "buffer", "cache",   "events", "loader", "compat", "legacy", "plugin",
    "client", "request", "queue",  "scope",  "walk",   "tokens",
};
constexpr const char* kFolderNames[] = {
    "lib", "dist", "src", "esm", "cjs", "internal", "helpers", "core",
};
constexpr const char* kSyllables[] = {
    "ka", "lo", "mi", "ren", "tus", "vo", "zel", "pra", "dun", "ish", "ora",
};
constexpr const char* kOtherSuffixes[] = {".d.ts", ".js.map", ".json", ".md"};

constexpr int kStems = static_cast<int>(std::size(kFileStems));
constexpr int kFolders = static_cast<int>(std::size(kFolderNames));
constexpr int kSyllableCount = static_cast<int>(std::size(kSyllables));
constexpr int kSuffixes = static_cast<int>(std::size(kOtherSuffixes));
constexpr int kMinFiles = 8;
constexpr int kMaxFiles = 12;
static_assert(kStems >= kMaxFiles);

class Planner {
 public:
  Planner(const TreeShape& shape, TreePlan* plan)
      : random_(shape.seed),
        jsNames_(shape.kind != TreeKind::kNonMatching),
        emptyFiles_(shape.emptyFiles),
        plan_(plan) {}

  // Adds folders right below the root, each with kFilesPerWideFolder files
  // (but the last), one name in ten a "*.js"; `n` entries in all.
  void Wide(int64_t n) {
    budget_ = n;
    for (int f = 0; budget_ > 0; ++f) {
      const std::string folder = "pkg-" + std::to_string(f);
      if (!Add(folder, true, 0)) return;
      for (int i = 0; i < kFilesPerWideFolder; ++i) {
        const std::string name = "file-" + std::to_string(i) +
                                 (i % 10 == 0 ? ".js" : OtherSuffix());
        if (!Add(folder + "/" + name, false, FileSize())) return;
      }
    }
  }

  // Adds the folder `top` with packages below it, `n` entries in all.
  void Fill(const std::string& top, int64_t n) {
    budget_ = n;
    if (!Add(top, true, 0)) return;
    for (int p = 0; budget_ > 0; ++p) {
      std::string pkg = top + "/" + PackageName(p);
      if (!Add(pkg, true, 0)) return;
      Folder(pkg, 2, random_.Between(3, 5));
    }
  }

 private:
  bool Add(const std::string& path, bool dir, uint32_t size) {
    if (budget_ <= 0) return false;
    plan_->entries.push_back({path, dir, size});
    --budget_;
    return true;
  }

  // Fills the folder `path`, `depth` levels below the root, with files and
  // with subfolders down to `maxDepth`.
  void Folder(const std::string& path, int depth, int maxDepth) {
    const int files = random_.Between(kMinFiles, kMaxFiles);
    const int stem = random_.Between(0, kStems - 1);
    for (int i = 0; i < files; ++i) {
      const char* name = kFileStems[(stem + i) % kStems];
      if (!Add(path + "/" + name + Suffix(), false, FileSize())) return;
    }
    if (depth >= maxDepth) return;
    const int subs = random_.Between(1, 3);
    const int first = random_.Between(0, kFolders - 1);
    for (int i = 0; i < subs; ++i) {
      std::string sub = path + "/" + kFolderNames[(first + i) % kFolders];
      if (!Add(sub, true, 0)) return;
      Folder(sub, depth + 1, maxDepth);
    }
  }

  std::string PackageName(int p) {
    const int last = kSyllableCount - 1;
    return std::string(kSyllables[random_.Between(0, last)]) +
           kSyllables[random_.Between(0, last)] + "-" + std::to_string(p);
  }

  std::string Suffix() { return jsNames_ ? ".js" : OtherSuffix(); }
  std::string OtherSuffix() {
    return kOtherSuffixes[random_.Between(0, kSuffixes - 1)];
  }
  uint32_t FileSize() {
    const auto size = static_cast<uint32_t>(random_.Between(40, 600));
    return emptyFiles_ ? 0 : size;
  }

  Random random_;
  const bool jsNames_;
  const bool emptyFiles_;
  TreePlan* plan_;
  int64_t budget_ = 0;
};

// The first file below `folder` in the plan.
std::string FirstFileUnder(const TreePlan& plan, const std::string& folder) {
  for (const PlannedEntry& e : plan.entries) {
    if (!e.dir && e.path.starts_with(folder + "/")) return e.path;
  }
  return "";
}

std::string Failure(const char* op, const std::string& path, int err) {
  return std::string(op) + " " + path + ": " + strerror(err);
}

// Small JavaScript-looking text of `size` bytes.
std::string Content(uint32_t size) {
  static const std::string kLine = "module.exports.value = 42; // bench\n";
  std::string text;
  text.reserve(size);
  while (text.size() < size) text += kLine;
  text.resize(size);
  return text;
}

}  // namespace

TreePlan PlanTree(const TreeShape& shape) {
  TreePlan plan;
  Planner planner(shape, &plan);
  switch (shape.kind) {
    case TreeKind::kEmpty:
      return plan;
    case TreeKind::kMatching:
    case TreeKind::kNonMatching:
      planner.Fill("node_modules", shape.entries);
      break;
    case TreeKind::kIgnored: {
      const int64_t ignored = shape.entries * 9 / 10;
      planner.Fill("node_modules", ignored);
      planner.Fill("src", shape.entries - ignored);
      plan.ignored = "node_modules";
      break;
    }
    case TreeKind::kOneInTen:
      planner.Wide(shape.entries);
      plan.editTarget = FirstFileUnder(plan, "pkg-0");
      return plan;
  }
  if (shape.kind != TreeKind::kNonMatching) {
    plan.editTarget = FirstFileUnder(
        plan, shape.kind == TreeKind::kIgnored ? "src" : "node_modules");
  }
  return plan;
}

std::string WriteTree(const std::string& root, const TreePlan& plan) {
  std::error_code ec;
  std::filesystem::create_directories(root, ec);
  if (ec) return "create " + root + ": " + ec.message();
  for (const PlannedEntry& e : plan.entries) {
    const std::string path = root + "/" + e.path;
    if (e.dir) {
      if (mkdir(path.c_str(), 0755) != 0) return Failure("mkdir", path, errno);
      continue;
    }
    if (std::string err =
            WriteInOne(path, O_WRONLY | O_CREAT | O_EXCL, Content(e.size));
        !err.empty()) {
      return err;
    }
  }
  return "";
}

std::string WriteInOne(const std::string& path, int flags,
                       const std::string& text) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) {
    return Failure((flags & O_CREAT) != 0 ? "create" : "open", path, errno);
  }
  if (text.empty()) {
    close(fd);
    return "";
  }
  const ssize_t n = write(fd, text.data(), text.size());
  const int err = errno;
  close(fd);
  if (n != static_cast<ssize_t>(text.size())) {
    return Failure("write", path, n < 0 ? err : EIO);
  }
  return "";
}

ScratchTree::~ScratchTree() {
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

}  // namespace bench
