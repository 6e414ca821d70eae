// The command runner: the one entry point that runs and supervises a
// managed command.

#ifndef ZORVANE_CONTROLLER_RUNNER_H_
#define ZORVANE_CONTROLLER_RUNNER_H_

#include <optional>
#include <string>

#include "controller/change.h"
#include "controller/registry.h"

namespace controller {

// Runs one managed command and waits for it to end. Returns the wait
// status of the child it waited for, or nothing when it started none.
//
// With `server`: runs the preparation command (configuration().zorvanePREP)
// to completion, ending the controller with status 1 if it fails, then
// starts `commandString` as the server and waits for its whole life.
//
// With any other kind (a file change): interrupts the previous on-change
// process group (and the server's when `killServer` is true) and waits
// until what it interrupted has stopped (at most the stop timeout, then
// SIGKILL), then starts `commandString` as the on-change process and waits
// for it; or, when `killServer` is false and the recorded server has died,
// restarts the server with configuration().startCommand instead. When a
// later change's run takes over during that wait, this run starts nothing.
// The command it starts gets the newest change in its environment
// (change.h): `change`, or one that came later and was folded into this
// run (startRunCommands). An empty `change` adds nothing; the server path
// takes none.
std::optional<int> runCommands(const std::string& commandString,
                               ProcessType theProcessType, bool killServer,
                               const Change& change = {});

// Starts runCommands with these arguments on a thread of its own that is
// never joined, and returns at once. The run may outlive the caller; it
// uses only process-wide objects that are never destroyed. For `server`,
// returns once the run holds the registry lock, so that a change handled
// afterwards finds the server started. At most one
// file-change run waits at a time, for the registry or for what it
// interrupted to stop (which may take the whole stop timeout): a file
// change that comes meanwhile is folded into it (it starts the on-change
// command after the change anyway, and hands that command the newest
// change). If no thread can be started, logs a warning and runs nothing.
void startRunCommands(const std::string& commandString,
                      ProcessType theProcessType, bool killServer,
                      const Change& change = {});

}  // namespace controller

#endif  // ZORVANE_CONTROLLER_RUNNER_H_
