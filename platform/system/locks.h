#pragma once

// The small locks the frameworks use: a plain mutex, a recursive lock, a lock with a condition, and
// a spin lock. OS helpers only (no object runtime); each says who may call what. All are
// capabilities for Clang's thread-safety analysis (platform/thread_safety.h), so state they guard
// can say so with ZORVEL_GUARDED_BY.

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/system/date.h"
#include "platform/system/thread_safety.h"

namespace platform {

// A std::mutex the thread-safety analysis knows. Hold it through MutexLock.
class ZORVEL_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ZORVEL_ACQUIRE() { mutex_.lock(); }
  void unlock() ZORVEL_RELEASE() { mutex_.unlock(); }
  bool tryLock() ZORVEL_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  std::mutex mutex_;
};

// Holds a Mutex for its own lifetime (std::lock_guard, in a form the analysis follows).
class ZORVEL_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ZORVEL_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() ZORVEL_RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
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
