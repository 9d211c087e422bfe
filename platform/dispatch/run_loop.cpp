#include "platform/dispatch/run_loop.h"

#include <glib.h>

#include <algorithm>
#include <chrono>
#include <cmath>

#include "platform/dispatch/dispatch.h"
#include "platform/system/this_thread.h"

namespace platform {

namespace {

guint toMilliseconds(double seconds) {
  if (!(seconds > 0)) return 0;
  double ms = std::ceil(seconds * 1000.0);
  return ms > 1e9 ? 1000000000u : static_cast<guint>(ms);
}

gboolean stopWaiting(gpointer) { return G_SOURCE_REMOVE; }

// One iteration of the default context, waiting at most the given seconds.
void iterateFor(double seconds) {
  // The main queue's source must be attached before the first iteration.
  DispatchQueue::main();
  GMainContext* context = g_main_context_default();
  GSource* limit = g_timeout_source_new(toMilliseconds(seconds));
  g_source_set_callback(limit, stopWaiting, nullptr, nullptr);
  g_source_attach(limit, context);
  g_main_context_iteration(context, TRUE);
  g_source_destroy(limit);
  g_source_unref(limit);
}

}  // namespace

RunLoop& RunLoop::main() {
  static RunLoop* loop = new RunLoop;
  return *loop;
}

bool RunLoop::runOnce(Date limit) {
  if (!isMainThread()) return false;
  iterateFor(limit.timeIntervalSinceNow());
  return true;
}

void RunLoop::runUntil(Date limit) {
  if (!isMainThread()) return;
  for (;;) {
    double remaining = limit.timeIntervalSinceNow();
    if (!(remaining > 0)) return;
    iterateFor(remaining);
  }
}

void RunLoop::runFor(double seconds) {
  if (!isMainThread()) return;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                         std::chrono::duration<double>(std::clamp(seconds, 0.0, 1e9)));
  for (;;) {
    double remaining = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
    if (!(remaining > 0)) return;
    iterateFor(remaining);
  }
}

bool runMainLoopUntil(const std::function<bool()>& condition, double timeoutSeconds) {
  if (!isMainThread()) return condition();
  // The condition may be made true by another thread without waking the loop: look every 5 ms.
  constexpr double kSlice = 0.005;
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (condition()) return true;
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!(elapsed < timeoutSeconds)) return condition();
    iterateFor(std::min(kSlice, timeoutSeconds - elapsed));
  }
}

// ---------------------------------------------------------------------------------------------

namespace {

struct TimerHold {
  std::shared_ptr<Timer> timer;
};

void releaseHold(gpointer data) { delete static_cast<TimerHold*>(data); }

}  // namespace

Timer::Timer(double interval, bool repeats, Block block)
    : interval_(std::max(interval, 0.0001)), repeats_(repeats), block_(std::move(block)) {}

Timer::~Timer() = default;

std::shared_ptr<Timer> Timer::scheduledTimer(double interval, bool repeats, Block block) {
  std::shared_ptr<Timer> timer(new Timer(std::isnan(interval) ? 0.0 : interval, repeats, std::move(block)));
  GSource* source = g_timeout_source_new(std::max<guint>(1, toMilliseconds(timer->interval_)));
  g_source_set_callback(source, reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(&Timer::onTimeout)),
                        new TimerHold{timer}, releaseHold);
  {
    std::lock_guard lock(timer->mutex_);
    timer->source_ = source;  // keeps our reference until invalidate()
  }
  g_source_attach(source, g_main_context_default());
  return timer;
}

int Timer::onTimeout(void* data) {
  // Held for the whole call: the block may invalidate the timer and drop the loop's reference.
  std::shared_ptr<Timer> timer = static_cast<TimerHold*>(data)->timer;
  if (!timer->isValid()) return G_SOURCE_REMOVE;
  timer->block_(*timer);
  if (!timer->repeats_) timer->invalidate();
  return timer->isValid() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

void Timer::fire() {
  if (!isValid()) return;
  block_(*this);
  if (!repeats_) invalidate();
}

void Timer::invalidate() {
  GSource* source;
  {
    std::lock_guard lock(mutex_);
    valid_ = false;
    source = source_;
    source_ = nullptr;
  }
  if (source) {
    g_source_destroy(source);
    g_source_unref(source);
  }
}

bool Timer::isValid() const {
  std::lock_guard lock(mutex_);
  return valid_;
}

}  // namespace platform
