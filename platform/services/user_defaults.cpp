#include "platform/services/user_defaults.h"

#include "platform/codecs/property_list.h"
#include "platform/services/bundle.h"
#include "platform/services/files.h"
#include "platform/services/notification_center.h"
#include "platform/system/process.h"

namespace platform {

UserDefaultsPtr UserDefaults::standardUserDefaults() {
  static const UserDefaultsPtr standard = [] {
    std::string folder = Bundle::main()->bundleIdentifier().value_or(ProcessInfo::processName());
    return withFile(std::filesystem::path(FileManager::defaultManager().configurationDirectory()) / folder /
                    "Preferences.plist");
  }();
  return standard;
}

UserDefaultsPtr UserDefaults::withFile(std::filesystem::path file) { return make<UserDefaults>(std::move(file)); }

void UserDefaults::loadLocked() const {
  if (loaded_) return;
  loaded_ = true;
  values_ = ValueDictionary{};
  if (auto bytes = FileManager::defaultManager().readFile(file_)) {
    Value root = propertyListWithData(*bytes);
    if (root.isDictionary()) values_ = root.asDictionary();
  }
}

Value UserDefaults::objectForKey(std::string_view key) const {
  std::lock_guard lock(mutex_);
  loadLocked();
  if (const Value* value = values_.find(key)) return *value;
  if (const Value* value = registered_.find(key)) return *value;
  return {};
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
  Value value = objectForKey(key);
  if (value.isString()) return value.asString();
  if (value.isNumber()) return value.description();
  return std::nullopt;
}

bool UserDefaults::boolForKey(std::string_view key) const {
  Value value = objectForKey(key);
  return (value.isNumber() || value.isString()) && value.asBool();
}

std::int64_t UserDefaults::integerForKey(std::string_view key) const {
  Value value = objectForKey(key);
  return (value.isNumber() || value.isString()) ? value.asInt64() : 0;
}

bool UserDefaults::setObject(const Value& value, std::string_view key) {
  if (!value.isNil() && !isValidPropertyList(value)) return false;
  {
    std::lock_guard lock(mutex_);
    loadLocked();
    values_.set(std::string(key), value);
    dirty_ = true;
  }
  NotificationCenter::defaultCenter()->post(std::string(kUserDefaultsDidChangeNotification),
                                            std::static_pointer_cast<Object>(shared_from_this()));
  return true;
}

void UserDefaults::registerDefaults(const ValueDictionary& defaults) {
  std::lock_guard lock(mutex_);
  for (const auto& [key, value] : defaults) registered_.set(key, value);
}

ValueDictionary UserDefaults::dictionaryRepresentation() const {
  std::lock_guard lock(mutex_);
  loadLocked();
  ValueDictionary all = registered_;
  for (const auto& [key, value] : values_) all.set(key, value);
  return all;
}

bool UserDefaults::synchronize(ErrorPtr* error) {
  std::lock_guard lock(mutex_);
  loadLocked();
  if (!dirty_) return true;
  auto bytes = dataWithPropertyList(Value(values_), PropertyListFormat::Xml, error);
  if (!bytes) return false;
  const FileManager& files = FileManager::defaultManager();
  if (!files.createDirectory(file_.parent_path(), true, error)) return false;
  if (!files.writeFileAtomically(file_, *bytes, error)) return false;
  dirty_ = false;
  return true;
}

void UserDefaults::reload() {
  std::lock_guard lock(mutex_);
  loaded_ = false;
  dirty_ = false;
  loadLocked();
}

}  // namespace platform
