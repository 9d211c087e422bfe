#pragma once

// The SDK's own defaults store: the interface of user defaults, kept in a property-list file of
// the SDK's instead of the application's preferences. The SDK host keeps the installation
// identifier in it. Values that older versions kept in the platform's user defaults move here on
// first read.
//
// File: "<Application Support>/<escaped main bundle identifier>/<maker's reverse domain>/
// BBXUserDefaults.plist" (the bundle folder is left out when the bundle has no identifier;
// Application Support is FileManager::applicationSupportDirectory()). An XML property list whose
// root is a dictionary of property-list values; any property-list form is read. synchronize()
// writes it with FileManager::writeFileAtomically (a new file synced and renamed over the old),
// so a crash leaves the previous file or the new one, never a part.
//
// Values live in memory from the first use and reach the file only at synchronize(). A file that
// cannot be read starts the store empty (and is replaced at the next synchronize()); a folder
// where the file should be is removed. Failures are logged ("[Harbor:UserDefaults] ...") and
// leave the values in memory as they were.
//
// Threads: any thread. The values are read and changed on a serial access queue; file input and
// output run on a serial file queue; synchronize() takes its snapshot before it enters the file
// queue, so the two queues are never held together.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/runtime/object.h"
#include "platform/runtime/value.h"
#include "platform/services/user_defaults.h"

class BBXUserDefaults : public platform::Object {
  ZORVEL_CLASS(BBXUserDefaults, platform::Object)

 public:
  // The shared store, made once (for the main bundle and the platform's standard defaults).
  static std::shared_ptr<BBXUserDefaults> standardUserDefaults();
  // A store over the given folder, migrating from the given platform defaults (null: the
  // platform's standard ones). The folder is where standardUserDefaults() computes it when empty.
  static std::shared_ptr<BBXUserDefaults> make(std::filesystem::path directory = {},
                                               platform::UserDefaultsPtr legacyDefaults = nullptr);

  const std::filesystem::path& directoryURL() const { return directory_; }
  const std::filesystem::path& fileURL() const { return file_; }

  platform::Value objectForKey(std::string_view key) const;
  // The value only when it is a string.
  std::optional<std::string> stringForKey(std::string_view key) const;
  // The value's boolValue only when it is a number; false otherwise.
  bool boolForKey(std::string_view key) const;

  // Change the values in memory only. A nil object removes the key; a value a property list
  // cannot hold is refused with a log line.
  void setObject(const platform::Value& object, std::string_view key);
  void setString(const std::string& value, std::string_view key) { setObject(platform::Value(value), key); }
  void setBool(bool value, std::string_view key) { setObject(platform::Value(value), key); }
  void removeObjectForKey(std::string_view key) { setObject(platform::Value(), key); }
  void removeAllObjects();
  platform::ValueDictionary dictionaryRepresentation() const;

  // Writes the values to the file; false when that failed (logged).
  bool synchronize();

  // The stored value; when there is none but the platform's defaults hold one, that value is
  // stored here and this store synchronised; only when that write succeeded is the key removed
  // from the platform's defaults (and those synchronised). An empty key gives nil.
  platform::Value objectForKeyByMigratingFromNSUserDefaults(std::string_view key);
  // Copies each key present in the platform's defaults; when one was copied, synchronises this
  // store and, when that succeeded, removes every listed key from the platform's defaults and
  // synchronises them.
  void migrateFromNSUserDefaults(const std::vector<std::string>& keys);

 private:
  BBXUserDefaults() = default;
  void start(std::filesystem::path directory, platform::UserDefaultsPtr legacyDefaults);
  // On the file queue: the file's dictionary, or nothing.
  std::optional<platform::ValueDictionary> loadDefaults();

  std::filesystem::path directory_;
  std::filesystem::path file_;
  platform::UserDefaultsPtr legacy_;
  platform::DispatchQueuePtr serialDictionaryQueue_;
  platform::DispatchQueuePtr synchronizationQueue_;
  platform::ValueDictionary dataDictionary_;  // on serialDictionaryQueue_
};
