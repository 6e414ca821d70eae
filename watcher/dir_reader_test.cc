// The directory reader against what was put in the directory: every entry
// once, with its kind, whatever the names' lengths and however many reads
// of the kernel's records it takes.

#include "watcher/dir_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "watcher/test_util.h"

namespace watcher {
namespace {

using test::TempDir;

enum class Kind { kFile, kDir, kLink };

// What Read gave: name -> type. Every name must be followed by its NUL,
// which the status and open calls of the walk rely on.
std::map<std::string, uint8_t> ReadAll(DirReader& reader,
                                       const std::string& dir, int* err) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  EXPECT_GE(fd, 0) << dir;
  DirEntries entries;
  *err = reader.Read(fd, &entries);
  ::close(fd);
  std::map<std::string, uint8_t> out;
  for (const DirEntries::Ent& e : entries.ents) {
    const std::string_view name = entries.name(e);
    EXPECT_EQ(entries.names[e.off + e.len], '\0') << name;
    EXPECT_TRUE(out.emplace(std::string(name), e.type).second)
        << "listed twice: " << name;
  }
  return out;
}

TEST(DirReaderTest, ReadsEveryEntryWithItsKind) {
  const std::string longest(NAME_MAX, 'n');
  struct Case {
    std::string name;
    std::map<std::string, Kind> entries;
  };
  std::map<std::string, Kind> many;
  // Far more than one read's buffer holds: the reader must go on reading.
  for (int i = 0; i < 1500; ++i) {
    many.emplace(std::string(40, 'a' + i % 26) + std::to_string(i),
                 Kind::kFile);
  }
  const Case cases[] = {
      {"empty: dot and dot-dot are left out", {}},
      {"one of each kind",
       {{"file", Kind::kFile}, {"dir", Kind::kDir}, {"link", Kind::kLink}}},
      {"a name of the longest length",
       {{longest, Kind::kFile}, {"x", Kind::kDir}}},
      {"names that look like dot entries",
       {{"...", Kind::kFile}, {".a", Kind::kFile}, {"..b", Kind::kDir}}},
      {"many entries", many},
  };
  DirReader reader;  // one for every case, as one walk shares it
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir t;
    for (const auto& [name, kind] : c.entries) {
      const std::string path = t / name;
      switch (kind) {
        case Kind::kFile:
          test::WriteFile(path);
          break;
        case Kind::kDir:
          ASSERT_EQ(::mkdir(path.c_str(), 0755), 0) << path;
          break;
        case Kind::kLink:
          ASSERT_EQ(::symlink("file", path.c_str()), 0) << path;
          break;
      }
    }
    int err = -1;
    const auto got = ReadAll(reader, t.path(), &err);
    EXPECT_EQ(err, 0);
    ASSERT_EQ(got.size(), c.entries.size());
    for (const auto& [name, kind] : c.entries) {
      const auto it = got.find(name);
      ASSERT_NE(it, got.end()) << "missing: " << name.substr(0, 20);
      // A file system may not tell the kind; the walk reads it then.
      if (it->second == DT_UNKNOWN) continue;
      const uint8_t want = kind == Kind::kFile  ? DT_REG
                           : kind == Kind::kDir ? DT_DIR
                                                : DT_LNK;
      EXPECT_EQ(it->second, want) << name.substr(0, 20);
    }
  }
}

// A descriptor that is no directory: the error number comes back, and
// what the entries held before is gone.
TEST(DirReaderTest, ReportsAFailedRead) {
  TempDir t;
  test::WriteFile(t / "file");
  DirReader reader;
  DirEntries entries;
  entries.names = std::string("old\0", 4);
  entries.ents.push_back({0, 3, DT_REG});
  const int fd = ::open((t / "file").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(reader.Read(fd, &entries), ENOTDIR);
  ::close(fd);
  EXPECT_TRUE(entries.ents.empty());
}

}  // namespace
}  // namespace watcher
