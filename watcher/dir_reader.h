// Reading a directory whole, with the raw getdents64 system call: no
// per-entry allocation, no DIR stream. Internal to the watcher.

#ifndef ZORVANE_WATCHER_DIR_READER_H_
#define ZORVANE_WATCHER_DIR_READER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace watcher {

/// The entries of one directory, "." and ".." left out, in the order the
/// directory gives them. Reused from directory to directory, so that
/// reading an unchanged tree allocates nothing.
struct DirEntries {
  struct Ent {
    uint32_t off;  // into `names`
    uint16_t len;
    uint8_t type;  // DT_DIR, DT_REG, ..., or DT_UNKNOWN
  };
  /// The names as read, each followed by a NUL for the calls that take
  /// them.
  std::string names;
  std::vector<Ent> ents;

  std::string_view name(const Ent& e) const {
    return std::string_view(names).substr(e.off, e.len);
  }
};

/// A buffer for the kernel's directory records, shared by every read of
/// one walk.
class DirReader {
 public:
  /// Reads every entry of the open directory `fd` into `*out` (replacing
  /// what it held). Returns 0, or the error number of the failed read; the
  /// entries read before a failure are left in `*out`.
  int Read(int fd, DirEntries* out);

 private:
  std::unique_ptr<char[]> buf_;
};

}  // namespace watcher

#endif  // ZORVANE_WATCHER_DIR_READER_H_
