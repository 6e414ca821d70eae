#include "watcher/status.h"

namespace watcher {

// Leaked on purpose: threads still running when the process ends may compare
// against them.
const Status& ErrDurationTooShort =
    *new Status("error: duration is less than 1ns");
const Status& ErrWatcherRunning =
    *new Status("error: watcher is already running");
const Status& ErrWatchedFileDeleted =
    *new Status("error: watched file or folder deleted");
const Status& ErrSkip = *new Status("error: skipping file");
const Status& ErrSkipDir = *new Status("error: skipping directory");
const Status& ErrWatcherClosed = *new Status("error: watcher is closed");

}  // namespace watcher
