#pragma once

// User defaults: a user's settings as plain values by key, with fallback values registered by the
// program, kept in a property-list file.
//
// Storage: the values set (not the registered ones) as one binary property list (property_list.h),
// read when the defaults are made and written again, atomically, after every change, so readers
// and a crash see the old file or the new one. The standard defaults live in
// "<configuration directory>/zorvel/defaults.plist" (files.h). A file that cannot be read or
// parsed starts the defaults empty and is replaced at the first change; a change that cannot be
// written stays in memory and setObjectForKey reports the failure.
//
// Values: what a property list holds (numbers, strings, data, dates, arrays, dictionaries); any
// other value is refused with kCocoaErrorDomain / kPropertyListWriteInvalidError and changes
// nothing. Setting nil removes the key.
//
// Notices: every change posts kUserDefaultsDidChangeNotification, with these defaults as its
// object, through the default notification centre on the changing thread, after the change.
//
// Threads: any thread may read and change; the values are guarded by a lock that is not held
// while the notice is posted.

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/object.h"
#include "platform/value.h"

namespace platform {

inline constexpr std::string_view kUserDefaultsDidChangeNotification = "NSUserDefaultsDidChangeNotification";

class UserDefaults;
using UserDefaultsPtr = std::shared_ptr<UserDefaults>;

class UserDefaults : public Object {
  ZORVEL_CLASS(UserDefaults, Object)

 public:
  // The user's defaults, made on first use; they live for the whole process.
  static const UserDefaultsPtr& standardUserDefaults();
  // Defaults kept in the file at `path` (made with its folder at the first change); an empty path
  // keeps them in memory only.
  static UserDefaultsPtr defaultsWithPath(std::string path);

  const std::string& path() const { return path_; }

  // The value set for the key, else the registered one, else nil.
  Value objectForKey(std::string_view key) const;
  // False (with an error) when the value cannot be kept or the file cannot be written; the value
  // is kept in memory in the latter case.
  bool setObjectForKey(const Value& value, std::string_view key, ErrorPtr* error = nullptr);
  bool removeObjectForKey(std::string_view key, ErrorPtr* error = nullptr);
  // Fallback values, not stored; later registrations of a key replace earlier ones.
  void registerDefaults(const ValueDictionary& defaults);
  // The registered values overlaid with the set ones.
  ValueDictionary dictionaryRepresentation() const;

 private:
  UserDefaults() = default;
  bool writeLocked(ErrorPtr* error) const;

  mutable std::mutex lock_;
  std::string path_;
  ValueDictionary values_;
  ValueDictionary registered_;
};

}  // namespace platform
