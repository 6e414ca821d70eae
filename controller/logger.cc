#include "controller/logger.h"

#include <vector>

namespace controller {

void zorvanelogger::write(const std::source_location& where,
                          std::span<const klog::Arg> args) const {
  if (name_ == "Info") {
    klog::InfoDepth(where, args);
    return;
  }
  // "[", the name and "] " go in front as texts, so they join the message
  // with nothing between.
  std::vector<klog::Arg> all = {"[", name_, "] "};
  all.insert(all.end(), args.begin(), args.end());
  klog::InfoDepth(where, all);
}

}  // namespace controller
