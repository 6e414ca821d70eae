// A program a test or benchmark runs and watches: its own process group,
// standard input from /dev/null, its output (standard output and standard
// error, or standard error alone) read from one pipe, line by line or as a
// whole. Nothing it starts outlives it: Kill ends the process groups of its
// children too, which a supervisor puts in groups of their own.
//
// Single-threaded: a Child belongs to the thread that started it, and that
// thread must be the only one of the process that reaps children.

#ifndef ZORVANE_TESTSUPPORT_CHILD_H_
#define ZORVANE_TESTSUPPORT_CHILD_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

using Clock = std::chrono::steady_clock;

/// Makes SIGINT, SIGTERM and SIGHUP set a flag rather than end the process,
/// so that a benchmark can end its programs and remove its trees. Waits of
/// Child give up once it is set.
void CatchInterrupts();

/// True once one of the signals above has arrived.
bool Interrupted();

/// How a Child is started.
struct ChildOptions {
  /// The program and its arguments; argv[0] a path.
  std::vector<std::string> argv;
  /// Exactly the environment it gets ("NAME=value" items).
  std::vector<std::string> env;
  /// Its working directory; "" for ours.
  std::string cwd;
  /// False: standard output stays ours, standard error alone is read.
  bool captureStdout = true;
  /// Start it with standard input and standard output closed (standard
  /// output is not read then).
  bool closeStdinStdout = false;
  /// Whether Kill, in a subreaper, also ends the orphans that came to this
  /// process. Off when the program cleans up after itself (a PID namespace
  /// of its own) and another Child may run alongside.
  bool endOrphans = true;
};

/// One program started and watched; see the top of this file.
class Child {
 public:
  Child() = default;
  /// Kills the program, as Kill.
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  /// Starts `argv` (argv[0] a path) with exactly the environment `env`,
  /// its own process group, an empty signal mask and default signal
  /// dispositions. Returns an empty text, or what failed. Call once.
  [[nodiscard]] std::string Start(const std::vector<std::string>& argv,
                                  const std::vector<std::string>& env);
  /// Start with every choice of ChildOptions.
  [[nodiscard]] std::string Start(const ChildOptions& options);

  /// The process id; -1 before Start, after Kill, or once reaped.
  pid_t pid() const { return pid_; }

  /// Reads output until a line that contains `text` arrives; only lines not
  /// yet looked at by an earlier wait count. True, and when that line was
  /// read in `*at`, if it came before `deadline`; false when the deadline
  /// passed, the output ended, or an interrupt arrived.
  bool WaitForLine(std::string_view text, Clock::time_point deadline,
                   Clock::time_point* at);

  /// Reads output until `pred(output())` holds, true then; false when the
  /// deadline passed or the output ended first with `pred` still false.
  bool WaitFor(const std::function<bool(const std::string&)>& pred,
               Clock::time_point deadline);

  /// Reads output until `deadline`, so that the program never blocks on a
  /// full pipe; the lines read count as looked at. False when interrupted.
  bool ReadUntil(Clock::time_point deadline);

  /// The next line of output not yet looked at, without its newline, read
  /// until `deadline`; `*at` is when it was read. False, with nothing
  /// taken, when the deadline passed, the output ended or an interrupt
  /// arrived. Output looked at long ago is dropped to bound memory.
  bool NextLine(Clock::time_point deadline, std::string* line,
                Clock::time_point* at);

  /// The output read so far (all of it unless NextLine dropped some).
  const std::string& output() const { return output_; }

  /// True once every writer of the output has closed it.
  bool OutputEnded() const { return eof_; }

  /// Bytes written to the output that have not been read yet; -1 once the
  /// output is closed.
  int UnreadBytes() const;

  /// Closes our end of the output, as a reader that goes away.
  void CloseOutput();

  /// Waits, without reading output, for the program to end, but not past
  /// `deadline` (Clock::time_point::max(): no deadline). True once it ended
  /// and was reaped, with its wait status in `*status`; pid() is -1 then.
  bool Reap(Clock::time_point deadline, int* status);

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
  /// subreaper (BecomeSubreaper), unless endOrphans is off, then kills and
  /// reaps the orphans that came to this process, the children of a
  /// program that had ended by itself among them. After the program was
  /// reaped, only the orphans are ended. Does nothing before Start or after
  /// an earlier Kill.
  void Kill();

 private:
  // One read, waiting until `deadline`; false on the deadline, at end of
  // output, or when interrupted.
  bool ReadSome(Clock::time_point deadline);

  pid_t pid_ = -1;  // -1 before Start, after Kill, or once reaped
  bool started_ = false;
  bool endOrphans_ = true;
  int out_ = -1;
  bool eof_ = false;
  std::string output_;
  size_t lookedAt_ = 0;  // output_ up to here has been searched
};

}  // namespace testsupport

#endif  // ZORVANE_TESTSUPPORT_CHILD_H_
