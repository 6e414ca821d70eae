// What the end-to-end tests' commands need and a shell cannot do:
//
//   e2e_stack_helper fill-stderr
//       makes standard error non-blocking (for every process that shares
//       it) and writes to it until it is full.
//   e2e_stack_helper become-root <program> [args...]
//       when installed set-user-ID root, makes every user id root (so the
//       caller can no longer signal it) and runs <program>.
//   e2e_stack_helper no-pidfd <program> [args...]
//       runs <program> where pidfd_open and pidfd_send_signal fail with
//       ENOSYS, as on old kernels and under user-mode emulators.

#include <errno.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

namespace {

// Makes pidfd_open and pidfd_send_signal fail with ENOSYS for this process
// and what it runs. False when the filter cannot be installed.
bool withoutPidfds() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_open, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_send_signal, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
  };
  sock_fprog program = {
      static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

}  // namespace

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
  if (argc >= 3 && std::strcmp(argv[1], "no-pidfd") == 0) {
    if (!withoutPidfds()) return 2;
    ::execvp(argv[2], argv + 2);
    return 127;
  }
  return 64;
}
