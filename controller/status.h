// Error values.
//
// A Status is either no error (the default) or an error with a message
// text. Copies share one message, and two Status values are the same error
// exactly when they share it: a fixed error created once can be recognised
// by identity. Failures travel as Status results; the caller decides what
// to do with them.

#ifndef ZORVANE_CONTROLLER_STATUS_H_
#define ZORVANE_CONTROLLER_STATUS_H_

#include <memory>
#include <string>
#include <string_view>

namespace controller {

class [[nodiscard]] Status {
 public:
  // No error.
  Status() = default;
  // An error with the message `message`.
  explicit Status(std::string message)
      : message_(std::make_shared<const std::string>(std::move(message))) {}

  bool ok() const { return message_ == nullptr; }

  // The message; "<nil>" for no error.
  std::string Error() const { return ok() ? "<nil>" : *message_; }

  // Identity: true when both are no error, or both are copies of one error.
  friend bool operator==(const Status& a, const Status& b) {
    return a.message_ == b.message_;
  }

 private:
  std::shared_ptr<const std::string> message_;
};

// The system's message for `err` with its first letter in lower case, as
// errors are worded here ("no such process").
std::string ErrnoText(int err);

// An error reading `prefix` followed by ErrnoText(err).
Status ErrnoStatus(std::string_view prefix, int err);

}  // namespace controller

#endif  // ZORVANE_CONTROLLER_STATUS_H_
