#include "sdkhost/BBXUserDefaults.h"

#include "platform/codecs/property_list.h"
#include "platform/runtime/format.h"
#include "platform/services/bundle.h"
#include "platform/services/files.h"
#include "platform/system/console.h"
#include "sdkhost/HBRConstants.h"
#include "sdkhost/HBRHost.h"

using namespace platform;

std::shared_ptr<BBXUserDefaults> BBXUserDefaults::standardUserDefaults() {
  static const std::shared_ptr<BBXUserDefaults> shared = make();
  return shared;
}

std::shared_ptr<BBXUserDefaults> BBXUserDefaults::make(std::filesystem::path directory,
                                                       UserDefaultsPtr legacyDefaults) {
  auto store = platform::make<BBXUserDefaults>();
  store->start(std::move(directory), std::move(legacyDefaults));
  return store;
}

void BBXUserDefaults::start(std::filesystem::path directory, UserDefaultsPtr legacyDefaults) {
  std::string prefix(kHBRMakerReverseDomain);
  serialDictionaryQueue_ = DispatchQueue::createSerial(prefix + ".BBXUserDefaults.access");
  synchronizationQueue_ = DispatchQueue::createSerial(prefix + ".BBXUserDefaults.io");
  legacy_ = legacyDefaults ? std::move(legacyDefaults) : UserDefaults::standardUserDefaults();
  serialDictionaryQueue_->sync([&] {
    if (directory.empty()) {
      directory = FileManager::defaultManager().applicationSupportDirectory();
      if (auto identifier = Bundle::main()->bundleIdentifier(); identifier && !identifier->empty())
        directory /= HBREscapedBundleIdentifier(*identifier);
      directory /= std::string(kHBRMakerReverseDomain);
    }
    directory_ = directory;
    file_ = directory_ / "BBXUserDefaults.plist";
    dataDictionary_ = synchronizationQueue_->sync([&] { return loadDefaults(); }).value_or(ValueDictionary{});
  });
}

std::optional<ValueDictionary> BBXUserDefaults::loadDefaults() {
  const FileManager& files = FileManager::defaultManager();
  auto attributes = files.attributesOfItem(file_);
  if (!attributes) return std::nullopt;
  if (attributes->type == FileType::Directory) {
    consoleLog("[Harbor:UserDefaults] found directory where file expected. Removing conflicting directory");
    ErrorPtr error;
    if (!files.removeItem(file_, &error))
      consoleLog(format("[Harbor:UserDefaults] error removing conflicting directory: {error = %@}", error));
    return std::nullopt;
  }
  auto bytes = files.readFile(file_);
  Value root = bytes ? propertyListWithData(*bytes) : Value();
  if (!root.isDictionary()) {
    consoleLog("[Harbor:UserDefaults] failed to read existing UserDefaults file");
    return std::nullopt;
  }
  return root.asDictionary();
}

Value BBXUserDefaults::objectForKey(std::string_view key) const {
  Value value;
  serialDictionaryQueue_->sync([&] {
    if (const Value* found = dataDictionary_.find(key)) value = *found;
  });
  return value;
}

std::optional<std::string> BBXUserDefaults::stringForKey(std::string_view key) const {
  Value value = objectForKey(key);
  if (!value.isString()) return std::nullopt;
  return value.asString();
}

bool BBXUserDefaults::boolForKey(std::string_view key) const {
  Value value = objectForKey(key);
  return value.isNumber() && value.asBool();
}

void BBXUserDefaults::setObject(const Value& object, std::string_view key) {
  if (!object.isNil() && !isValidPropertyList(object)) {
    consoleLog(
        format("[Harbor:UserDefaults] refusing a value a property list cannot hold for key %@", std::string(key)));
    return;
  }
  serialDictionaryQueue_->sync([&] { dataDictionary_.set(std::string(key), object); });
}

void BBXUserDefaults::removeAllObjects() {
  serialDictionaryQueue_->sync([&] { dataDictionary_ = ValueDictionary{}; });
}

ValueDictionary BBXUserDefaults::dictionaryRepresentation() const {
  return serialDictionaryQueue_->sync([&] { return dataDictionary_; });
}

bool BBXUserDefaults::synchronize() {
  ValueDictionary snapshot = dictionaryRepresentation();
  bool written = false;
  synchronizationQueue_->sync([&] {
    const FileManager& files = FileManager::defaultManager();
    ErrorPtr error;
    if (!files.fileExists(directory_) && !files.createDirectory(directory_, true, &error))
      consoleLog(format("[Harbor:UserDefaults] failed to create directory with error:%@", error));
    auto bytes = dataWithPropertyList(Value(std::move(snapshot)), PropertyListFormat::Xml);
    written = bytes && files.writeFileAtomically(file_, *bytes);
    if (!written)
      consoleLog(format("[Harbor:UserDefaults] Unable to open file for writing at path %@", file_.string()));
  });
  return written;
}

Value BBXUserDefaults::objectForKeyByMigratingFromNSUserDefaults(std::string_view key) {
  if (key.empty()) return {};
  Value value = objectForKey(key);
  if (!value.isNil()) return value;
  value = legacy_->objectForKey(key);
  if (value.isNil()) return value;
  setObject(value, key);
  // Only a value safely in our file leaves the platform's defaults.
  if (synchronize()) {
    legacy_->removeObjectForKey(key);
    legacy_->synchronize();
  }
  return value;
}

void BBXUserDefaults::migrateFromNSUserDefaults(const std::vector<std::string>& keys) {
  bool copied = false;
  for (const std::string& key : keys) {
    Value value = legacy_->objectForKey(key);
    if (value.isNil()) continue;
    setObject(value, key);
    copied = true;
  }
  if (!copied || !synchronize()) return;
  for (const std::string& key : keys) legacy_->removeObjectForKey(key);
  legacy_->synchronize();
}
