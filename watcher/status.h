// Error values of the watcher.
//
// A Status is either no error (the default) or an error with a message.
// Copies share one immutable representation, and two Status values are the
// same error exactly when they share it, so a fixed error created once (the
// Err* values below) is recognised by identity:
//
//   if (err == watcher::ErrSkip) ...
//
// A failure of a file-system call also carries the operation ("lstat",
// "stat", "open", "readdirent"), the path and the error number; its message
// reads "lstat /w/app: no such file or directory".

#ifndef ZORVANE_WATCHER_STATUS_H_
#define ZORVANE_WATCHER_STATUS_H_

#include <memory>
#include <string>
#include <string_view>

namespace watcher {

class [[nodiscard]] Status {
 public:
  /// No error.
  Status() = default;
  /// An error with the message `message` and no path.
  explicit Status(std::string message);

  /// The failure `err` (an errno value) of the operation `op` on `path`.
  static Status PathError(std::string_view op, std::string path, int err);

  bool ok() const { return rep_ == nullptr; }

  /// The message; "<nil>" for no error.
  std::string Error() const;

  /// For a path failure: the operation, the path and the error number;
  /// empty texts and 0 otherwise.
  const std::string& op() const;
  const std::string& path() const;
  int errnum() const;

  /// True for a path failure because the path does not exist (ENOENT).
  bool IsNotExist() const;

  /// Identity: both no error, or both copies of one error.
  friend bool operator==(const Status& a, const Status& b) {
    return a.rep_ == b.rep_;
  }

 private:
  struct Rep {
    std::string message;
    std::string op;
    std::string path;
    int err = 0;
  };
  explicit Status(std::shared_ptr<const Rep> rep) : rep_(std::move(rep)) {}

  std::shared_ptr<const Rep> rep_;
};

/// The system's message for the errno value `err`, first letter in lower
/// case ("no such file or directory").
std::string ErrnoText(int err);

// The fixed error values. They are created once and never destroyed, so they
// may be compared from any thread at any time, exit included.

/// "error: duration is less than 1ns": Start was given an interval below
/// one nanosecond.
extern const Status& ErrDurationTooShort;
/// "error: watcher is already running": Start was called on a running
/// watcher.
extern const Status& ErrWatcherRunning;
/// "error: watched file or folder deleted": a name on the watch list no
/// longer exists; sent on the error queue.
extern const Status& ErrWatchedFileDeleted;
/// "error: skipping file": a filter hook's answer to leave an entry out.
extern const Status& ErrSkip;
/// "error: skipping directory": a filter hook's answer to leave a directory
/// out and not enter it (nothing below it can be kept); for a file, the
/// same as ErrSkip.
extern const Status& ErrSkipDir;
/// "error: watcher is closed": Start was called on a watcher whose loop has
/// already stopped; a watcher runs at most once.
extern const Status& ErrWatcherClosed;

}  // namespace watcher

#endif  // ZORVANE_WATCHER_STATUS_H_
