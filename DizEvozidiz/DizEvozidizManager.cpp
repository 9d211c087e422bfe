#include <filesystem>
#include <mutex>
#include <unordered_set>

#include "DizEvozidiz/DizEvozidizManagerInternal.h"
#include "platform/runtime/thread.h"
#include "platform/system/text.h"

namespace {

struct Registry {
  platform::SpinLock lock;
  std::unordered_set<std::string> paths;
};

Registry& registry() {
  static Registry* r = new Registry;  // lives to the end of the process: databases may outlive statics
  return *r;
}

}  // namespace

std::string DizEvozidizManager::standardizedPath(std::string_view path) {
  std::string expanded = platform::expandingTildeInPath(path);
  if (!expanded.empty() && expanded.front() != '/') {
    std::error_code ec;
    const std::string cwd = std::filesystem::current_path(ec).string();
    if (!ec) expanded = platform::appendingPathComponent(cwd, expanded);
  }
  return platform::standardizingPath(expanded);
}

bool DizEvozidizManager::registerDatabaseForPath(std::string_view path) {
  if (path.empty()) return false;
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  return r.paths.emplace(path).second;
}

void DizEvozidizManager::deregisterDatabaseForPath(std::string_view path) {
  if (path.empty()) return;
  const std::string standardized = standardizedPath(path);
  if (standardized.empty()) return;
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  r.paths.erase(standardized);
}
