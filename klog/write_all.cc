#include "klog/write_all.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>

namespace klog {

bool WriteAll(int fd, std::string_view data,
              std::chrono::milliseconds patience) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + patience;
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n > 0) {
      data.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - Clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd, POLLOUT, 0};
      const int r = ::poll(
          &p, 1, static_cast<int>(std::min<int64_t>(left.count(), 1 << 30)));
      if (r < 0 && errno != EINTR) return false;
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace klog
