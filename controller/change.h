// What the command that a file change starts learns of that change.
//
// The on-change command (or the server, when a change starts it again)
// gets two more environment variables than the controller has:
// ZORVANE_CHANGED_PATH, the absolute path of the file whose event was
// accepted (for a rename or a move, the new path), and ZORVANE_CHANGE, the
// event's kind as the watcher names it ("WRITE", "CREATE", "REMOVE",
// "RENAME", "CHMOD", "MOVE"). Commands that no change starts (the
// preparation command, the server at start-up) get the controller's
// environment unchanged.

#ifndef ZORVANE_CONTROLLER_CHANGE_H_
#define ZORVANE_CONTROLLER_CHANGE_H_

#include <optional>
#include <string>
#include <vector>

#include "watcher/event.h"

namespace controller {

// One accepted change. A value; empty (no kind) when a run was started
// without one.
struct Change {
  std::string path;  // absolute; for a rename or a move, the new path
  std::string kind;  // the watcher's text of the event's kind
  bool empty() const { return kind.empty(); }
};

// The change that `event` reports.
Change changeOf(const watcher::Event& event);

// The environment of a command that `change` starts: the entries of `base`
// ("NAME=value", null-terminated, as `environ`) in their order, except any
// that already name one of the change's variables, followed by those
// variables. Nothing (the command inherits `base` as it is) for an empty
// change.
std::optional<std::vector<std::string>> changeEnvironment(
    const Change& change, const char* const* base);

}  // namespace controller

#endif  // ZORVANE_CONTROLLER_CHANGE_H_
