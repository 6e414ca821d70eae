// Ending the controller.

#ifndef ZORVANE_CONTROLLER_EXIT_H_
#define ZORVANE_CONTROLLER_EXIT_H_

namespace controller {

// Ends the process at once with `status`, without running destructors of
// process-wide objects: detached threads (command runs, the watcher) may
// still be using them. Log lines are written unbuffered, so nothing is
// lost. Children are neither waited for nor signalled.
[[noreturn]] void ExitProcess(int status);

}  // namespace controller

#endif  // ZORVANE_CONTROLLER_EXIT_H_
