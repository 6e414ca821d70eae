// What the end-to-end tests' commands need and a shell cannot do:
//
//   e2e_stack_helper fill-stderr
//       makes standard error non-blocking (for every process that shares
//       it) and writes to it until it is full.
//   e2e_stack_helper become-root <program> [args...]
//       when installed set-user-ID root, makes every user id root (so the
//       caller can no longer signal it) and runs <program>.

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "fill-stderr") == 0) {
    const int flags = ::fcntl(2, F_GETFL);
    if (flags < 0 || ::fcntl(2, F_SETFL, flags | O_NONBLOCK) != 0) return 2;
    static char block[4096];
    std::memset(block, 'x', sizeof block);
    for (;;) {
      if (::write(2, block, sizeof block) >= 0) continue;
      if (errno == EINTR) continue;
      return errno == EAGAIN ? 0 : 3;
    }
  }
  if (argc >= 3 && std::strcmp(argv[1], "become-root") == 0) {
    if (::setresgid(0, 0, 0) != 0 || ::setresuid(0, 0, 0) != 0) return 2;
    ::execvp(argv[2], argv + 2);
    return 127;
  }
  return 64;
}
