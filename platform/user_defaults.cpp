#include "platform/user_defaults.h"

#include <filesystem>

#include "platform/files.h"
#include "platform/notification_center.h"
#include "platform/property_list.h"

namespace platform {

const UserDefaultsPtr& UserDefaults::standardUserDefaults() {
  static const UserDefaultsPtr defaults =
      defaultsWithPath(FileManager::defaultManager().configurationDirectory() + "/zorvel/defaults.plist");
  return defaults;
}

UserDefaultsPtr UserDefaults::defaultsWithPath(std::string path) {
  auto defaults = make<UserDefaults>();
  defaults->path_ = std::move(path);
  if (defaults->path_.empty()) return defaults;
  // A missing, unreadable or damaged file starts empty; the first change replaces it.
  if (std::optional<Bytes> bytes = FileManager::defaultManager().readFile(defaults->path_)) {
    Value stored = propertyListWithData(*bytes);
    if (stored.isDictionary()) defaults->values_ = stored.asDictionary();
  }
  return defaults;
}

Value UserDefaults::objectForKey(std::string_view key) const {
  std::lock_guard lock(lock_);
  if (const Value* value = values_.find(key)) return *value;
  if (const Value* value = registered_.find(key)) return *value;
  return {};
}

bool UserDefaults::writeLocked(ErrorPtr* error) const {
  if (path_.empty()) return true;
  std::optional<Bytes> bytes = dataWithPropertyList(Value(values_), PropertyListFormat::Binary, error);
  if (!bytes) return false;
  FileManager& files = FileManager::defaultManager();
  std::string folder = std::filesystem::path(path_).parent_path().string();
  if (!folder.empty() && !files.createDirectory(folder, true, error)) return false;
  return files.writeFileAtomically(path_, *bytes, error);
}

bool UserDefaults::setObjectForKey(const Value& value, std::string_view key, ErrorPtr* error) {
  if (!value.isNil() && !isValidPropertyList(value)) {
    if (error)
      *error = Error::withDescription(std::string(kCocoaErrorDomain), kPropertyListWriteInvalidError,
                                      "user defaults cannot keep a value of this kind for the key " + std::string(key));
    return false;
  }
  bool written;
  {
    std::lock_guard lock(lock_);
    values_.set(std::string(key), value);
    written = writeLocked(error);
  }
  NotificationCenter::defaultCenter()->post(std::string(kUserDefaultsDidChangeNotification),
                                            std::static_pointer_cast<Object>(shared_from_this()));
  return written;
}

bool UserDefaults::removeObjectForKey(std::string_view key, ErrorPtr* error) { return setObjectForKey(Value(), key, error); }

void UserDefaults::registerDefaults(const ValueDictionary& defaults) {
  std::lock_guard lock(lock_);
  for (const auto& [key, value] : defaults) registered_.set(key, value);
}

ValueDictionary UserDefaults::dictionaryRepresentation() const {
  std::lock_guard lock(lock_);
  ValueDictionary all = registered_;
  for (const auto& [key, value] : values_) all.set(key, value);
  return all;
}

}  // namespace platform
