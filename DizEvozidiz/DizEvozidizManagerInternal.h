#pragma once

#ifndef ZORVEL_INTERNAL_store
#error "DizEvozidiz/DizEvozidizManagerInternal.h is internal to the store and its extensions"
#endif

// The process-wide registry of open database files, which enforces one database object per file.
// Safe from any thread: both operations hold the registry's spin lock.

#include <string>
#include <string_view>

class DizEvozidizManager {
 public:
  // Adds the path as given (the database passes its standardized path). False for an empty path
  // or one already registered.
  static bool registerDatabaseForPath(std::string_view path);
  // Standardizes the path, then removes it.
  static void deregisterDatabaseForPath(std::string_view path);

  // The form under which a database registers its file: absolute, with "~", "." and ".." steps
  // and repeated or trailing "/" resolved.
  static std::string standardizedPath(std::string_view path);

  DizEvozidizManager() = delete;
};
