#include "platform/services/bundle.h"

#include <unistd.h>

#include <mutex>
#include <system_error>

#include "platform/codecs/property_list.h"
#include "platform/services/files.h"
#include "platform/system/process.h"

namespace platform {

namespace {

std::mutex gMainMutex;
BundlePtr gMain;  // guarded by gMainMutex

std::filesystem::path executableFolder() {
  std::error_code error;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::current_path(error) : exe.parent_path();
}

bool holdsInfo(const std::filesystem::path& folder) {
  std::error_code error;
  return !folder.empty() && std::filesystem::is_regular_file(folder / "Info.plist", error);
}

BundlePtr findMain() {
  if (auto configured = ProcessInfo::environmentValue("ZORVEL_BUNDLE_PATH"); configured && holdsInfo(*configured))
    return Bundle::bundleWithPath(*configured);
  std::filesystem::path exe = executableFolder();
  if (std::filesystem::path installed = exe / ".." / "share" / "zorvel"; holdsInfo(installed))
    return Bundle::bundleWithPath(installed.lexically_normal());
#ifdef ZORVEL_BUILD_TREE_RESOURCES
  if (holdsInfo(ZORVEL_BUILD_TREE_RESOURCES)) return Bundle::bundleWithPath(ZORVEL_BUILD_TREE_RESOURCES);
#endif
  return Bundle::bundleWithInfoDictionary(exe, Value(ValueDictionary{}));
}

}  // namespace

BundlePtr Bundle::bundleWithPath(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::is_directory(path, error)) return nullptr;
  Value info;
  if (auto bytes = FileManager::defaultManager().readFile(path / "Info.plist")) info = propertyListWithData(*bytes);
  if (!info.isDictionary()) info = Value(ValueDictionary{});
  return std::make_shared<const Bundle>(path, std::move(info));
}

BundlePtr Bundle::bundleWithInfoDictionary(const std::filesystem::path& path, Value infoDictionary) {
  if (!infoDictionary.isDictionary()) infoDictionary = Value(ValueDictionary{});
  return std::make_shared<const Bundle>(path, std::move(infoDictionary));
}

BundlePtr Bundle::main() {
  std::lock_guard lock(gMainMutex);
  if (!gMain) gMain = findMain();
  return gMain;
}

void Bundle::setMain(BundlePtr bundle) {
  std::lock_guard lock(gMainMutex);
  gMain = std::move(bundle);
}

std::optional<std::string> Bundle::bundleIdentifier() const {
  const Value& identifier = info_["CFBundleIdentifier"];
  if (!identifier.isString()) return std::nullopt;
  return identifier.asString();
}

std::optional<std::filesystem::path> Bundle::pathForResource(std::string_view name, std::string_view extension) const {
  std::string file(name);
  if (!extension.empty()) file += "." + std::string(extension);
  std::filesystem::path candidate = path_ / file;
  std::error_code error;
  if (!std::filesystem::exists(candidate, error)) return std::nullopt;
  return candidate;
}

}  // namespace platform
