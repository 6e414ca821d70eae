// A mutex, its scoped lock and a condition variable that clang's
// thread-safety analysis understands (thread_annotations.h).
//
// They are thin wrappers of std::mutex and std::condition_variable; use
// them for every lock that guards shared state, so that GUARDED_BY and
// REQUIRES are checked.
//
//   base::Mutex mu_;
//   bool done_ GUARDED_BY(mu_) = false;
//   base::CondVar changed_;
//
//   void Finish() {
//     base::MutexLock lock(&mu_);
//     done_ = true;
//     changed_.NotifyAll();
//   }
//   void AwaitDone() {
//     base::MutexLock lock(&mu_);
//     while (!done_) changed_.Wait(&mu_);
//   }

#ifndef ZORVANE_BASE_MUTEX_H_
#define ZORVANE_BASE_MUTEX_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/thread_annotations.h"

namespace base {

// A non-recursive mutex. Never held across a wait for a child process or
// for the log's output.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }
  bool TryLock() TRY_ACQUIRE(true) { return mu_.try_lock(); }

  // Tells the analysis that the caller holds the mutex, where it cannot
  // see it (a callback run under the lock). Checks nothing at run time.
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  std::mutex mu_;
};

// Holds a Mutex from construction to destruction; Unlock and Lock let a
// function give it up for a while (to wait for a child, say) and take it
// back, which the analysis follows.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mu) ACQUIRE(mu) : mu_(mu) { mu_->Lock(); }
  ~MutexLock() RELEASE() {
    if (held_) mu_->Unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void Unlock() RELEASE() {
    held_ = false;
    mu_->Unlock();
  }
  void Lock() ACQUIRE() {
    mu_->Lock();
    held_ = true;
  }

 private:
  Mutex* const mu_;
  bool held_ = true;
};

// A condition variable waited on with a base::Mutex held.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // Releases `mu`, blocks until notified (or spuriously), takes `mu` back.
  void Wait(Mutex* mu) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }

  // As Wait, but returns false once `deadline` has passed.
  template <class Clock, class Duration>
  bool WaitUntil(Mutex* mu,
                 const std::chrono::time_point<Clock, Duration>& deadline)
      REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    const bool notified = cv_.wait_until(lock, deadline) ==
                          std::cv_status::no_timeout;
    lock.release();
    return notified;
  }

  void NotifyOne() { cv_.notify_one(); }
  void NotifyAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace base

#endif  // ZORVANE_BASE_MUTEX_H_
