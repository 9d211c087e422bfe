#pragma once

// ZRVAnalytics: where the interface reports usage (screens looked at, choices made). The process
// has one sink; until one is installed every report goes to a sink that drops it, so the
// interface never has to ask whether analytics is there.
//
// Failure: reports are fire-and-forget; a sink that cannot deliver drops them.
// Threads: reports are made on the main thread; setSharedSink() is called at start-up (and by
// tests) before any report, also on the main thread.

#include <map>
#include <memory>
#include <string>
#include <string_view>

class ZRVAnalyticsSink {
 public:
  using Attributes = std::map<std::string, std::string>;
  virtual ~ZRVAnalyticsSink() = default;

  // A screen or control the user looked at or used.
  virtual void logContentView(std::string_view name, std::string_view contentType, std::string_view contentId,
                              const Attributes& attributes) = 0;
  // Any other named event.
  virtual void logCustomEvent(std::string_view name, const Attributes& attributes) = 0;
};

namespace ZRVAnalytics {

// The process's sink (a sink that drops everything until one is set); never null.
ZRVAnalyticsSink& sharedSink();
// Installs `sink`; null installs the dropping sink again.
void setSharedSink(std::shared_ptr<ZRVAnalyticsSink> sink);

}  // namespace ZRVAnalytics
