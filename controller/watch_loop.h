// The watch-and-restart loop: turns accepted file changes into runs of the
// on-change command.

#ifndef ZORVANE_CONTROLLER_WATCH_LOOP_H_
#define ZORVANE_CONTROLLER_WATCH_LOOP_H_

#include <string>
#include <string_view>
#include <vector>

#include "controller/status.h"

namespace controller {

// Watches `dirs` (each recursively) with a polling watcher at the
// configured interval, and for each accepted change starts
// runCommands(fileChangeCommand, fileWatcher, killServer) on a thread of
// its own without waiting for it. A change is accepted when its path lies
// outside the ignored directories and its file name contains a match of
// the watch pattern; at most one change is taken per polling cycle. A
// directory of `dirs` that is missing, at start or later, is watched again
// once it exists, with an Info line ("Watching: ", "Watching again: "). A
// failure the watcher reports (a folder it cannot read) is logged as a
// Warning once while it lasts, and its end as an Info line ("Error cleared
// in the watcher: ").
//
// Runs the polling loop on the calling thread for as long as the process
// lives. Returns only when the loop cannot start: a watch pattern that does
// not compile, or an interval below one nanosecond.
Status runWatcher(const std::string& fileChangeCommand,
                  const std::vector<std::string>& dirs, bool killServer);

// Checks what runWatcher would refuse before it watches anything: the
// watch pattern must compile and the interval be at least 1ns. On a bad
// interval logs the watcher's start failure through Error, as runWatcher
// does. Call before any child is started.
Status checkWatchSettings();

// True when `path` begins with one of the ignored directories
// (ZORVANE_WATCH_IGNORE_DIR), compared as plain text. An empty entry
// matches nothing: a stray ";" must not ignore every path.
bool unwatchDir(std::string_view path);

}  // namespace controller

#endif  // ZORVANE_CONTROLLER_WATCH_LOOP_H_
