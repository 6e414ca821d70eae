// The watcher's records: file status, change kinds, events and listings.

#ifndef ZORVANE_WATCHER_EVENT_H_
#define ZORVANE_WATCHER_EVENT_H_

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "watcher/status.h"

namespace watcher {

/// A modification time, to the nanosecond.
using Time = std::chrono::time_point<std::chrono::system_clock,
                                     std::chrono::nanoseconds>;

/// The status of one file or directory as the file system reported it.
struct FileInfo {
  /// The device and inode numbers: what makes two records the same file.
  struct Sys {
    uint64_t dev = 0;
    uint64_t ino = 0;
  };

  /// A record of the status `st` of a file whose base name is `name`.
  static FileInfo FromStat(std::string name, const struct stat& st);

  bool IsDir() const { return S_ISDIR(mode); }

  std::string name;  ///< Base name.
  int64_t size = 0;
  uint32_t mode = 0;  ///< File type and permission bits, as in st_mode.
  Time modTime;
  /// Present when the record comes from the file system's status call;
  /// records made otherwise never count as the same file as another.
  std::optional<Sys> sys;
};

/// True when both records carry a device and inode number and both are
/// equal.
bool sameFile(const FileInfo& fi1, const FileInfo& fi2);

/// The kind of a change.
enum class Op : uint32_t {
  Create = 0,
  Write = 1,
  Remove = 2,
  Rename = 3,
  Chmod = 4,
  Move = 5,
};

/// "CREATE", "WRITE", "REMOVE", "RENAME", "CHMOD", "MOVE"; "???" for any
/// other value.
std::string_view String(Op op);

/// One change. A value; copy it freely.
struct Event {
  watcher::Op Op = watcher::Op::Create;
  /// The full path; for Rename and Move "<old path> -> <new path>".
  std::string Path;
  /// The status of the file: the new one, except for Remove, Rename and
  /// Move, which carry the previous one. Absent only in hand-made events.
  std::optional<watcher::FileInfo> FileInfo;
  /// For Rename and Move, the new path alone (Path cannot be split back
  /// with certainty: a name may hold " -> " itself); empty otherwise.
  std::string NewPath = {};

  /// `FILE "notes.txt" WRITE [/w/notes.txt]` (DIRECTORY for a directory;
  /// the base name quoted by text::Quote); "???" without FileInfo.
  std::string String() const;

  // The status queries forward to FileInfo; without one they answer false,
  // zero or empty.
  bool IsDir() const { return FileInfo && FileInfo->IsDir(); }
  Time ModTime() const { return FileInfo ? FileInfo->modTime : Time(); }
  uint32_t Mode() const { return FileInfo ? FileInfo->mode : 0; }
  std::string Name() const { return FileInfo ? FileInfo->name : ""; }
  int64_t Size() const { return FileInfo ? FileInfo->size : 0; }
  std::optional<watcher::FileInfo::Sys> Sys() const {
    return FileInfo ? FileInfo->sys : std::nullopt;
  }
};

/// A listing: full path to the status of that file or directory.
using Listing = std::unordered_map<std::string, FileInfo>;

/// A filter hook. Called with an entry's status and its full path during a
/// listing, it returns no error to keep the entry, ErrSkip to leave it out,
/// or any other error to abort the listing with that very error. It runs on
/// the thread that lists, with the watcher's lock held: it must not call
/// the watcher.
using FilterFileHookFunc =
    std::function<Status(const FileInfo& info, const std::string& fullPath)>;

/// A filter hook that judges an entry by its base name, its full path and
/// whether it is a directory, and by nothing else: the same arguments must
/// always get the same answer, so the watcher may remember it, and for an
/// entry left out that is not a directory it need not read the status at
/// all. It answers as a FilterFileHookFunc does; ErrSkipDir leaves a
/// directory out and does not enter it (for a file it is ErrSkip). It runs
/// with the watcher's lock held: it must not call the watcher.
using NameFilterHookFunc = std::function<Status(
    std::string_view name, const std::string& fullPath, bool isDir)>;

}  // namespace watcher

#endif  // ZORVANE_WATCHER_EVENT_H_
