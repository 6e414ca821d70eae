#include "controller/runner.h"

#include <mutex>
#include <system_error>
#include <thread>

#include "controller/config.h"
#include "controller/exit.h"
#include "controller/logger.h"
#include "controller/process.h"

namespace controller {
namespace {

// Server path: preparation, then the server, waited on for its whole life.
// `lock` holds the registry's mu on entry.
void runServer(const std::string& commandString, ProcessType theProcessType,
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
}

// File-change path: interrupt what should go, start the on-change command
// (or restart a dead server) and wait for it. `lock` holds the registry's
// mu on entry.
void runFileChange(const std::string& commandString, bool killServer,
                   std::unique_lock<std::shared_mutex> lock) {
  Debug.log("Inside watcher path");
  if (killServer) {
    Debug.log("killing server");
    if (Status err = killProcess(server); !err.ok()) {
      Warning.log("killProcess received error ", err);
    }
  }
  if (Status err = killProcess(fileWatcher); !err.ok()) {
    Warning.log("Watcher killProcess received error ", err);
  }

  std::string commandToUse = commandString;
  ProcessType processTypeToUse = fileWatcher;
  if (!killServer) {
    controllerManagedProcesses& cmps = zorvaneControllerManagedProcesses();
    const auto it = cmps.processes.find(server);
    // The probe goes through the handle: once the server's run has reaped
    // it, the probe fails without touching a pid that may be reused.
    if (it != cmps.processes.end() && it->second != nullptr &&
        !it->second->Signal(0).ok()) {
      Debug.log("The server process with pid:",
                static_cast<int64_t>(it->second->pid()),
                "was not found, and ZORVANE_<action>_KILL is set to false. "
                "The server will be restarted.");
      commandToUse = configuration().startCommand;
      processTypeToUse = server;
    }
  }

  CommandResult started = startProcess(commandToUse, processTypeToUse);
  if (!started.err.ok()) {
    Warning.log("ERROR start process received error: ", started.err);
  }
  lock.unlock();
  Debug.log("mutex unlocked");

  if (Status err = waitProcess(started.cmd, processTypeToUse); !err.ok()) {
    Info.log("Wait received error ", err);
  }
}

}  // namespace

void runCommands(const std::string& commandString, ProcessType theProcessType,
                 bool killServer) {
  Debug.log("ENTRY Running command:  ", commandString);
  controllerManagedProcesses& cmps = zorvaneControllerManagedProcesses();
  std::unique_lock<std::shared_mutex> lock(cmps.mu);
  Debug.log("Mutex Locked");
  if (theProcessType == server) {
    runServer(commandString, theProcessType, std::move(lock));
  } else {
    runFileChange(commandString, killServer, std::move(lock));
  }
  Debug.log("runCommands EXIT");
}

void startRunCommands(const std::string& commandString,
                      ProcessType theProcessType, bool killServer) {
  try {
    std::thread([commandString, theProcessType, killServer] {
      runCommands(commandString, theProcessType, killServer);
    }).detach();
  } catch (const std::system_error& e) {
    Warning.log("Could not start a thread for " + commandString + ": ",
                std::string(e.what()));
  }
}

}  // namespace controller
