// Writing a whole buffer to a descriptor that may be slow, shared or
// non-blocking.

#ifndef ZORVANE_KLOG_WRITE_ALL_H_
#define ZORVANE_KLOG_WRITE_ALL_H_

#include <chrono>
#include <string_view>

namespace klog {

// Writes all of `data` to `fd`, continuing after a short write or EINTR.
// When the descriptor is non-blocking and full (another process that
// shares it may have made it so), waits until it is writable again, at
// most `patience` in all, then gives up. Any other failure (a closed pipe:
// EPIPE, with SIGPIPE ignored) gives up at once. Returns whether every byte
// was written. Never raises a signal of its own.
bool WriteAll(int fd, std::string_view data,
              std::chrono::milliseconds patience);

}  // namespace klog

#endif  // ZORVANE_KLOG_WRITE_ALL_H_
