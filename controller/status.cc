#include "controller/status.h"

#include <string.h>

#include <cctype>

namespace controller {

std::string ErrnoText(int err) {
  char buf[256];
  // The GNU strerror_r returns the text, which may or may not be in buf.
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

}  // namespace controller
