#include "controller/options.h"

namespace controller {
namespace {

const char kFlagUsage[] = "Turns on debug output and logging ";

}  // namespace

CommandLineOptions registerOptions(klog::FlagSet* flags) {
  CommandLineOptions options;
  options.mode = flags->String(
      "mode", "run",
      "This is the mode the controller runs in: run, debug or test");
  options.verbose = flags->Bool("verbose", false, kFlagUsage);
  options.v = flags->Bool("v", false, kFlagUsage);
  return options;
}

}  // namespace controller
