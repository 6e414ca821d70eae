// The controller's main flow.

#ifndef ZORVANE_CONTROLLER_CONTROLLER_H_
#define ZORVANE_CONTROLLER_CONTROLLER_H_

#include <optional>
#include <string>
#include <string_view>

#include "controller/config.h"

// The build defines ZORVANE_VERSION from the project's version, the one
// place where it is kept.
#ifndef ZORVANE_VERSION
#error "ZORVANE_VERSION is not defined: build through the project's CMake"
#endif

namespace controller {

// The version in the start-up Debug line ("Controller main ENTRY 0.2.2").
inline constexpr std::string_view VERSION = ZORVANE_VERSION;

// What the chosen mode runs.
struct ModeCommands {
  std::string startCommand;
  std::string fileChangeCommand;
  bool stopWatchServerOnChange = false;
};

// The commands of `mode`: "debug" and "test" select their own variables
// (compared exactly); any other text selects the run variables.
ModeCommands commandsForMode(const Configuration& config,
                             std::string_view mode);

// The controller's exit status for the server's wait status when it ran
// without watching: the server's own exit status, 128 + the number of the
// signal that ended it, or 1 when it was never started.
int exitStatusFor(std::optional<int> waitStatus);

// Runs the controller: parses the command line, reads the configuration,
// runs the mode's commands and, when the mode has an on-change command,
// watches for changes. Never returns; ends the process with the server's
// status (exitStatusFor) when it does not watch, 1 (fatal condition), 2
// (bad command line), or by the signal that stopped it.
[[noreturn]] void controllerMain(int argc, char** argv);

}  // namespace controller

#endif  // ZORVANE_CONTROLLER_CONTROLLER_H_
