#pragma once

// The small locks the frameworks use: a plain mutex (with a condition variable to wait on it), a
// recursive lock, a lock with a condition, and a spin lock. OS helpers only (no object runtime);
// each says who may call what. All are capabilities for Clang's thread-safety analysis
// (platform/system/thread_safety.h), so state they guard can say so with ZORVEL_GUARDED_BY; code
// uses these instead of the standard library's mutexes, which the analysis does not know.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/system/date.h"
#include "platform/system/thread_safety.h"

namespace platform {

// A std::mutex the thread-safety analysis knows. Hold it through MutexLock; wait on it with a
// ConditionVariable.
class ZORVEL_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ZORVEL_ACQUIRE() { mutex_.lock(); }
  void unlock() ZORVEL_RELEASE() { mutex_.unlock(); }
  bool tryLock() ZORVEL_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  friend class ConditionVariable;
  std::mutex mutex_;
};

// Holds one of this header's locks (a Mutex unless said otherwise: MutexLock<RecursiveLock>) from
// its construction to its destruction, in a form the analysis follows (std::lock_guard, and
// std::unique_lock's unlock and lock again: code that must call out without the lock unlocks
// early and, where it needs to, locks again; the destructor unlocks only a held lock).
template <class Lockable = Mutex>
class ZORVEL_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Lockable& mutex) ZORVEL_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() ZORVEL_RELEASE() {
    if (held_) mutex_.unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void unlock() ZORVEL_RELEASE() {
    held_ = false;
    mutex_.unlock();
  }
  void lock() ZORVEL_ACQUIRE() {
    mutex_.lock();
    held_ = true;
  }

 private:
  Lockable& mutex_;
  bool held_ = true;
};

// Waiting on a Mutex for a change of the state it guards: the caller holds the mutex, tests the
// state, and waits, which releases the mutex while waiting and takes it again before returning.
// Waits may wake without a notification, so always test the state in a loop. notify may be called
// with or without the mutex.
class ConditionVariable {
 public:
  ConditionVariable() = default;
  ConditionVariable(const ConditionVariable&) = delete;
  ConditionVariable& operator=(const ConditionVariable&) = delete;

  void wait(Mutex& mutex) ZORVEL_REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  // False when the time came before a wake-up.
  template <class Clock, class Duration>
  bool waitUntil(Mutex& mutex, const std::chrono::time_point<Clock, Duration>& deadline) ZORVEL_REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    bool woken = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return woken;
  }
  template <class Rep, class Period>
  bool waitFor(Mutex& mutex, const std::chrono::duration<Rep, Period>& timeout) ZORVEL_REQUIRES(mutex) {
    return waitUntil(mutex, std::chrono::steady_clock::now() + timeout);
  }

  void notifyOne() { cv_.notify_one(); }
  void notifyAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

// A mutex that the thread holding it may lock again; each lock needs its unlock. Satisfies
// BasicLockable, so std::lock_guard and std::unique_lock work with it.
class ZORVEL_CAPABILITY("mutex") RecursiveLock {
 public:
  RecursiveLock() = default;
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;

  void lock() ZORVEL_ACQUIRE() { mutex_.lock(); }
  void unlock() ZORVEL_RELEASE() { mutex_.unlock(); }
  bool tryLock() ZORVEL_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  std::recursive_mutex mutex_;
};

// A lock with a condition: lock it, test the state it guards, wait (which releases the lock while
// waiting and takes it again before returning), unlock. Waits may wake without a signal, so
// always test the state in a loop. signal/broadcast may be called with or without the lock.
class ZORVEL_CAPABILITY("mutex") Condition {
 public:
  Condition() = default;
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;

  void lock() ZORVEL_ACQUIRE() { mutex_.lock(); }
  void unlock() ZORVEL_RELEASE() { mutex_.unlock(); }
  bool tryLock() ZORVEL_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

  // The caller must hold the lock.
  void wait();
  // The caller must hold the lock. False when the wall-clock date passed before a wake-up.
  bool waitUntil(Date date);
  // The caller must hold the lock. False when the seconds passed before a wake-up.
  bool waitFor(double seconds);

  void signal() { cv_.notify_one(); }
  void broadcast() { cv_.notify_all(); }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
};

// A lock for a few instructions of work: spins on a relaxed read (test-and-test-and-set) and
// yields the processor while another thread holds it. Not recursive.
class ZORVEL_CAPABILITY("mutex") SpinLock {
 public:
  SpinLock() = default;
  SpinLock(const SpinLock&) = delete;
  SpinLock& operator=(const SpinLock&) = delete;

  void lock() ZORVEL_ACQUIRE() {
    while (flag_.test_and_set(std::memory_order_acquire)) {
      while (flag_.test(std::memory_order_relaxed)) yield();
    }
  }
  bool tryLock() ZORVEL_TRY_ACQUIRE(true) { return !flag_.test_and_set(std::memory_order_acquire); }
  void unlock() ZORVEL_RELEASE() { flag_.clear(std::memory_order_release); }

 private:
  static void yield();
  std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

}  // namespace platform
