#pragma once

// The small locks the frameworks use: a recursive lock, a lock with a condition, and a spin lock.
// OS helpers only (no object runtime); each says who may call what.

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/date.h"

namespace platform {

// A mutex that the thread holding it may lock again; each lock needs its unlock. Satisfies
// BasicLockable, so std::lock_guard and std::unique_lock work with it.
class RecursiveLock {
 public:
  RecursiveLock() = default;
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;

  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  bool tryLock() { return mutex_.try_lock(); }

 private:
  std::recursive_mutex mutex_;
};

// A lock with a condition: lock it, test the state it guards, wait (which releases the lock while
// waiting and takes it again before returning), unlock. Waits may wake without a signal, so
// always test the state in a loop. signal/broadcast may be called with or without the lock.
class Condition {
 public:
  Condition() = default;
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;

  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  bool tryLock() { return mutex_.try_lock(); }

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
class SpinLock {
 public:
  SpinLock() = default;
  SpinLock(const SpinLock&) = delete;
  SpinLock& operator=(const SpinLock&) = delete;

  void lock() {
    while (flag_.test_and_set(std::memory_order_acquire)) {
      while (flag_.test(std::memory_order_relaxed)) yield();
    }
  }
  bool tryLock() { return !flag_.test_and_set(std::memory_order_acquire); }
  void unlock() { flag_.clear(std::memory_order_release); }

 private:
  static void yield();
  std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

}  // namespace platform
