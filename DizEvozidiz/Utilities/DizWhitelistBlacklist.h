#pragma once

// DizWhitelistBlacklist: the allow/deny test behind every extension's allowed collections: an allow
// set, a deny set, or a filter block, fixed at creation. Immutable; may be shared between threads
// (a filter block must itself be safe to call from the connection queues that run extensions).

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>

class DizWhitelistBlacklist {
 public:
  using Filter = std::function<bool(std::string_view item)>;

  // Allows exactly the members (an empty set allows nothing).
  static std::shared_ptr<DizWhitelistBlacklist> withWhitelist(std::unordered_set<std::string> allowed);
  // Allows everything but the members (an empty set allows everything).
  static std::shared_ptr<DizWhitelistBlacklist> withBlacklist(std::unordered_set<std::string> denied);
  // Allows what the block says; an empty block gives no object (nullptr).
  static std::shared_ptr<DizWhitelistBlacklist> withFilterBlock(Filter filter);

  bool isAllowed(std::string_view item) const;

 private:
  enum class Kind { Whitelist, Blacklist, Filter };
  DizWhitelistBlacklist(Kind kind, std::unordered_set<std::string> items, Filter filter)
      : kind_(kind), items_(std::move(items)), filter_(std::move(filter)) {}

  const Kind kind_;
  const std::unordered_set<std::string> items_;
  const Filter filter_;
};
