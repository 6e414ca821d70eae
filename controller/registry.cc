#include "controller/registry.h"

#include <signal.h>

#include <utility>

#include "controller/config.h"
#include "controller/logger.h"
#include "supervise/stop.h"

namespace controller {

using supervise::interruptGroup;
using supervise::Stopping;

controllerManagedProcesses& zorvaneControllerManagedProcesses() {
  // Created once even when first calls race; leaked, because detached
  // runs may still use it while the process ends.
  static controllerManagedProcesses* const cmps =
      new controllerManagedProcesses();
  return *cmps;
}

namespace {

struct ServingSlot {
  base::Mutex mu;  // a leaf: nothing else is taken while it is held
  std::shared_ptr<ProcessHandle> handle GUARDED_BY(mu);
};

// Never destroyed: the signal thread reads it while the process ends.
ServingSlot& servingSlot() {
  static ServingSlot* const slot = new ServingSlot;
  return *slot;
}

}  // namespace

std::shared_ptr<ProcessHandle> servingProcess() {
  ServingSlot& slot = servingSlot();
  base::MutexLock lock(&slot.mu);
  return slot.handle;
}

void setServingProcess(std::shared_ptr<ProcessHandle> handle) {
  ServingSlot& slot = servingSlot();
  base::MutexLock lock(&slot.mu);
  slot.handle = std::move(handle);
}

CommandResult runPrep(const std::string& commandString) {
  Info.log("Running Install: ", commandString);
  Command cmd(commandString, configuration().workDir);
  Debug.log("Set workdir:  ", cmd.dir());
  Status err = cmd.Start();
  if (err.ok()) err = cmd.Wait();
  Debug.log("Install complete");
  return {std::move(cmd), std::move(err)};
}

CommandResult startProcess(
    const std::string& commandString, ProcessType theProcessType,
    std::optional<std::vector<std::string>> environment) {
  Info.log("Running: ", commandString);
  Command cmd(commandString, configuration().workDir, std::move(environment));
  Debug.log("Set workdir:  ", cmd.dir());
  controllerManagedProcesses& cmps = zorvaneControllerManagedProcesses();
  if (Status err = cmd.Start(); !err.ok()) {
    cmps.processes.erase(theProcessType);
    cmps.pids.erase(theProcessType);
    return {std::move(cmd), std::move(err)};
  }
  const pid_t pid = cmd.process()->pid();
  cmps.processes[theProcessType] = cmd.process();
  cmps.pids[theProcessType] = pid;
  if (theProcessType == server) setServingProcess(cmd.process());
  Debug.log("New process created with pid ", static_cast<int64_t>(pid));
  return {std::move(cmd), Status()};
}

Status waitProcess(Command& cmd, ProcessType /*theProcessType*/) {
  Debug.log("waitProcess ENTRY");
  Status err = cmd.Wait();
  if (!err.ok() && !Stopping()) Info.log("Wait received error:", err);
  Debug.log("waitProces EXIT");
  return err;
}

Status killProcess(ProcessType theProcessType, bool reportEnded) {
  Debug.log("killProcess Entry");
  controllerManagedProcesses& cmps = zorvaneControllerManagedProcesses();
  const auto it = cmps.pids.find(theProcessType);
  const int64_t pid = it == cmps.pids.end() ? 0 : it->second;
  Debug.log("Process pid is: ", pid);
  if (pid == 0) return Status();

  Debug.log("Killing pid:  ", pid);
  // Decided from the handle, not by sending to a number that may have been
  // reused since the process ended.
  Status status("no such process");
  bool ended = false;
  if (const auto h = cmps.processes.find(theProcessType);
      h != cmps.processes.end() && h->second != nullptr) {
    status = interruptGroup(*h->second, SIGINT);
    if (status.ok()) cmps.stopping.push_back(h->second);
    // The group's leader holds the group's number until it is reaped, so
    // a group found empty means the leader had ended: its handle says so.
    ended = !status.ok() && h->second->finished();
  }
  cmps.processes.erase(theProcessType);
  cmps.pids.erase(theProcessType);
  if (!status.ok() && ended && !reportEnded) {
    Debug.log("Process has ended: nothing to interrupt");
    return Status();
  }
  if (!status.ok()) {
    Error.log("Killing process returned an error SIGINT received error ",
              status);
    return status;
  }
  return Status();
}

}  // namespace controller
