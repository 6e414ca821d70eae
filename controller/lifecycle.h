// The controller's own life: how it starts, how it takes the signals that
// stop it, and how it ends.
//
// It ends the same way whatever ends it: every descendant still running is
// stopped first (its signal, then SIGKILL after the stop timeout), so no
// command of the stack outlives the controller, and then the process ends
// without running destructors of objects other threads may still use.

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
//   - SIGINT, SIGTERM, SIGHUP and SIGQUIT are blocked, to be taken by the
//     signal thread; one that was ignored when the controller started (a
//     background job, nohup) stays ignored.
void prepareProcess();

// Starts the thread that takes the stop signals. On the first, it passes
// it on (SIGINT and SIGTERM as they came, SIGTERM for SIGHUP and SIGQUIT)
// to every descendant, waits at most the stop timeout, kills what is left,
// and ends the controller by that signal (as process 1, which a signal
// cannot end, with status 128 + the signal's number). A second signal
// during the wait kills what is left at once. Requires prepareProcess.
void startSignalThread();

// Ends the controller with `status`: stops every descendant still running
// (SIGINT, then SIGKILL after the stop timeout), then ends the process at
// once. If the controller is already ending (another thread called this,
// or a stop signal came), waits for that end instead. Any thread may call
// it.
[[noreturn]] void ExitProcess(int status);

}  // namespace controller

#endif  // ZORVANE_CONTROLLER_LIFECYCLE_H_
