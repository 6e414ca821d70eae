#include "testsupport/klog_capture.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "klog/klog.h"

namespace testsupport {

KlogCapture::KlogCapture() {
  char path[] = "/tmp/zorvane-klog-XXXXXX";
  // Close-on-exec: the children a test starts must not hold the log.
  fd_ = ::mkostemp(path, O_APPEND | O_CLOEXEC);
  if (fd_ < 0) return;
  path_ = path;
  previous_ = klog::test_hooks::SetOutputFd(fd_);
}

KlogCapture::~KlogCapture() {
  if (fd_ < 0) return;
  klog::test_hooks::SetOutputFd(previous_);
  ::close(fd_);
  ::unlink(path_.c_str());
}

std::string KlogCapture::Written() const {
  (void)klog::Flush(std::chrono::seconds(5));
  std::stringstream s;
  s << std::ifstream(path_).rdbuf();
  return s.str();
}

}  // namespace testsupport
