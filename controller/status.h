// Error values of the controller: the project's one error type
// (base/status.h) under the controller's name, so that an error the watcher
// returns keeps its identity when the controller passes it on.

#ifndef ZORVANE_CONTROLLER_STATUS_H_
#define ZORVANE_CONTROLLER_STATUS_H_

#include "base/status.h"

namespace controller {

using Status = base::Status;
using base::ErrnoStatus;
using base::ErrnoText;

}  // namespace controller

#endif  // ZORVANE_CONTROLLER_STATUS_H_
