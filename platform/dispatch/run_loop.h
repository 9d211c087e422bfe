#pragma once

// The main thread's run loop, on GLib's default main context (so the interface toolkit shares it).
// Running it serves the main dispatch queue (see dispatch.h), main-loop timers and every other
// source attached to the default context. Only the main thread runs it.

#include <functional>
#include <memory>
#include <mutex>

#include "platform/system/date.h"

typedef struct _GSource GSource;

namespace platform {

class RunLoop {
 public:
  static RunLoop& main();

  // Runs one iteration: waits until at least one source has been handled or the limit date
  // passes, handles what is ready, and returns. False (without running) off the main thread.
  bool runOnce(Date limit);
  // Runs iterations until the date passes. Nothing off the main thread.
  void runUntil(Date limit);
  void runFor(double seconds);

 private:
  RunLoop() = default;
};

// Spins the main run loop until the condition holds (true) or the seconds pass (false). The
// condition is checked before each iteration and at least every few milliseconds. Main thread only
// (returns the condition's value at once elsewhere). Meant for tests and start-up code.
bool runMainLoopUntil(const std::function<bool()>& condition, double timeoutSeconds);

// A timer on the main run loop: its block runs on the main thread, interval seconds after it was
// scheduled and, when repeating, every interval after that, while the loop runs. The run loop
// keeps a valid timer alive; invalidate() stops it. Blocks run on the main thread; invalidate()
// and isValid() may be called from any thread.
class Timer : public std::enable_shared_from_this<Timer> {
 public:
  using Block = std::function<void(Timer&)>;

  // Intervals below 0.1 ms count as 0.1 ms (GLib's resolution makes that 1 ms).
  static std::shared_ptr<Timer> scheduledTimer(double interval, bool repeats, Block block);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // Runs the block now on the calling thread without changing the schedule; a non-repeating
  // timer is invalidated afterwards. Nothing on an invalid timer.
  void fire();
  void invalidate();
  bool isValid() const;
  double timeInterval() const { return interval_; }
  bool repeats() const { return repeats_; }

 private:
  Timer(double interval, bool repeats, Block block);
  static int onTimeout(void* data);

  const double interval_;
  const bool repeats_;
  Block block_;
  mutable std::mutex mutex_;
  bool valid_ = true;
  GSource* source_ = nullptr;
};

}  // namespace platform
