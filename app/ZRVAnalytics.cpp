#include "app/ZRVAnalytics.h"

namespace {

class DroppingSink final : public ZRVAnalyticsSink {
 public:
  void logContentView(std::string_view, std::string_view, std::string_view, const Attributes&) override {}
  void logCustomEvent(std::string_view, const Attributes&) override {}
};

std::shared_ptr<ZRVAnalyticsSink>& installedSink() {
  static auto* sink = new std::shared_ptr<ZRVAnalyticsSink>(std::make_shared<DroppingSink>());
  return *sink;
}

}  // namespace

ZRVAnalyticsSink& ZRVAnalytics::sharedSink() { return *installedSink(); }

void ZRVAnalytics::setSharedSink(std::shared_ptr<ZRVAnalyticsSink> sink) {
  installedSink() = sink ? std::move(sink) : std::make_shared<DroppingSink>();
}
