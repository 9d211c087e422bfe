#pragma once

// DizEvozidiz: the one object that stands for one SQLite file of the store. It opens and configures
// the file (WAL mode), recovers from a corrupt file, creates and upgrades the schema (tables
// "database2" and "diz2"), keeps the commit counter ("snapshot"), owns the serializers and
// sanitizers, the defaults handed to new connections, the file-system shim through which
// connections open their handles, and four serial queues on which all shared state lives:
//
//   internal queue    connection defaults (and the connection pool of released handles)
//   snapshot queue    snapshot, changesets, connection states, start-up upgrade and prepare;
//                     never held while waiting for anything else
//   write queue       one writer at a time across all connections; WAL truncation
//   checkpoint queue  checkpoints on the database's own handle
//
// Readers and writers never use the database's own SQLite handle: they use connections, each with
// its own handle opened through `vfsShimName()`. The own handle serves opening, schema work, the
// start-up snapshot read and WAL checkpoints only.
//
// One database object per file in a process: `create` answers nullptr while another live database
// holds the same standardized path. Releasing the last reference (the caller's and its connections')
// closes the file and frees the path at once, on the releasing thread, whatever work is still queued
// (queued blocks never keep the database alive; the modified notifications refer to it weakly), and
// posts DizEvozidizClosedNotification (asynchronously, on the main queue). One exception: the
// connection that registrations use when the caller names none is kept for 5 seconds after it was
// made, and keeps the database open that long.
//
// Opening never destroys data on a guess: the corrupt action applies only when SQLite reports the
// file corrupt or not a database. Any other failure (a lock held too long by another process, no
// file descriptors left, a directory at the path, no permission) fails the creation and leaves every
// file as it is, and so does a file whose format version is newer than this code knows. Each such
// failure is logged.
//
// This is the database's public face: an abstract class, each of whose operations
// DizEvozidizInternal (DizEvozidizInternal.h) overrides. That class holds the internals (the queues,
// the shim, the own handle, the shared state of the snapshot queue, the pool of handles,
// checkpointing and the SQLite utilities that connections and extensions use) and is the object
// every database is.
//
// Unless a comment says otherwise, methods may be called from any thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DizEvozidiz/DizEvozidizExtensionTypes.h"
#include "DizEvozidiz/DizEvozidizOptions.h"
#include "DizEvozidiz/DizEvozidizSerializers.h"
#include "platform/dispatch/dispatch.h"
#include "platform/runtime/error.h"
#include "platform/runtime/object.h"
#include "platform/runtime/value.h"

// Posted (object nil) when a database object is released, with user info "databasePath",
// "databasePath_wal" and "databasePath_shm" ("" when absent).
inline constexpr std::string_view DizEvozidizClosedNotification = "DizEvozidizClosedNotification";

class DizEvozidizConnection;
class DizEvozidizInternal;

// The schema version this code writes and the newest it can open (PRAGMA user_version).
inline constexpr int DizEvozidizSchemaVersion = 3;

// An object of the runtime, so that notifications can name it: observers of
// DizEvozidizModifiedNotification register for the database object itself.
class DizEvozidiz : public platform::Object {
  ZORVEL_CLASS(DizEvozidiz, platform::Object)

 public:
  using Ptr = std::shared_ptr<DizEvozidiz>;

  // Opens (creating when needed) the file at `path`. nullptr when another live database holds the
  // same standardized path, or when the file cannot be opened even after the corrupt action.
  static Ptr create(std::string_view path, std::optional<DizEvozidizOptions> options = std::nullopt);
  // One serializer/deserializer (and sanitizers) for both objects and metadata.
  static Ptr create(std::string_view path, DizEvozidizSerializer serializer, DizEvozidizDeserializer deserializer,
                    std::optional<DizEvozidizOptions> options = std::nullopt);
  static Ptr create(std::string_view path, DizEvozidizSerializer serializer, DizEvozidizDeserializer deserializer,
                    DizEvozidizPreSanitizer preSanitizer, DizEvozidizPostSanitizer postSanitizer,
                    std::optional<DizEvozidizOptions> options = std::nullopt);
  static Ptr create(std::string_view path, DizEvozidizClosures closures,
                    std::optional<DizEvozidizOptions> options = std::nullopt);

  ~DizEvozidiz() override = default;
  DizEvozidiz(const DizEvozidiz&) = delete;
  DizEvozidiz& operator=(const DizEvozidiz&) = delete;

  // ---- Plain accessors (fixed at creation) ----
  const std::string& databasePath() const { return databasePath_; }
  std::string databasePath_wal() const { return databasePath_ + "-wal"; }
  std::string databasePath_shm() const { return databasePath_ + "-shm"; }
  // A copy: changing it changes nothing.
  DizEvozidizOptions options() const { return options_; }
  const DizEvozidizSerializer& objectSerializer() const { return closures_.objectSerializer; }
  const DizEvozidizDeserializer& objectDeserializer() const { return closures_.objectDeserializer; }
  const DizEvozidizSerializer& metadataSerializer() const { return closures_.metadataSerializer; }
  const DizEvozidizDeserializer& metadataDeserializer() const { return closures_.metadataDeserializer; }
  // Possibly empty.
  const DizEvozidizPreSanitizer& objectPreSanitizer() const { return closures_.objectPreSanitizer; }
  const DizEvozidizPostSanitizer& objectPostSanitizer() const { return closures_.objectPostSanitizer; }
  const DizEvozidizPreSanitizer& metadataPreSanitizer() const { return closures_.metadataPreSanitizer; }
  const DizEvozidizPostSanitizer& metadataPostSanitizer() const { return closures_.metadataPostSanitizer; }

  // ---- Read on the snapshot queue (inline when already on it): they wait for start-up ----
  virtual std::string sqliteVersion() const = 0;
  virtual std::uint64_t pageSize() const = 0;
  // The commit counter of the last commit.
  virtual std::uint64_t snapshot() const = 0;
  // Names of extensions found in "diz2" at start-up.
  virtual std::vector<std::string> previouslyRegisteredExtensionNames() const = 0;

  // ---- Connection defaults (synchronously on the internal queue; reach later connections) ----
  virtual DizEvozidizConnectionDefaults connectionDefaults() const = 0;  // a copy
  virtual bool defaultObjectCacheEnabled() const = 0;
  virtual void setDefaultObjectCacheEnabled(bool enabled) = 0;
  virtual std::uint64_t defaultObjectCacheLimit() const = 0;
  virtual void setDefaultObjectCacheLimit(std::uint64_t limit) = 0;
  virtual bool defaultMetadataCacheEnabled() const = 0;
  virtual void setDefaultMetadataCacheEnabled(bool enabled) = 0;
  virtual std::uint64_t defaultMetadataCacheLimit() const = 0;
  virtual void setDefaultMetadataCacheLimit(std::uint64_t limit) = 0;
  virtual std::int64_t defaultObjectPolicy() const = 0;
  virtual void setDefaultObjectPolicy(std::int64_t policy) = 0;
  virtual std::int64_t defaultMetadataPolicy() const = 0;
  virtual void setDefaultMetadataPolicy(std::int64_t policy) = 0;

  // ---- Connections ----
  // A new connection. Returns at once, also while the database is still starting up: the
  // connection registers and prepares itself on its own queue, before its first transaction.
  virtual std::shared_ptr<DizEvozidizConnection> newConnection() = 0;

  // ---- Pool of released connections' SQLite handles (synchronously on the internal queue) ----
  virtual std::size_t connectionPoolCount() const = 0;
  // Default 5; lowering it closes the oldest handles beyond it.
  virtual std::size_t maxConnectionPoolCount() const = 0;
  virtual void setMaxConnectionPoolCount(std::size_t count) = 0;
  // Seconds a pooled handle is kept (default 90); 0 or less keeps them until used or released.
  virtual double connectionPoolLifetime() const = 0;
  virtual void setConnectionPoolLifetime(double seconds) = 0;

  // ---- Extensions (DizEvozidizExtension.h; DizEvozidizExtensionRegistration.cpp) ----
  // Registration runs on the write queue, ordered with every write: it refuses (logging why) a null
  // extension, an empty name, an extension already registered and a name in use, then asks the
  // extension whether it supports the current registry, and lets `connection` (or the registration
  // connection, named "DizEvozidiz_extensionRegistrationConnection" and kept for 5 seconds) create
  // and record it in one read-write transaction. True when that transaction committed; otherwise
  // the extension is left unregistered (and may be tried again) and `error` says why when the
  // transaction was the cause. Must not be called from inside a read-write transaction.
  [[nodiscard]] virtual bool registerExtension(const DizEvozidizExtensionPtr& extension, std::string_view name,
                                               const std::shared_ptr<DizEvozidizConnection>& connection = nullptr,
                                               platform::ErrorPtr* error = nullptr) = 0;
  // The same queued; the completion gets the result on `completionQueue` (the main queue when null).
  virtual void asyncRegisterExtension(const DizEvozidizExtensionPtr& extension, std::string_view name,
                                      std::function<void(bool ready)> completion = {},
                                      platform::DispatchQueuePtr completionQueue = {},
                                      const std::shared_ptr<DizEvozidizConnection>& connection = nullptr) = 0;
  // Drops the extension, and every extension that depends on it directly or through others, in one
  // read-write transaction. An empty name is refused (logged).
  virtual void unregisterExtensionWithName(std::string_view name,
                                           const std::shared_ptr<DizEvozidizConnection>& connection = nullptr) = 0;
  virtual void asyncUnregisterExtensionWithName(std::string_view name, std::function<void()> completion = {},
                                                platform::DispatchQueuePtr completionQueue = {},
                                                const std::shared_ptr<DizEvozidizConnection>& connection = nullptr) = 0;
  // The registry as the last commit left it (snapshot queue; inline when already there).
  virtual DizEvozidizExtensionPtr registeredExtension(std::string_view name) const = 0;
  virtual DizEvozidizExtensionsByName registeredExtensions() const = 0;
  virtual std::vector<std::string> extensionsOrder() const = 0;
  virtual DizEvozidizExtensionDependencies extensionDependencies() const = 0;
  virtual DizMemoryTablesByName registeredMemoryTables() const = 0;

  // ---- Text helpers for SQL and pragma values ----
  // 0 "OFF", 1 "NORMAL", 2 "FULL", else "UNKNOWN".
  static std::string pragmaValueForSynchronous(std::int64_t value);
  // 0 "NONE", 1 "FULL", 2 "INCREMENTAL", else "UNKNOWN".
  static std::string pragmaValueForAutoVacuum(std::int64_t value);
  // `name` as a double-quoted SQL identifier.
  static std::string quotedIdentifier(std::string_view name);

 protected:
  // Only DizEvozidizInternal derives from it; every database is one.
  DizEvozidiz(std::string path, DizEvozidizOptions options) : databasePath_(std::move(path)), options_(options) {}

  const std::string databasePath_;
  const DizEvozidizOptions options_;
  DizEvozidizClosures closures_;
};
