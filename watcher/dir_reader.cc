#include "watcher/dir_reader.h"

#include <errno.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

namespace watcher {

namespace {

constexpr size_t kBufferSize = 32 * 1024;
// The layout of a linux_dirent64 record: inode (8 bytes), offset (8),
// record length (2), type (1), then the name and its terminating zero.
constexpr size_t kRecLenOffset = 16;
constexpr size_t kTypeOffset = 18;
constexpr size_t kNameOffset = 19;

}  // namespace

int DirReader::Read(int fd, DirEntries* out) {
  out->names.clear();
  out->ents.clear();
  if (!buf_) buf_.reset(new char[kBufferSize]);
  char* buf = buf_.get();
  for (;;) {
    const long n = ::syscall(SYS_getdents64, fd, buf, kBufferSize);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    for (long off = 0; off < n;) {
      const char* d = buf + off;
      uint16_t reclen;
      std::memcpy(&reclen, d + kRecLenOffset, sizeof reclen);
      off += reclen;
      const std::string_view name(d + kNameOffset);
      if (name == "." || name == "..") continue;
      out->ents.push_back({static_cast<uint32_t>(out->names.size()),
                           static_cast<uint16_t>(name.size()),
                           static_cast<uint8_t>(d[kTypeOffset])});
      out->names.append(name.data(), name.size() + 1);
    }
  }
}

}  // namespace watcher
