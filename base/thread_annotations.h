// Annotations for clang's thread-safety analysis (-Wthread-safety).
//
// They turn the locking rules of a class into something the compiler
// checks: a field names the mutex that guards it, a function names the
// mutexes it needs held or must not hold, and a mutex names the ones that
// are taken before it. Under GCC they expand to nothing.
//
//   class Table {
//     base::Mutex mu_;
//     std::map<int, Entry> entries_ GUARDED_BY(mu_);
//     void insertLocked(int key) REQUIRES(mu_);
//   };
//
// The analysis follows one function at a time: a lock taken in one
// function and released in another is invisible to it. Keep each critical
// section inside one function, or hand the scoped lock object along.

#ifndef ZORVANE_BASE_THREAD_ANNOTATIONS_H_
#define ZORVANE_BASE_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define ZORVANE_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZORVANE_THREAD_ANNOTATION(x)
#endif

// A class whose objects are locks (a mutex wrapper).
#define CAPABILITY(name) ZORVANE_THREAD_ANNOTATION(capability(name))
// A class whose objects hold a lock for their lifetime (a scoped lock).
#define SCOPED_CAPABILITY ZORVANE_THREAD_ANNOTATION(scoped_lockable)

// The field may be read or written only with `mu` held.
#define GUARDED_BY(mu) ZORVANE_THREAD_ANNOTATION(guarded_by(mu))
// What the pointer field points to may be used only with `mu` held.
#define PT_GUARDED_BY(mu) ZORVANE_THREAD_ANNOTATION(pt_guarded_by(mu))

// Lock order: this mutex is taken after (before) the named ones.
#define ACQUIRED_AFTER(...) \
  ZORVANE_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) \
  ZORVANE_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))

// The caller must hold (must not hold) the named mutexes.
#define REQUIRES(...) \
  ZORVANE_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) \
  ZORVANE_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) ZORVANE_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// The function takes (releases) the named mutexes, or its object's.
#define ACQUIRE(...) \
  ZORVANE_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) \
  ZORVANE_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) \
  ZORVANE_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// The function checks at run time that the mutex is held.
#define ASSERT_CAPABILITY(x) \
  ZORVANE_THREAD_ANNOTATION(assert_capability(x))
// The function returns a reference to the named mutex.
#define RETURN_CAPABILITY(x) ZORVANE_THREAD_ANNOTATION(lock_returned(x))

// Turns the analysis off for one function. Say why wherever it is used.
#define NO_THREAD_SAFETY_ANALYSIS \
  ZORVANE_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // ZORVANE_BASE_THREAD_ANNOTATIONS_H_
