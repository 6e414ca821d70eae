#include "base/status.h"

#include <string.h>

#include <cctype>
#include <cerrno>

namespace base {

Status::Status(std::string message)
    : rep_(std::make_shared<const Rep>(Rep{std::move(message), {}, {}, 0})) {}

Status Status::PathError(std::string_view op, std::string path, int err) {
  std::string message(op);
  message += ' ';
  message += path;
  message += ": ";
  message += ErrnoText(err);
  return Status(std::make_shared<const Rep>(
      Rep{std::move(message), std::string(op), std::move(path), err}));
}

std::string Status::Error() const { return ok() ? "<nil>" : rep_->message; }

const std::string& Status::op() const {
  static const std::string* const kEmpty = new std::string;
  return ok() ? *kEmpty : rep_->op;
}

const std::string& Status::path() const {
  static const std::string* const kEmpty = new std::string;
  return ok() ? *kEmpty : rep_->path;
}

int Status::errnum() const { return ok() ? 0 : rep_->err; }

bool Status::IsNotExist() const { return errnum() == ENOENT; }

std::string ErrnoText(int err) {
  char buf[256];
  // The GNU strerror_r: thread-safe, may return a static text instead of buf.
  std::string text = ::strerror_r(err, buf, sizeof buf);
  if (!text.empty()) {
    text[0] =
        static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  }
  return text;
}

Status ErrnoStatus(std::string_view prefix, int err) {
  return Status(std::string(prefix) + ErrnoText(err));
}

}  // namespace base
