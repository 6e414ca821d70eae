// The controller's own life: how it starts, how it takes the signals that
// stop it, and how it ends.
//
// It ends the same way whatever ends it: every descendant still running is
// stopped first (its signal, then SIGKILL after the stop timeout), so no
// command of the stack outlives the controller, and then the process ends
// without running destructors of objects other threads may still use.
// Nothing on that way waits on the log: it signals first and logs after,
// and a log line that cannot get out costs the line, not the stop.

#ifndef ZORVANE_CONTROLLER_LIFECYCLE_H_
#define ZORVANE_CONTROLLER_LIFECYCLE_H_

namespace controller {

// Prepares the process to supervise. Call first thing in main, before any
// thread exists (threads inherit the signal mask set here):
//   - descriptors 0, 1 and 2, when closed, are opened on /dev/null, so
//     neither the controller's files nor its children's take those numbers;
//   - SIGPIPE is ignored: a closed standard error costs lines, not the
//     controller (children still start with default dispositions);
//   - the controller becomes its descendants' reaper (process 1 is one
//     already), so orphans of its commands are its to reap;
//   - every signal whose default action ends a process, but for the faults
//     of the controller's own code (SIGSEGV, SIGBUS, SIGILL, SIGFPE,
//     SIGTRAP, SIGSYS) and SIGPIPE, is blocked, to be taken by the signal
//     thread; one that was ignored when the controller started (nohup, a
//     background job) stays ignored;
//   - SIGCHLD is blocked, for the reaper to wait for.
void prepareProcess();

// Starts the thread that takes the signals:
//   - SIGUSR1 and SIGUSR2 go on to the server's process group as they came
//     (servingProcess), and the controller keeps running;
//   - any other is a stop: the stack hears SIGINT and SIGTERM as they
//     came, SIGTERM for every other signal (StackStop), the controller
//     logs the stop, waits at most the stop timeout, kills what is left,
//     and ends by that signal (as process 1, which a signal cannot end,
//     with status 128 + the signal's number). During the wait, the same
//     signal again within half a second is the same request (a wrapper
//     passing Ctrl-C on); a later one, or another stop signal, kills what
//     is left at once.
// Requires prepareProcess.
void startSignalThread();

// Says with a Warning what the stop cannot reach here, if anything: with
// no /proc of this PID namespace (missing, or its parent's) or no pid
// descriptors, processes that left their command's process group. Call
// once, when the configuration has been accepted and before the first
// command starts: a refused configuration stops at its Fatal line.
void reportStopReach();

// Ends the controller with `status`: stops the stack as a stop signal does
// (SIGTERM, then SIGKILL after the stop timeout), then ends the process at
// once. If the controller is already ending (another thread called this,
// or a stop signal came), waits for that end instead. Any thread may call
// it.
[[noreturn]] void ExitProcess(int status);

}  // namespace controller

#endif  // ZORVANE_CONTROLLER_LIFECYCLE_H_
