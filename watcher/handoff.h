// Hand-offs between the watcher's threads. Internal to the watcher.
//
// Both classes are built from one mutex and one condition variable each, so
// every wait below is a plain condition wait: nothing sleeps and polls.

#ifndef ZORVANE_WATCHER_HANDOFF_H_
#define ZORVANE_WATCHER_HANDOFF_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

namespace watcher {

/// An unbuffered channel: Send returns only once a receiver has taken the
/// item. Close is a latch: once closed, every present and later Receive
/// returns at once without an item. Any number of senders and receivers.
template <typename T>
class Rendezvous {
 public:
  enum class Got { kItem, kClosed, kTimeout };

  /// Offers `v` and waits until a receiver takes it (true), or until the
  /// channel is closed before anyone did (false; `v` is dropped).
  bool Send(T v) {
    std::unique_lock lock(mu_);
    // One item in the slot at a time; later senders queue here.
    cv_.wait(lock, [&] { return closed_ || !slot_; });
    if (closed_) return false;
    slot_.emplace(std::move(v));
    // The ticket tells this sender that its own item, not a later sender's,
    // has been taken.
    const uint64_t ticket = ++offered_;
    cv_.notify_all();
    cv_.wait(lock, [&] { return taken_ >= ticket || closed_; });
    if (taken_ >= ticket) return true;
    slot_.reset();
    cv_.notify_all();
    return false;
  }

  /// Waits until an item is offered (kItem, stored in `*out`), the channel
  /// is closed (kClosed), or `deadline` passes (kTimeout).
  Got ReceiveUntil(std::chrono::steady_clock::time_point deadline, T* out) {
    std::unique_lock lock(mu_);
    if (!cv_.wait_until(lock, deadline, [&] { return closed_ || slot_; })) {
      return Got::kTimeout;
    }
    return take(out);
  }

  /// As ReceiveUntil, without a deadline.
  Got Receive(T* out) {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return closed_ || slot_; });
    return take(out);
  }

  /// Closes the channel; closing it again does nothing.
  void Close() {
    std::lock_guard lock(mu_);
    closed_ = true;
    cv_.notify_all();
  }

 private:
  // REQUIRES: mu_ held, and closed_ or slot_.
  Got take(T* out) {
    if (!slot_) return Got::kClosed;
    *out = std::move(*slot_);
    slot_.reset();
    ++taken_;
    cv_.notify_all();
    return Got::kItem;
  }

  std::mutex mu_;
  std::condition_variable cv_;
  // Guarded by mu_.
  std::optional<T> slot_;
  uint64_t offered_ = 0;
  uint64_t taken_ = 0;
  bool closed_ = false;
};

/// What the polling loop waits for in each cycle, and the hand-offs around
/// it:
///   - the close request, from Close to the loop, unbuffered: RequestClose
///     returns once the loop has taken it;
///   - per cycle, the event slot `evt`, from the comparison task to the
///     loop, unbuffered: Emit returns once the loop took the event, or
///     returns false when the cycle was cancelled first;
///   - per cycle, `done`: posted once by the comparison task, never blocks;
///   - per cycle, `cancel`: a latch raised by the loop.
/// One object serves every cycle: BeginCycle resets the per-cycle state, and
/// the loop calls it only after the previous comparison task has ended.
template <typename T>
class LoopHandoff {
 public:
  enum class Next { kClose, kEvent, kDone };

  // The loop's side.

  /// Starts a cycle: no event offered, not done, not cancelled.
  void BeginCycle() {
    std::lock_guard lock(mu_);
    evt_.reset();
    done_ = false;
    cancel_ = false;
  }

  /// Waits for whichever comes first: a close request (kClose; it is then
  /// taken), an event (kEvent, stored in `*event`), or the done notice
  /// (kDone). A pending close request wins over the others.
  Next Wait(T* event) {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return closeRequested_ || evt_ || done_; });
    if (closeRequested_) {
      closeTaken_ = true;
      cv_.notify_all();
      return Next::kClose;
    }
    if (evt_) {
      *event = std::move(*evt_);
      evt_.reset();
      cv_.notify_all();
      return Next::kEvent;
    }
    return Next::kDone;
  }

  /// Raises the cycle's cancel latch.
  void Cancel() {
    std::lock_guard lock(mu_);
    cancel_ = true;
    cv_.notify_all();
  }

  // The comparison task's side.

  /// Offers `v` to the loop and waits until the loop takes it (true) or the
  /// cycle is cancelled (false: stop emitting).
  bool Emit(T v) {
    std::unique_lock lock(mu_);
    if (cancel_) return false;
    evt_.emplace(std::move(v));
    cv_.notify_all();
    cv_.wait(lock, [&] { return !evt_ || cancel_; });
    if (!evt_) return true;
    evt_.reset();
    return false;
  }

  /// Posts the cycle's done notice.
  void PostDone() {
    std::lock_guard lock(mu_);
    done_ = true;
    cv_.notify_all();
  }

  // Close's side.

  /// Hands a close request to the loop and returns once the loop took it.
  /// Called at most once per loop.
  void RequestClose() {
    std::unique_lock lock(mu_);
    closeRequested_ = true;
    cv_.notify_all();
    cv_.wait(lock, [&] { return closeTaken_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  // Guarded by mu_.
  bool closeRequested_ = false;
  bool closeTaken_ = false;
  std::optional<T> evt_;
  bool done_ = false;
  bool cancel_ = false;
};

}  // namespace watcher

#endif  // ZORVANE_WATCHER_HANDOFF_H_
