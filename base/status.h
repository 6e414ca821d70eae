// Error values.
//
// A Status is either no error (the default) or an error with a message.
// Copies share one immutable representation, and two Status values are the
// same error exactly when they share it, so a fixed error created once is
// recognised by identity across every component that passes it on:
//
//   if (err == watcher::ErrSkip) ...
//
// A failure of a system call on a path also carries the operation
// ("lstat", "open"), the path and the error number; its message reads
// "lstat /w/app: no such file or directory".
//
// When to return what: a Status where a caller may report or pass the
// failure on; a plain `bool` where the only question is yes or no and the
// reason matters to nobody (a signal that reached nobody); an `int` error
// number where the caller branches on the kind (EMFILE, ENOENT) on a hot
// path and the text would be built for nothing.

#ifndef ZORVANE_BASE_STATUS_H_
#define ZORVANE_BASE_STATUS_H_

#include <memory>
#include <string>
#include <string_view>

namespace base {

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
/// case, as errors are worded here ("no such file or directory").
std::string ErrnoText(int err);

/// An error reading `prefix` followed by ErrnoText(err).
Status ErrnoStatus(std::string_view prefix, int err);

}  // namespace base

#endif  // ZORVANE_BASE_STATUS_H_
