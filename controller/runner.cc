#include "controller/runner.h"

#include <algorithm>
#include <chrono>
#include <latch>
#include <memory>
#include <utility>

#include "base/mutex.h"
#include "base/thread.h"
#include "base/thread_annotations.h"
#include "controller/config.h"
#include "controller/lifecycle.h"
#include "controller/logger.h"
#include "controller/registry.h"
#include "supervise/stop.h"

extern char** environ;

namespace controller {

using supervise::DeadlineAfter;
using supervise::Stopping;
using supervise::StopClock;
namespace {

// The place of the one file-change run that waits to start the on-change
// command: for the registry lock, then for what it interrupted to stop,
// which may take the whole stop timeout. A change that comes meanwhile
// folds into that run, which starts the command after it anyway, so at
// most one run (and one thread) waits however many changes come.
//
// The waiting run frees the place just before it starts the command; a
// change after that starts a run of its own, which interrupts this one.
// The place also keeps the newest change: each folded change replaces the
// one before, and the run hands what it takes on freeing the place to the
// command it starts.
class WaitingRun {
 public:
  static WaitingRun& Get() {
    static WaitingRun* const place = new WaitingRun;  // never destroyed
    return *place;
  }

  // Keeps `change` as the newest. True when no run waits: the caller
  // starts one, which holds the place. False when the change folded into
  // the run that waits.
  bool Claim(const Change& change) EXCLUDES(mu_) {
    base::MutexLock lock(&mu_);
    newest_ = change;
    return !std::exchange(waiting_, true);
  }

  // For the run that holds the place: frees it and returns the newest
  // change, its own or one folded into it.
  Change Release() EXCLUDES(mu_) {
    base::MutexLock lock(&mu_);
    waiting_ = false;
    return newest_;
  }

 private:
  base::Mutex mu_;  // a leaf: nothing else is taken while it is held
  bool waiting_ GUARDED_BY(mu_) = false;
  Change newest_ GUARDED_BY(mu_);
};

// Gives up the registry's lock, then waits for the command `started` ran
// to end and returns its wait status. A failed wait is logged as `what`
// and the error, unless the controller's own stop ended the command.
std::optional<int> unlockAndWait(CommandResult& started, ProcessType type,
                                 const char* what)
    RELEASE(controllerManagedProcesses::mu) {
  controllerManagedProcesses::mu.Unlock();
  Debug.log("mutex unlocked");
  if (Status err = waitProcess(started.cmd, type); !err.ok() && !Stopping()) {
    Info.log(what, err);
  }
  return started.cmd.waitStatus();
}

// Server path: preparation, then the server, waited on for its whole life.
// Entered with the registry's mu held; gives it up once the server runs.
std::optional<int> runServer(const std::string& commandString,
                             ProcessType theProcessType)
    RELEASE(controllerManagedProcesses::mu) {
  // The lock stays held across the preparation command so that a file
  // change arriving meanwhile is handled only once the server has started.
  const std::string& prep = configuration().zorvanePREP;
  if (!prep.empty()) {
    if (CommandResult prepRun = runPrep(prep); !prepRun.err.ok()) {
      // One ended by the controller's own stop is no failure: the stop
      // ends the process (ExitProcess waits for it).
      if (Stopping()) ExitProcess(1);
      Error.log(
          "FATAL error ZORVANE_PREP command received an error.  The "
          "controller is exiting: ",
          prepRun.err);
      // Other runs' threads may still use process-wide objects, and the
      // registry lock is never released: end here, running nothing more.
      ExitProcess(1);
    }
  }

  CommandResult started = startProcess(commandString, server);
  Debug.log("Started Server process");
  if (!started.err.ok()) {
    Warning.log("ERROR start server (ZORVANE_RUN) received error ",
                started.err);
  }
  return unlockAndWait(started, theProcessType,
                       "Wait received error on server start ");
}

// Waits, without the registry lock, until the groups interrupted so far
// have stopped. Returns false when a later change took the lock meanwhile:
// that run starts the command instead. Gives mu up while it waits.
bool waitForInterrupted(controllerManagedProcesses& cmps)
    REQUIRES(controllerManagedProcesses::mu) {
  const uint64_t generation = cmps.changeGeneration;
  if (cmps.stopping.empty()) return true;
  // A leader that has ended already may have left members behind: every
  // interrupted group goes through waitStopped once.
  const auto leaders = cmps.stopping;
  const auto timeout =
      std::chrono::nanoseconds(configuration().zorvaneSTOPTIMEOUT.ns);
  controllerManagedProcesses::mu.Unlock();
  supervise::waitStopped(leaders, timeout,
                         DeadlineAfter(StopClock::now(), timeout),
                         [&](const ProcessHandle& leader) {
                           Warning.log("Command did not stop within ",
                                       Duration{timeout.count()},
                                       ", killing it: ", leader.command());
                         });
  controllerManagedProcesses::mu.Lock();
  std::erase_if(cmps.stopping, [&](const auto& h) {
    return std::find(leaders.begin(), leaders.end(), h) != leaders.end();
  });
  return cmps.changeGeneration == generation;
}

// File-change path: interrupt what should go, wait for it to stop, start
// the on-change command (or restart a dead server) and wait for it.
// Entered with the registry's mu held; gives it up before the wait.
// `waiting`, when not null, is the place this run holds (WaitingRun), which
// has the newest change; otherwise the run was started directly for
// `change`.
std::optional<int> runFileChange(const std::string& commandString,
                                 bool killServer, WaitingRun* waiting,
                                 Change change)
    RELEASE(controllerManagedProcesses::mu) {
  Debug.log("Inside watcher path");
  controllerManagedProcesses& cmps = zorvaneControllerManagedProcesses();
  ++cmps.changeGeneration;
  if (killServer) {
    Debug.log("killing server");
    if (Status err = killProcess(server); !err.ok()) {
      Warning.log("killProcess received error ", err);
    }
  }
  // An on-change command that has ended by itself left nothing to
  // interrupt: that is no error (what its group left running is still
  // interrupted).
  if (Status err = killProcess(fileWatcher, /*reportEnded=*/false);
      !err.ok()) {
    Warning.log("Watcher killProcess received error ", err);
  }
  // A server still closing its port would make its successor fail.
  const bool startsTheCommand = waitForInterrupted(cmps);
  // From here on a change starts a run of its own.
  if (waiting != nullptr) change = waiting->Release();
  if (!startsTheCommand) {
    controllerManagedProcesses::mu.Unlock();
    Debug.log("A later change starts the command instead");
    return std::nullopt;
  }

  std::string commandToUse = commandString;
  ProcessType processTypeToUse = fileWatcher;
  if (!killServer) {
    const auto it = cmps.processes.find(server);
    // The probe goes through the handle: once the server has been reaped,
    // it fails without touching a number that may be reused.
    if (it != cmps.processes.end() && it->second != nullptr &&
        !it->second->Alive()) {
      Debug.log("The server process with pid:",
                static_cast<int64_t>(it->second->pid()),
                "was not found, and ZORVANE_<action>_KILL is set to false. "
                "The server will be restarted.");
      commandToUse = configuration().startCommand;
      processTypeToUse = server;
    }
  }

  // A server started again in the on-change command's place is started by
  // this change too, and hears of it alike.
  CommandResult started = startProcess(commandToUse, processTypeToUse,
                                       changeEnvironment(change, environ));
  if (!started.err.ok()) {
    Warning.log("ERROR start process received error: ", started.err);
  } else if (killServer) {
    // With the kill setting on, the on-change command takes the server's
    // place.
    setServingProcess(started.cmd.process());
  }
  return unlockAndWait(started, processTypeToUse, "Wait received error ");
}

}  // namespace

namespace {

// runCommands, counting `locked` down (when given) once the run holds the
// registry lock. `waiting`: the place a file-change run holds, if any;
// `change`: what a run started directly was started for.
std::optional<int> runHoldingLock(const std::string& commandString,
                                  ProcessType theProcessType, bool killServer,
                                  std::latch* locked, WaitingRun* waiting,
                                  const Change& change)
    EXCLUDES(controllerManagedProcesses::mu) {
  Debug.log("ENTRY Running command:  ", commandString);
  // Released by the path that runs, before it waits for its command.
  controllerManagedProcesses::mu.Lock();
  if (locked != nullptr) locked->count_down();
  Debug.log("Mutex Locked");
  std::optional<int> waitStatus;
  if (theProcessType == server) {
    waitStatus = runServer(commandString, theProcessType);
  } else {
    waitStatus = runFileChange(commandString, killServer, waiting, change);
  }
  Debug.log("runCommands EXIT");
  return waitStatus;
}

}  // namespace

std::optional<int> runCommands(const std::string& commandString,
                               ProcessType theProcessType, bool killServer,
                               const Change& change) {
  return runHoldingLock(commandString, theProcessType, killServer, nullptr,
                        nullptr, change);
}

void startRunCommands(const std::string& commandString,
                      ProcessType theProcessType, bool killServer,
                      const Change& change) {
  const bool fileChange = theProcessType != server;
  WaitingRun* const waiting = fileChange ? &WaitingRun::Get() : nullptr;
  if (waiting != nullptr && !waiting->Claim(change)) {
    Debug.log("A run already waits to start the command: change folded in");
    return;
  }
  // The server's run takes the registry lock before the caller goes on, so
  // a change the watcher finds at once is handled after the server has
  // started, never before it.
  auto locked = std::make_shared<std::latch>(fileChange ? 0 : 1);
  const Status started = base::StartDetachedThread(
      "run", [commandString, theProcessType, killServer, locked, waiting] {
        (void)runHoldingLock(commandString, theProcessType, killServer,
                             locked->try_wait() ? nullptr : locked.get(),
                             waiting, Change{});
      });
  if (!started.ok()) {
    if (waiting != nullptr) (void)waiting->Release();
    Warning.log("Could not start a thread for " + commandString + ": ",
                ThreadStartReason(started));
    return;
  }
  locked->wait();
}

}  // namespace controller
