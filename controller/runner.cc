#include "controller/runner.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <latch>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "controller/config.h"
#include "controller/lifecycle.h"
#include "controller/logger.h"
#include "controller/process.h"
#include "controller/stop.h"

extern char** environ;

namespace controller {
namespace {

// Set while a started file-change run has not yet taken the registry lock.
// A change that finds it set is folded into that run, which starts the
// on-change command after it anyway.
std::atomic<bool> fileChangeWaiting{false};

// The newest change a file-change run was started for or folded into.
// Written as each change comes, read by a run just before it starts its
// command: the command gets the newest change, folded ones included.
// Never destroyed: detached runs use it until the process ends.
struct ChangeSlot {
  std::mutex mu;  // a leaf: nothing else is taken while it is held
  Change change;  // guarded by mu
};

ChangeSlot& newestChange() {
  static ChangeSlot* const slot = new ChangeSlot;
  return *slot;
}

void noteChange(const Change& change) {
  ChangeSlot& slot = newestChange();
  std::lock_guard lock(slot.mu);
  slot.change = change;
}

Change currentChange() {
  ChangeSlot& slot = newestChange();
  std::lock_guard lock(slot.mu);
  return slot.change;
}

// Server path: preparation, then the server, waited on for its whole life.
// `lock` holds the registry's mu on entry.
std::optional<int> runServer(const std::string& commandString,
                             ProcessType theProcessType,
                             std::unique_lock<std::shared_mutex> lock) {
  // The lock stays held across the preparation command so that a file
  // change arriving meanwhile is handled only once the server has started.
  const std::string& prep = configuration().zorvanePREP;
  if (!prep.empty()) {
    if (CommandResult prepRun = runPrep(prep); !prepRun.err.ok()) {
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
  lock.unlock();
  Debug.log("mutex unlocked");

  if (Status err = waitProcess(started.cmd, theProcessType); !err.ok()) {
    Info.log("Wait received error on server start ", err);
  }
  return started.cmd.waitStatus();
}

// Waits, without the registry lock, until the groups interrupted so far
// have stopped. Returns false when a later change took the lock meanwhile:
// that run starts the command instead. `lock` holds mu on entry and on
// return.
bool waitForInterrupted(controllerManagedProcesses& cmps,
                        std::unique_lock<std::shared_mutex>& lock) {
  const uint64_t generation = cmps.changeGeneration;
  if (cmps.stopping.empty()) return true;
  // A leader that has ended already may have left members behind: every
  // interrupted group goes through waitStopped once.
  const auto leaders = cmps.stopping;
  const auto timeout =
      std::chrono::nanoseconds(configuration().zorvaneSTOPTIMEOUT.ns);
  lock.unlock();
  waitStopped(leaders, timeout, StopClock::now() + timeout);
  lock.lock();
  std::erase_if(cmps.stopping, [&](const auto& h) {
    return std::find(leaders.begin(), leaders.end(), h) != leaders.end();
  });
  return cmps.changeGeneration == generation;
}

// File-change path: interrupt what should go, wait for it to stop, start
// the on-change command (or restart a dead server) and wait for it.
// `lock` holds the registry's mu on entry.
std::optional<int> runFileChange(const std::string& commandString,
                                 bool killServer,
                                 std::unique_lock<std::shared_mutex> lock) {
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
  // interrupt, which is no news: its end was logged when its run waited for
  // it. What its group may have left running is interrupted all the same.
  if (Status err = killProcess(fileWatcher, /*reportEnded=*/false);
      !err.ok()) {
    Warning.log("Watcher killProcess received error ", err);
  }
  // A server still closing its port would make its successor fail.
  if (!waitForInterrupted(cmps, lock)) {
    lock.unlock();
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
  CommandResult started =
      startProcess(commandToUse, processTypeToUse,
                   changeEnvironment(currentChange(), environ));
  if (!started.err.ok()) {
    Warning.log("ERROR start process received error: ", started.err);
  }
  lock.unlock();
  Debug.log("mutex unlocked");

  if (Status err = waitProcess(started.cmd, processTypeToUse); !err.ok()) {
    Info.log("Wait received error ", err);
  }
  return started.cmd.waitStatus();
}

}  // namespace

namespace {

// runCommands, counting `locked` down (when given) once the run holds the
// registry lock.
std::optional<int> runHoldingLock(const std::string& commandString,
                                  ProcessType theProcessType, bool killServer,
                                  std::latch* locked) {
  Debug.log("ENTRY Running command:  ", commandString);
  controllerManagedProcesses& cmps = zorvaneControllerManagedProcesses();
  std::unique_lock<std::shared_mutex> lock(cmps.mu);
  if (locked != nullptr) locked->count_down();
  Debug.log("Mutex Locked");
  std::optional<int> waitStatus;
  if (theProcessType == server) {
    waitStatus = runServer(commandString, theProcessType, std::move(lock));
  } else {
    fileChangeWaiting.store(false);
    waitStatus = runFileChange(commandString, killServer, std::move(lock));
  }
  Debug.log("runCommands EXIT");
  return waitStatus;
}

}  // namespace

std::optional<int> runCommands(const std::string& commandString,
                               ProcessType theProcessType, bool killServer,
                               const Change& change) {
  if (theProcessType != server) noteChange(change);
  return runHoldingLock(commandString, theProcessType, killServer, nullptr);
}

void startRunCommands(const std::string& commandString,
                      ProcessType theProcessType, bool killServer,
                      const Change& change) {
  const bool fileChange = theProcessType != server;
  // Noted before the fold test: the run that waits reads it only later,
  // once it holds the lock, so a change folded into it always reaches it.
  if (fileChange) noteChange(change);
  if (fileChange && fileChangeWaiting.exchange(true)) {
    Debug.log("A run already waits to start the command: change folded in");
    return;
  }
  // The server's run takes the registry lock before the caller goes on, so
  // a change the watcher finds at once is handled after the server has
  // started, never before it.
  auto locked = std::make_shared<std::latch>(fileChange ? 0 : 1);
  try {
    std::thread([commandString, theProcessType, killServer, locked] {
      (void)runHoldingLock(commandString, theProcessType, killServer,
                           locked->try_wait() ? nullptr : locked.get());
    }).detach();
  } catch (const std::system_error& e) {
    if (fileChange) fileChangeWaiting.store(false);
    Warning.log("Could not start a thread for " + commandString + ": ",
                std::string(e.what()));
    return;
  }
  locked->wait();
}

}  // namespace controller
