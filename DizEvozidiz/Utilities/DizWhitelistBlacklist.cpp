#include "DizEvozidiz/Utilities/DizWhitelistBlacklist.h"

std::shared_ptr<DizWhitelistBlacklist> DizWhitelistBlacklist::withWhitelist(std::unordered_set<std::string> allowed) {
  return std::shared_ptr<DizWhitelistBlacklist>(new DizWhitelistBlacklist(Kind::Whitelist, std::move(allowed), {}));
}

std::shared_ptr<DizWhitelistBlacklist> DizWhitelistBlacklist::withBlacklist(std::unordered_set<std::string> denied) {
  return std::shared_ptr<DizWhitelistBlacklist>(new DizWhitelistBlacklist(Kind::Blacklist, std::move(denied), {}));
}

std::shared_ptr<DizWhitelistBlacklist> DizWhitelistBlacklist::withFilterBlock(Filter filter) {
  if (!filter) return nullptr;
  return std::shared_ptr<DizWhitelistBlacklist>(new DizWhitelistBlacklist(Kind::Filter, {}, std::move(filter)));
}

bool DizWhitelistBlacklist::isAllowed(std::string_view item) const {
  switch (kind_) {
    case Kind::Whitelist:
      return items_.contains(std::string(item));
    case Kind::Blacklist:
      return !items_.contains(std::string(item));
    case Kind::Filter:
      return filter_(item);
  }
  return false;
}
