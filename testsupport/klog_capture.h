// What the logging core writes, captured in a temporary file for a test.

#ifndef ZORVANE_TESTSUPPORT_KLOG_CAPTURE_H_
#define ZORVANE_TESTSUPPORT_KLOG_CAPTURE_H_

#include <string>

namespace testsupport {

/// While it lives, the logging core writes to a temporary file instead of
/// where it wrote before; destroying it puts the previous output back and
/// removes the file. Lines logged before it was made go where they were
/// meant to. Make and destroy it while no other thread logs.
class KlogCapture {
 public:
  KlogCapture();
  ~KlogCapture();
  KlogCapture(const KlogCapture&) = delete;
  KlogCapture& operator=(const KlogCapture&) = delete;

  /// False when the file could not be made; nothing is captured then.
  bool ok() const { return fd_ >= 0; }

  /// The descriptor the core writes to; -1 when !ok().
  int fd() const { return fd_; }

  /// Everything written so far, once the lines logged so far are out.
  std::string Written() const;

 private:
  std::string path_;
  int fd_ = -1;
  int previous_ = -1;
};

}  // namespace testsupport

#endif  // ZORVANE_TESTSUPPORT_KLOG_CAPTURE_H_
