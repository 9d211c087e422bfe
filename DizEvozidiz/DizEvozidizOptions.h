#pragma once

// Configuration records of a database and its connections. Plain values: the database copies the
// ones it is given and reads its copies on its own queues, so later changes to a caller's record
// have no effect.

#include <cstdint>

// What opening does with a file that cannot be opened, configured or given its tables.
enum : std::int64_t {
  DizEvozidizCorruptActionFail = 0,    // the database object is not created; the file is left alone
  DizEvozidizCorruptActionRename = 1,  // move it (and its -wal/-shm) aside as "<path>.<n>.corrupt"
  DizEvozidizCorruptActionDelete = 2,  // remove it (and its -wal/-shm)
};

struct DizEvozidizOptions {
  // One of the actions above; any other value acts as fail.
  std::int64_t corruptAction = DizEvozidizCorruptActionRename;
  // Each connection's handle: 0 "PRAGMA synchronous = OFF;", 1 "... = NORMAL;", 2 SQLite's own (FULL).
  // The database's own handle always runs NORMAL.
  std::int64_t pragmaSynchronous = 2;
  // Applied at every open ("PRAGMA journal_size_limit = N;"), 0 included.
  std::int64_t pragmaJournalSizeLimit = 0;
  // Applied only when > 0 and only to a file that opening has just created.
  std::int64_t pragmaPageSize = 0;
  // Applied to the database's and each connection's handle only when > 0.
  std::int64_t pragmaMMapSize = 0;
  // After a passive checkpoint, a WAL of at least this many bytes is truncated.
  std::uint64_t aggressiveWALTruncationSize = 1024 * 1024;
  // Other processes may use the file: busy handler on the database's handle; connections copy it.
  bool enableMultiProcessSupport = false;
};

// Object and metadata cache policies: how a committed value reaches other connections' caches.
enum : std::int64_t {
  DizEvozidizPolicyContainment = 0,  // others drop their cached copy
  DizEvozidizPolicyShare = 1,        // the same value is handed over
  DizEvozidizPolicyCopy = 2,         // a copy is handed over
};

// What every new connection of a database starts with. A new connection receives a copy, so later
// changes reach only connections created later.
class DizEvozidizConnectionDefaults {
 public:
  bool objectCacheEnabled() const { return objectCacheEnabled_; }
  void setObjectCacheEnabled(bool enabled) { objectCacheEnabled_ = enabled; }
  std::uint64_t objectCacheLimit() const { return objectCacheLimit_; }
  void setObjectCacheLimit(std::uint64_t limit) { objectCacheLimit_ = limit; }
  bool metadataCacheEnabled() const { return metadataCacheEnabled_; }
  void setMetadataCacheEnabled(bool enabled) { metadataCacheEnabled_ = enabled; }
  std::uint64_t metadataCacheLimit() const { return metadataCacheLimit_; }
  void setMetadataCacheLimit(std::uint64_t limit) { metadataCacheLimit_ = limit; }
  std::int64_t objectPolicy() const { return objectPolicy_; }
  // Anything but 0, 1 or 2 is stored as 0 (containment).
  void setObjectPolicy(std::int64_t policy) { objectPolicy_ = clampPolicy(policy); }
  std::int64_t metadataPolicy() const { return metadataPolicy_; }
  void setMetadataPolicy(std::int64_t policy) { metadataPolicy_ = clampPolicy(policy); }

 private:
  static std::int64_t clampPolicy(std::int64_t policy) {
    return static_cast<std::uint64_t>(policy) <= DizEvozidizPolicyCopy ? policy : DizEvozidizPolicyContainment;
  }

  bool objectCacheEnabled_ = true;
  std::uint64_t objectCacheLimit_ = 250;
  bool metadataCacheEnabled_ = true;
  std::uint64_t metadataCacheLimit_ = 250;
  std::int64_t objectPolicy_ = DizEvozidizPolicyContainment;
  std::int64_t metadataPolicy_ = DizEvozidizPolicyContainment;
};
