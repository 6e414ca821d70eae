// The program's command line: which options it has and where their values
// land. The main flow and the option parser's fuzz target register them
// through the same function, so the target exercises exactly the program's
// option set.

#ifndef ZORVANE_CONTROLLER_OPTIONS_H_
#define ZORVANE_CONTROLLER_OPTIONS_H_

#include <string>

#include "klog/flagset.h"

namespace controller {

// The values behind the options, owned by the FlagSet they were registered
// on; valid while it lives.
struct CommandLineOptions {
  const std::string* mode;  // -mode: "run" unless given
  const bool* verbose;      // -verbose
  const bool* v;            // -v, the same as -verbose
};

// Registers -mode, -verbose and -v on `flags`. Call once per FlagSet,
// before Parse; same threading as the FlagSet.
CommandLineOptions registerOptions(klog::FlagSet* flags);

}  // namespace controller

#endif  // ZORVANE_CONTROLLER_OPTIONS_H_
