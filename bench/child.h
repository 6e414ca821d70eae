// The benchmark's view of a program it runs and watches (testsupport's
// Child), with the clock arithmetic, the environment it measures with and
// the folder its trees go in.

#ifndef ZORVANE_BENCH_CHILD_H_
#define ZORVANE_BENCH_CHILD_H_

#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <string>
#include <vector>

#include "testsupport/child.h"
#include "testsupport/proc.h"

namespace bench {

using testsupport::CatchInterrupts;
using testsupport::Child;
using testsupport::Clock;
using testsupport::Interrupted;

/// A duration in seconds.
inline double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

/// The moment `seconds` after `t`.
inline Clock::time_point After(Clock::time_point t, double seconds) {
  return t + std::chrono::duration_cast<Clock::duration>(
                 std::chrono::duration<double>(seconds));
}

/// An environment holding nothing of the caller's but PATH, so that no
/// ZORVANE_ variable of a developer's shell changes what is measured.
inline std::vector<std::string> PathOnlyEnv() {
  const char* path = std::getenv("PATH");
  return {std::string("PATH=") + (path ? path : "/usr/bin:/bin")};
}

/// Makes this process the subreaper of its descendants: a process whose
/// parent ends comes to this one rather than to init. Child::Kill then also
/// ends and reaps every other child of this process, so a subreaper runs
/// one Child at a time.
inline void AdoptOrphans() {
  testsupport::BecomeSubreaper();
}

/// The folder a benchmark run makes its trees in: the one given, or a new
/// one in /tmp that goes, with everything in it, when this object goes.
class Workdir {
 public:
  Workdir() = default;
  Workdir(const Workdir&) = delete;
  Workdir& operator=(const Workdir&) = delete;
  ~Workdir() {
    std::error_code ec;
    if (own_) std::filesystem::remove_all(path_, ec);
  }

  /// Takes `given`, or when it is empty makes /tmp/`prefix`.XXXXXX. False,
  /// with the reason on standard error after `program`, when that fails.
  bool Make(const std::string& given, const std::string& prefix,
            const char* program) {
    if (!given.empty()) {
      path_ = given;
      return true;
    }
    std::string tmpl = "/tmp/" + prefix + ".XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
      perror((std::string(program) + ": mkdtemp").c_str());
      return false;
    }
    path_ = tmpl;
    own_ = true;
    return true;
  }

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool own_ = false;  // made here, so removed here
};

}  // namespace bench

#endif  // ZORVANE_BENCH_CHILD_H_
