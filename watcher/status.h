// Error values of the watcher: the project's Status (base/status.h) and
// the watcher's fixed errors, recognised by identity:
//
//   if (err == watcher::ErrSkip) ...
//
// A failure of a file-system call carries the operation ("lstat", "stat",
// "open", "readdirent"), the path and the error number; its message reads
// "lstat /w/app: no such file or directory".

#ifndef ZORVANE_WATCHER_STATUS_H_
#define ZORVANE_WATCHER_STATUS_H_

#include "base/status.h"

namespace watcher {

// The project's one error type (base/status.h), under the watcher's name.
using Status = base::Status;
using base::ErrnoText;

// The fixed error values. They are created once and never destroyed, so they
// may be compared from any thread at any time, exit included.

/// "error: duration is less than 1ns": Start was given an interval below
/// one nanosecond.
extern const Status& ErrDurationTooShort;
/// "error: watcher is already running": Start was called on a running
/// watcher.
extern const Status& ErrWatcherRunning;
/// "error: watched file or folder deleted": a name on the watch list no
/// longer exists; sent on the error queue.
extern const Status& ErrWatchedFileDeleted;
/// "error: skipping file": a filter hook's answer to leave an entry out.
extern const Status& ErrSkip;
/// "error: skipping directory": a filter hook's answer to leave a directory
/// out and not enter it (nothing below it can be kept); for a file, the
/// same as ErrSkip.
extern const Status& ErrSkipDir;
/// "error: watcher is closed": Start was called on a watcher whose loop has
/// already stopped; a watcher runs at most once.
extern const Status& ErrWatcherClosed;

}  // namespace watcher

#endif  // ZORVANE_WATCHER_STATUS_H_
