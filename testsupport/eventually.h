// Waiting for evidence in tests: a condition polled until a deadline,
// never a fixed sleep.

#ifndef ZORVANE_TESTSUPPORT_EVENTUALLY_H_
#define ZORVANE_TESTSUPPORT_EVENTUALLY_H_

#include <chrono>
#include <thread>

namespace testsupport {

/// Polls `done()` every `every` until it holds, true then; false once
/// `timeout` has passed with `done()` still false. `done` runs on the
/// calling thread, at least once.
template <typename Pred>
bool Eventually(Pred done,
                std::chrono::milliseconds timeout = std::chrono::seconds(20),
                std::chrono::milliseconds every = std::chrono::milliseconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(every);
  }
  return true;
}

}  // namespace testsupport

#endif  // ZORVANE_TESTSUPPORT_EVENTUALLY_H_
