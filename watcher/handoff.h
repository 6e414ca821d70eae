// Hand-offs between the watcher's threads. Internal to the watcher.
//
// Both classes are built from one mutex and one condition variable each, so
// every wait below is a plain condition wait: nothing sleeps and polls.
// Their locks are leaves: nothing else is taken while one is held.

#ifndef ZORVANE_WATCHER_HANDOFF_H_
#define ZORVANE_WATCHER_HANDOFF_H_

#include <chrono>
#include <cstdint>
#include <optional>

#include "base/mutex.h"

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
  bool Send(T v) EXCLUDES(mu_) {
    base::MutexLock lock(&mu_);
    // One item in the slot at a time; later senders queue here.
    while (!closed_ && slot_) cv_.Wait(&mu_);
    if (closed_) return false;
    slot_.emplace(std::move(v));
    // The ticket tells this sender that its own item, not a later sender's,
    // has been taken.
    const uint64_t ticket = ++offered_;
    cv_.NotifyAll();
    while (taken_ < ticket && !closed_) cv_.Wait(&mu_);
    if (taken_ >= ticket) return true;
    slot_.reset();
    cv_.NotifyAll();
    return false;
  }

  /// Waits until an item is offered (kItem, stored in `*out`), the channel
  /// is closed (kClosed), or `deadline` passes (kTimeout).
  Got ReceiveUntil(std::chrono::steady_clock::time_point deadline, T* out)
      EXCLUDES(mu_) {
    base::MutexLock lock(&mu_);
    while (!closed_ && !slot_) {
      if (!cv_.WaitUntil(&mu_, deadline) && !closed_ && !slot_) {
        return Got::kTimeout;
      }
    }
    return take(out);
  }

  /// As ReceiveUntil, without a deadline.
  Got Receive(T* out) EXCLUDES(mu_) {
    base::MutexLock lock(&mu_);
    while (!closed_ && !slot_) cv_.Wait(&mu_);
    return take(out);
  }

  /// True while a sender waits with an item that no receiver has taken:
  /// for tests, which must know that a delivery is pending.
  bool Offered() EXCLUDES(mu_) {
    base::MutexLock lock(&mu_);
    return slot_.has_value();
  }

  /// Closes the channel; closing it again does nothing.
  void Close() EXCLUDES(mu_) {
    base::MutexLock lock(&mu_);
    closed_ = true;
    cv_.NotifyAll();
  }

 private:
  // Needs closed_ or slot_.
  Got take(T* out) REQUIRES(mu_) {
    if (!slot_) return Got::kClosed;
    *out = std::move(*slot_);
    slot_.reset();
    ++taken_;
    cv_.NotifyAll();
    return Got::kItem;
  }

  base::Mutex mu_;
  base::CondVar cv_;
  std::optional<T> slot_ GUARDED_BY(mu_);
  uint64_t offered_ GUARDED_BY(mu_) = 0;
  uint64_t taken_ GUARDED_BY(mu_) = 0;
  bool closed_ GUARDED_BY(mu_) = false;
};

/// The stop request that Close hands to the polling loop: unbuffered, so
/// Request returns only once the loop has taken it. The loop looks for it
/// between deliveries.
class CloseRequest {
 public:
  /// Close's side: hands the request over and returns once the loop took
  /// it. Called at most once per loop.
  void Request() EXCLUDES(mu_) {
    base::MutexLock lock(&mu_);
    requested_ = true;
    cv_.NotifyAll();
    while (!taken_) cv_.Wait(&mu_);
  }

  /// True once Request has been called: for tests, which must know that a
  /// request is pending.
  bool Requested() EXCLUDES(mu_) {
    base::MutexLock lock(&mu_);
    return requested_;
  }

  /// The loop's side: takes a pending request (true, and its sender goes
  /// on), or returns false at once.
  bool Take() EXCLUDES(mu_) {
    base::MutexLock lock(&mu_);
    if (!requested_ || taken_) return false;
    taken_ = true;
    cv_.NotifyAll();
    return true;
  }

 private:
  base::Mutex mu_;
  base::CondVar cv_;
  bool requested_ GUARDED_BY(mu_) = false;
  bool taken_ GUARDED_BY(mu_) = false;
};

}  // namespace watcher

#endif  // ZORVANE_WATCHER_HANDOFF_H_
