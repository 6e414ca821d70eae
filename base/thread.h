// Starting the process's long-lived threads.
//
// Every thread of the program starts here, so that each has a name (shown
// by `top -H` and in /proc/<pid>/task/*/comm, and by debuggers) and a
// failure to start one (too many threads, no memory) is reported one way:
// as a Status for the caller to log, never as an exception.

#ifndef ZORVANE_BASE_THREAD_H_
#define ZORVANE_BASE_THREAD_H_

#include <functional>
#include <string>

#include "base/status.h"

namespace base {

/// Runs `body` on a new detached thread named `name` (at most 15 bytes are
/// kept). The thread is never joined: `body` must use only objects that
/// live until the process ends. On failure, returns "could not start
/// thread <name>: <reason>" and `body` never runs.
Status StartDetachedThread(std::string name, std::function<void()> body);

}  // namespace base

#endif  // ZORVANE_BASE_THREAD_H_
