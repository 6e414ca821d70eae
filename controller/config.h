// The controller's configuration, read from ZORVANE_ environment variables.
//
// setupEnvironmentVars() reads the seventeen variables once, at start-up,
// applies the defaults, splits the list-valued ones and checks that the
// combination is usable. The values live in one process-wide Configuration
// that is written only during start-up (by the main flow and
// setupEnvironmentVars) and read without locking afterwards, from any
// thread. It is never destroyed.
//
// An unset variable and a variable set to the empty text are the same.

#ifndef ZORVANE_CONTROLLER_CONFIG_H_
#define ZORVANE_CONTROLLER_CONFIG_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "controller/status.h"

namespace controller {

// A signed count of nanoseconds. String() gives its text form: "0s", "2s",
// "1m30s", "1h0m0s", "-5s"; parts of a second as "1.5s", "500ms".
struct Duration {
  int64_t ns = 0;
  std::string String() const;
  friend bool operator==(Duration, Duration) = default;
};

inline constexpr int64_t kSecond = 1000000000;
inline constexpr int64_t kDefaultStopTimeout = 10 * kSecond;

// The watch pattern used when ZORVANE_WATCH_REGEX is empty.
inline constexpr std::string_view kDefaultWatchRegex =
    "(^.*.java$)|(^.*.js$)|(^.*.go$)";

struct Configuration {
  // Start commands and on-change commands of the three modes, unchanged.
  std::string zorvaneRUN, zorvaneDEBUG, zorvaneTEST;
  std::string zorvaneRUNWATCHACTION, zorvaneDEBUGWATCHACTION,
      zorvaneTESTWATCHACTION;
  // Kill settings: interrupt the server on each change (computeSigInt).
  bool zorvaneRUNKILL = false, zorvaneDEBUGKILL = false,
       zorvaneTESTKILL = false;
  // Preparation command: ZORVANE_PREP, else ZORVANE_INSTALL.
  std::string zorvaneINSTALL, zorvanePREP;
  // Watch pattern (RE2 syntax), not validated here.
  std::string zorvaneWATCHREGEX;
  // Polling interval; 2 seconds unless ZORVANE_WATCH_INTERVAL is a number.
  Duration zorvaneWATCHINTERVAL{2 * kSecond};
  // How long an interrupted command, or the whole stack when the controller
  // stops, may take to end before SIGKILL; 10 seconds unless
  // ZORVANE_STOP_TIMEOUT is a whole number of seconds, 0 or more.
  Duration zorvaneSTOPTIMEOUT{kDefaultStopTimeout};
  // ";"-separated, trimmed pieces of ZORVANE_WATCH_DIR, as written, empty
  // pieces left out. Absent when the variable was empty; present, and
  // possibly empty, otherwise.
  std::optional<std::vector<std::string>> zorvaneWATCHDIRS;
  // The same splitting of ZORVANE_WATCH_IGNORE_DIR, empty pieces kept (they
  // ignore nothing). A relative piece is made absolute against workDir and
  // cleaned, a trailing "/" kept; an absolute one stays as written.
  std::optional<std::vector<std::string>> zorvaneWATCHIGNOREDIR;
  // Container paths of ZORVANE_MOUNTS (the trimmed text after the last ":"
  // of each ";"-separated mount), empty ones left out.
  std::optional<std::vector<std::string>> zorvaneMOUNTS;

  // Set by the main flow: the working directory every child starts in, and
  // the start command of the chosen mode.
  std::string workDir;
  std::string startCommand;
};

// The process-wide configuration.
Configuration& configuration();

// Looks up one environment variable; "" when unset.
using EnvLookup = std::function<std::string(const char* name)>;

// Reads the ZORVANE_ variables through `env` into *config (replacing what
// it held, but for workDir and startCommand). Relative ignore entries are
// resolved against config->workDir, which the caller sets first (while it is
// empty they stay as written). Returns no error when the configuration is
// usable, else the Status of an envError, volumesError or mountError. Logs its
// progress through Debug, and an unusable interval through Warning.
Status setupEnvironmentVars(Configuration* config, const EnvLookup& env);

// The same, on the process environment and the process-wide configuration.
// Called once by the main flow, before any other thread starts.
Status setupEnvironmentVars();

// True when `tempSigInt` is empty, or equals "TRUE" once upper-cased and
// trimmed of white space.
bool computeSigInt(std::string_view tempSigInt);

// Removes leading and trailing Unicode white space.
std::string_view TrimSpace(std::string_view s);

// All three start commands were empty.
struct envError {
  std::string environmentVar1, environmentVar2, environmentVar3;
  std::string Error() const;
  operator Status() const { return Status(Error()); }
  friend bool operator==(const envError&, const envError&) = default;
};

// File watching is on but no directory to watch was given.
struct volumesError {
  std::string environmentVar1, environmentVar2;
  std::string Error() const;
  operator Status() const { return Status(Error()); }
  friend bool operator==(const volumesError&, const volumesError&) = default;
};

// A mount of ZORVANE_MOUNTS has no ":".
struct mountError {
  std::string mountsString;
  std::string Error() const;
  operator Status() const { return Status(Error()); }
  friend bool operator==(const mountError&, const mountError&) = default;
};

}  // namespace controller

#endif  // ZORVANE_CONTROLLER_CONFIG_H_
