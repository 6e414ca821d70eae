// A program the benchmark runs and watches: its own process group,
// standard input from /dev/null, standard output and standard error into
// one pipe read line by line, each line stamped with the moment it was
// read. Nothing it starts outlives it: Kill ends the process groups of its
// children too, which a supervisor puts in groups of their own.
//
// Single-threaded: a Child belongs to the thread that started it, and that
// thread must be the only one of the process that reaps children.

#ifndef ZORVANE_BENCH_CHILD_H_
#define ZORVANE_BENCH_CHILD_H_

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

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
std::vector<std::string> PathOnlyEnv();

/// Makes SIGINT, SIGTERM and SIGHUP set a flag rather than end the process,
/// so that the benchmark can end its programs and remove its trees. Waits
/// of Child give up once it is set.
void CatchInterrupts();

/// True once one of the signals above has arrived.
bool Interrupted();

/// Makes this process the subreaper of its descendants: a process whose
/// parent ends comes to this one rather than to init. Kill then also ends
/// and reaps every other child of this process, so a subreaper runs one
/// Child at a time.
void AdoptOrphans();

class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  /// Kills the program, as Kill.
  ~Child();

  /// Starts `argv` (argv[0] a path) with exactly the environment `env`
  /// ("NAME=value" items), an empty signal mask and default signal
  /// dispositions. Returns an empty text, or what failed. Call once.
  [[nodiscard]] std::string Start(const std::vector<std::string>& argv,
                                  const std::vector<std::string>& env);

  /// The process id, or -1 before Start.
  pid_t pid() const { return pid_; }

  /// Reads output until a line that contains `text` arrives; only lines not
  /// yet looked at by an earlier wait count. True, and when that line was
  /// read in `*at`, if it came before `deadline`; false when the deadline
  /// passed, the output ended, or an interrupt arrived.
  bool WaitForLine(std::string_view text, Clock::time_point deadline,
                   Clock::time_point* at);

  /// Reads output until `deadline`, so that the program never blocks on a
  /// full pipe; the lines read count as looked at. False when interrupted.
  bool ReadUntil(Clock::time_point deadline);

  /// The next line of output not yet looked at, without its newline, read
  /// until `deadline`; `*at` is when it was read. False, with nothing
  /// taken, when the deadline passed, the output ended or an interrupt
  /// arrived.
  bool NextLine(Clock::time_point deadline, std::string* line,
                Clock::time_point* at);

  /// Sends `sig` to the program alone and reads its output until it has
  /// ended, but not past `deadline`. True once it ended and was reaped,
  /// with its wait status in `*status`; the children it left are orphans
  /// then, which a subreaper's Kill ends. False when it still runs: Kill
  /// ends it.
  bool Stop(int sig, Clock::time_point deadline, int* status);

  /// The last lines of output, for error reports.
  std::string Tail(size_t lines) const;

  /// Stops the program, kills the process group of each of its children
  /// and then its own, and reaps it. Stopping it first keeps the list of
  /// children true: a stopped parent can neither start nor reap one, so no
  /// listed process id is freed for reuse before its group is killed. In a
  /// subreaper (AdoptOrphans), then kills and reaps the orphans that came
  /// to this process, the children of a program that had ended by itself
  /// among them. After Stop reaped the program, only the orphans are
  /// ended. Does nothing before Start or after an earlier Kill.
  void Kill();

 private:
  // One read, waiting until `deadline`; false on the deadline, at end of
  // output, or when interrupted.
  bool ReadSome(Clock::time_point deadline);

  pid_t pid_ = -1;  // -1 before Start, after Kill, or once Stop reaped it
  int out_ = -1;
  bool eof_ = false;
  std::string output_;
  size_t lookedAt_ = 0;  // output_ up to here has been searched
};

}  // namespace bench

#endif  // ZORVANE_BENCH_CHILD_H_
