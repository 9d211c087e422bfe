#pragma once

// What a signal sent, as transcript texts (marbles::text of each value, "error <code>",
// "completed"), recorded from any thread, and whether anything arrived off the main thread.
// The subscription is disposed with the recording.

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/run_loop.h"
#include "platform/runtime/thread.h"
#include "reactive/RFSignal.h"
#include "tests/reactive/marbles.h"

namespace bridges_test {

using Texts = std::vector<std::string>;

struct Recording {
  std::mutex lock;
  Texts texts;
  bool offMainThread = false;
  RFDisposablePtr subscription;

  Recording() = default;
  explicit Recording(const RFSignalPtr& signal) { record(signal); }
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;
  ~Recording() {
    if (subscription) subscription->dispose();
  }

  // Values as marbles::text, unless `describe` is given.
  void record(const RFSignalPtr& signal, std::function<std::string(const platform::Value&)> describe = nullptr) {
    subscription = signal->subscribeNext(
        [this, describe](const platform::Value& v) { add(describe ? describe(v) : marbles::text(v)); },
        [this](const platform::ErrorPtr& e) { add("error " + std::to_string(e->code())); },
        [this] { add("completed"); });
  }
  void add(std::string text) {
    std::lock_guard guard(lock);
    if (!platform::isMainThread()) offMainThread = true;
    texts.push_back(std::move(text));
  }
  Texts taken() {
    std::lock_guard guard(lock);
    return texts;
  }
  std::string last() {
    std::lock_guard guard(lock);
    return texts.empty() ? std::string() : texts.back();
  }
  // Runs the main loop until the last entry is `text` (or the seconds pass).
  bool waitFor(const std::string& text, double seconds = 5.0) {
    return platform::runMainLoopUntil([&] { return last() == text; }, seconds);
  }
};

}  // namespace bridges_test
