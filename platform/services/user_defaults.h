#pragma once

// User defaults: the user's settings of an application, a dictionary of property-list values
// kept in a file, with defaults that the program registers at start (never written).
//
// File: standardUserDefaults() keeps its values in
//   "<configuration folder>/<main bundle identifier>/Preferences.plist"
// (configuration folder: FileManager::configurationDirectory(); the process name stands in for
// a bundle without identifier). The file is an XML property list whose root is a dictionary; it
// is read at first use and written by synchronize() with FileManager::writeFileAtomically, so a
// crash leaves the old file or the new one. A file that cannot be read counts as empty (and is
// replaced at the next synchronize()).
//
// Values: only property-list kinds (string, numbers, date, data, arrays and dictionaries of
// them); setObject() refuses others and answers false.
//
// Notices: every change made through setObject() (and removal) posts
// kUserDefaultsDidChangeNotification, with these defaults as its object, through the default
// notification centre on the changing thread, after the change and outside the lock.
//
// Threads: every member may be called from any thread; one lock guards the values. Two objects
// on the same file do not see each other's changes until they read the file again (reload()).

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/runtime/error.h"
#include "platform/runtime/object.h"
#include "platform/runtime/value.h"

namespace platform {

inline constexpr std::string_view kUserDefaultsDidChangeNotification = "NSUserDefaultsDidChangeNotification";

class UserDefaults;
using UserDefaultsPtr = std::shared_ptr<UserDefaults>;

class UserDefaults : public Object {
  ZORVEL_CLASS(UserDefaults, Object)

 public:
  static UserDefaultsPtr standardUserDefaults();
  // Defaults kept in the given file.
  static UserDefaultsPtr withFile(std::filesystem::path file);

  const std::filesystem::path& filePath() const { return file_; }

  // The stored value, else the registered default, else nil.
  Value objectForKey(std::string_view key) const;
  // The value when it is a string (a number gives its description, as the platform does).
  std::optional<std::string> stringForKey(std::string_view key) const;
  // Numbers, and strings read as numbers ("YES", "1"); false for anything else.
  bool boolForKey(std::string_view key) const;
  std::int64_t integerForKey(std::string_view key) const;

  // A nil value removes the key. False (nothing changed) for a value that is not a property list.
  bool setObject(const Value& value, std::string_view key);
  void setBool(bool value, std::string_view key) { setObject(Value(value), key); }
  void removeObjectForKey(std::string_view key) { setObject(Value(), key); }
  // Defaults answered for keys that have no stored value; merged into earlier registrations.
  void registerDefaults(const ValueDictionary& defaults);
  // Registered defaults overlaid with the stored values.
  ValueDictionary dictionaryRepresentation() const;

  // Writes the stored values when they changed since the last write. False (with *error) when
  // the file cannot be written; the values stay in memory.
  bool synchronize(ErrorPtr* error = nullptr);
  // Drops unsaved changes and reads the file again.
  void reload();

 private:
  explicit UserDefaults(std::filesystem::path file) : file_(std::move(file)) {}
  void loadLocked() const;

  const std::filesystem::path file_;
  mutable std::mutex mutex_;
  mutable bool loaded_ = false;
  mutable ValueDictionary values_;
  ValueDictionary registered_;
  bool dirty_ = false;
};

}  // namespace platform
