// Error values of the controller: the project's one error type
// (base/status.h) under the controller's name, so that an error the watcher
// returns keeps its identity when the controller passes it on.

#ifndef ZORVANE_CONTROLLER_STATUS_H_
#define ZORVANE_CONTROLLER_STATUS_H_

#include <string>

#include "base/status.h"

namespace controller {

using Status = base::Status;
using base::ErrnoStatus;
using base::ErrnoText;

// The reason alone ("resource temporarily unavailable") of a failure to
// start a thread (base/thread.h: "could not start thread <name>: <reason>"),
// for the messages that name the thread's task in their own words.
inline std::string ThreadStartReason(const Status& err) {
  const std::string text = err.Error();
  const auto colon = text.find(": ");
  return colon == std::string::npos ? text : text.substr(colon + 2);
}

}  // namespace controller

#endif  // ZORVANE_CONTROLLER_STATUS_H_
