// Locks the compiler can check. Clang's thread-safety analysis reads these
// attributes (-Wthread-safety); other compilers see nothing. Every shared
// structure names the mutex that guards it with GUARDED_BY, every function
// that expects a lock held says so with REQUIRES, and the order between two
// locks is written as ACQUIRED_AFTER / ACQUIRED_BEFORE on the later one.
#pragma once

// 1 in builds under a race detector (ThreadSanitizer), which cannot see the
// orderings the kernel makes (an epoll arming before the next wake-up).
#if defined(__SANITIZE_THREAD__)
#define VANTREL_RACE_DETECTOR 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VANTREL_RACE_DETECTOR 1
#endif
#endif
#ifndef VANTREL_RACE_DETECTOR
#define VANTREL_RACE_DETECTOR 0
#endif

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define VANTREL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VANTREL_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) VANTREL_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VANTREL_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) VANTREL_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) VANTREL_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) VANTREL_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) VANTREL_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) VANTREL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) VANTREL_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) VANTREL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) VANTREL_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) VANTREL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) VANTREL_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) VANTREL_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) VANTREL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) VANTREL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) VANTREL_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) VANTREL_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS VANTREL_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace vantrel {

// std::mutex as a capability the analysis knows.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mu_.try_lock(); }
  // Tells the analysis the lock is held where it cannot see it (a callback
  // the holder runs).
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

  std::mutex& native() { return mu_; }

 private:
  std::mutex mu_;
};

// A mutex the holding thread may take again (a directory object calling
// back into its container, a stream copying into itself).
class CAPABILITY("mutex") RecursiveMutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  std::recursive_mutex mu_;
};

// Readers share, one writer excludes.
class CAPABILITY("mutex") SharedMutex {
 public:
  SharedMutex() = default;
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;

  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }
  void lock_shared() ACQUIRE_SHARED() { mu_.lock_shared(); }
  void unlock_shared() RELEASE_SHARED() { mu_.unlock_shared(); }

 private:
  std::shared_mutex mu_;
};

// Holds a Mutex (or RecursiveMutex) for its scope; Unlock/Lock let a
// holder step out around a call that must not run under it.
template <class M>
class SCOPED_CAPABILITY BasicLock {
 public:
  explicit BasicLock(M& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~BasicLock() RELEASE() {
    if (held_) mu_.unlock();
  }
  BasicLock(const BasicLock&) = delete;
  BasicLock& operator=(const BasicLock&) = delete;

  void Unlock() RELEASE() {
    mu_.unlock();
    held_ = false;
  }
  void Lock() ACQUIRE() {
    mu_.lock();
    held_ = true;
  }

 private:
  friend class CondVar;
  M& mu_;
  bool held_ = true;
};

using MutexLock = BasicLock<Mutex>;
using RecursiveMutexLock = BasicLock<RecursiveMutex>;

class SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex& mu) ACQUIRE_SHARED(mu) : mu_(mu) { mu_.lock_shared(); }
  ~ReaderLock() RELEASE() { mu_.unlock_shared(); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  SharedMutex& mu_;
};

class SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(SharedMutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~WriterLock() RELEASE() { mu_.unlock(); }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  SharedMutex& mu_;
};

// A condition variable over Mutex. Every wait has a bound or a predicate
// that a stopping owner makes true; the analysis sees the lock held
// throughout, which is what the caller observes. Prefer the loop form
//   while (!ready_) cv_.Wait(lock);
// so the analysis checks the condition under the lock; a predicate lambda
// is analysed on its own and must begin with mu.AssertHeld().
class CondVar {
 public:
  void NotifyOne() { cv_.notify_one(); }
  void NotifyAll() { cv_.notify_all(); }

  void Wait(MutexLock& lock) {
    std::unique_lock<std::mutex> native(lock.mu_.native(), std::adopt_lock);
    cv_.wait(native);
    native.release();
  }

  // False when the time ran out (the caller rechecks its condition).
  template <class Rep, class Period>
  bool WaitFor(MutexLock& lock, std::chrono::duration<Rep, Period> bound) {
    std::unique_lock<std::mutex> native(lock.mu_.native(), std::adopt_lock);
    bool ok = cv_.wait_for(native, bound) == std::cv_status::no_timeout;
    native.release();
    return ok;
  }

  template <class Clock, class Duration>
  bool WaitUntil(MutexLock& lock, std::chrono::time_point<Clock, Duration> deadline) {
    std::unique_lock<std::mutex> native(lock.mu_.native(), std::adopt_lock);
    bool ok = cv_.wait_until(native, deadline) == std::cv_status::no_timeout;
    native.release();
    return ok;
  }

  template <class Pred>
  void Wait(MutexLock& lock, Pred pred) {
    std::unique_lock<std::mutex> native(lock.mu_.native(), std::adopt_lock);
    cv_.wait(native, pred);
    native.release();
  }

  // False when the time ran out with pred still false.
  template <class Rep, class Period, class Pred>
  bool WaitFor(MutexLock& lock, std::chrono::duration<Rep, Period> bound, Pred pred) {
    std::unique_lock<std::mutex> native(lock.mu_.native(), std::adopt_lock);
    bool ok = cv_.wait_for(native, bound, pred);
    native.release();
    return ok;
  }

  template <class Clock, class Duration, class Pred>
  bool WaitUntil(MutexLock& lock, std::chrono::time_point<Clock, Duration> deadline, Pred pred) {
    std::unique_lock<std::mutex> native(lock.mu_.native(), std::adopt_lock);
    bool ok = cv_.wait_until(native, deadline, pred);
    native.release();
    return ok;
  }

 private:
  std::condition_variable cv_;
};

}  // namespace vantrel
