#include "controller/controller.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "controller/lifecycle.h"
#include "controller/logger.h"
#include "controller/options.h"
#include "controller/runner.h"
#include "controller/watch_loop.h"
#include "klog/flagset.h"
#include "klog/klog.h"
#include "watcher/path.h"

namespace controller {
namespace {

// The current working directory: $PWD when it is absolute and names the
// same directory as "." (it keeps the symbolic links the user went
// through), else the directory the system reports.
Status currentWorkDir(std::string* out) {
  struct stat dot;
  if (::stat(".", &dot) != 0) return ErrnoStatus("stat .: ", errno);
  const char* pwd = std::getenv("PWD");
  struct stat st;
  if (pwd != nullptr && pwd[0] == '/' && ::stat(pwd, &st) == 0 &&
      st.st_dev == dot.st_dev && st.st_ino == dot.st_ino) {
    *out = pwd;
    return Status();
  }
  std::vector<char> buf(4096);
  while (::getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE) return ErrnoStatus("getwd: ", errno);
    buf.resize(buf.size() * 2);
  }
  *out = buf.data();
  return Status();
}

}  // namespace

int exitStatusFor(std::optional<int> waitStatus) {
  if (!waitStatus.has_value()) return 1;
  if (WIFEXITED(*waitStatus)) return WEXITSTATUS(*waitStatus);
  if (WIFSIGNALED(*waitStatus)) return 128 + WTERMSIG(*waitStatus);
  return 1;
}

ModeCommands commandsForMode(const Configuration& c, std::string_view mode) {
  if (mode == "debug") {
    return {c.zorvaneDEBUG, c.zorvaneDEBUGWATCHACTION, c.zorvaneDEBUGKILL};
  }
  if (mode == "test") {
    return {c.zorvaneTEST, c.zorvaneTESTWATCHACTION, c.zorvaneTESTKILL};
  }
  return {c.zorvaneRUN, c.zorvaneRUNWATCHACTION, c.zorvaneRUNKILL};
}

void controllerMain(int argc, char** argv) {
  prepareProcess();
  // The option sets live for the whole process: the logging core's values
  // are reached through them.
  auto* flags = new klog::FlagSet(argc > 0 ? argv[0] : "",
                                  klog::ErrorHandling::kExitOnError);
  const CommandLineOptions options = registerOptions(flags);
  flags->Parse(
      std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));

  auto* klogFlags =
      new klog::FlagSet("klog", klog::ErrorHandling::kExitOnError);
  klog::InitFlags(klogFlags);
  if (*options.v || *options.verbose) {
    (void)klogFlags->SetByName("v", "4");
    (void)klogFlags->SetByName("skip_headers", "false");
  } else {
    (void)klogFlags->SetByName("skip_headers", "true");
  }
  startSignalThread();

  Debug.log("Controller main ENTRY ", VERSION);

  Configuration& config = configuration();
  if (Status err = currentWorkDir(&config.workDir); !err.ok()) {
    Fatal.log("Could not find the working dir ", err);
    ExitProcess(1);
  }

  if (Status err = setupEnvironmentVars(); !err.ok()) {
    Fatal.log("Warning: setup did not find all environment variables ", err);
    ExitProcess(1);
  }

  const ModeCommands commands = commandsForMode(config, *options.mode);
  config.startCommand = commands.startCommand;
  if (config.startCommand.empty()) {
    Warning.log(
        "Warning: startCommand (environment variable ZORVANE_DEBUG,"
        "ZORVANE_TEST or ZORVANE_RUN) is unspecified");
  }
  Debug.log("startCommand: ", config.startCommand);

  const std::string& fileChangeCommand = commands.fileChangeCommand;
  Debug.log("File change command: ", fileChangeCommand);
  // A configuration the watch loop would refuse must stop the controller
  // before it has started anything.
  if (!fileChangeCommand.empty()) {
    if (Status err = checkWatchSettings(); !err.ok()) {
      Fatal.log("Error running watcher ", err);
      ExitProcess(1);
    }
  }
  // Without watching, an empty start command is the whole run: it would
  // run nothing and report success, and a CI job would pass untested.
  if (fileChangeCommand.empty() && config.startCommand.empty()) {
    ExitProcess(1);
  }
  reportStopReach();
  std::optional<int> serverWaitStatus;
  if (fileChangeCommand.empty()) {
    Debug.log(
        "fileChangeCommand environment variable ZORVANE_WATCH_ACTION) is "
        "unspecified.");
    Debug.log("Running sync: ", config.startCommand);
    serverWaitStatus = runCommands(config.startCommand, server, false);
  } else {
    Debug.log("Running ", config.startCommand);
    startRunCommands(config.startCommand, server, false);
  }

  const bool stopWatchServerOnChange = commands.stopWatchServerOnChange;
  std::vector<std::string> dirs =
      config.zorvaneWATCHDIRS.has_value()
          ? *config.zorvaneWATCHDIRS
          : config.zorvaneMOUNTS.value_or(std::vector<std::string>{});
  // Relative entries against workDir, like the ignore entries and every
  // child's directory, not against the physical directory the watcher would
  // take: started through a symbolic link, both must name paths alike to
  // match. Absolute entries reach the watcher (and its warnings) as written.
  for (std::string& dir : dirs) {
    if (!dir.starts_with('/')) dir = watcher::absPathIn(config.workDir, dir);
  }
  // A list that came out blank (";", " ", a template left empty) would
  // leave the controller watching nothing without a word.
  if (!fileChangeCommand.empty() && dirs.empty()) {
    Warning.log(config.zorvaneWATCHDIRS.has_value()
                    ? "Nothing to watch: ZORVANE_WATCH_DIR has no entry"
                    : "Nothing to watch: ZORVANE_MOUNTS has no entry");
  }

  Status err;
  if (!fileChangeCommand.empty()) {
    err = runWatcher(fileChangeCommand, dirs, stopWatchServerOnChange);
  } else {
    Info.log("Watcher is not running.");
  }
  if (!err.ok()) {
    Fatal.log("Error running watcher ", err);
    ExitProcess(1);
  }

  Debug.log("Controller main EXIT");
  ExitProcess(fileChangeCommand.empty() ? exitStatusFor(serverWaitStatus) : 0);
}

}  // namespace controller
