#pragma once

// The cloud record database: containers (one per container identifier), each with the user's
// private database, and the silent push of zone subscriptions.
//
// Service: PostgreSQL with the schema of platform/cloud/server/schema.sql, reached through libpq.
// The connection string (libpq's "key=value ..." or "postgresql://..." form, naming the server and
// the user's credentials) comes from the user's configuration (CloudConfiguration), read again
// whenever a connection is needed, so an account configured while the application runs is used
// from then on. With none, every operation fails with CloudErrorCode::NotAuthenticated.
//
// Trust boundary: the server is trusted to keep users apart (row-level security); the client
// checks the shape of every answer and reports what does not decode as an error, never as data.
//
// Push: a container with a push handler keeps one extra connection that LISTENs on the channels
// of its zone subscriptions. The connection's socket is watched by a GLib source on the main
// context, so pushes are delivered on the main thread while the main run loop runs (run_loop.h).
// When that connection breaks it is made again (with growing pauses) and, because pushes may have
// been missed meanwhile, the handler then hears once from every subscription.
//
// Pushes of one subscription are coalesced: while a delivery waits for the main thread, or while
// the work it started has not ended, further pushes of that subscription become one more delivery
// after it. Anyone who learns a channel's name can push on it, so a flood of pushes costs at most
// one delivery at a time (and one more owed) per subscription. The work of a plain handler ends
// when it returns; a handler that starts a fetch takes a completion (setPushHandlerWithCompletion)
// and calls it when the fetch has ended, so that pushes arriving meanwhile never queue up fetches.
//
// Threads: everything here may be called from any thread. Operations run on the database's
// operation queue (at most four at a time, each on a connection of its own) unless the caller
// puts them on a queue of its own; their blocks are called on the thread that runs them.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/cloud/cloud_record.h"
#include "platform/runtime/object.h"
#include "platform/services/operation_queue.h"

namespace platform {

class CloudDatabase;
class CloudContainer;
class CloudDatabaseOperation;
using CloudDatabasePtr = std::shared_ptr<CloudDatabase>;
using CloudContainerPtr = std::shared_ptr<CloudContainer>;

// The environment variable that holds the connection string; it wins over the file.
inline constexpr std::string_view kCloudDatabaseEnvironmentVariable = "ZORVEL_CLOUD_DATABASE";
inline constexpr std::string_view kCloudDefaultContainerIdentifier = "default";

struct CloudConfiguration {
  std::string connectionString;  // empty: no account configured

  bool isConfigured() const { return !connectionString.empty(); }
  // ZORVEL_CLOUD_DATABASE when set and not empty; else the first line of
  // $XDG_CONFIG_HOME/zorvel/cloud-database.conf (~/.config when XDG_CONFIG_HOME is unset or not
  // absolute) that is neither blank nor a comment ("#"), trimmed; else none.
  static CloudConfiguration fromUserSettings();
  static std::string userSettingsFilePath();
};

// One silent push: a change in the subscribed zone.
struct CloudPushNotification {
  std::string containerIdentifier;
  std::string subscriptionID;
  CloudZoneID zoneID;
};

namespace detail {
class CloudConnectionPool;
class CloudPushListener;
}  // namespace detail

class CloudContainer : public Object {
  ZORVEL_CLASS(CloudContainer, Object)

 public:
  using PushHandler = std::function<void(const CloudPushNotification&)>;
  // Tells that the work a push started has ended: call it once, from any thread. Dropping every
  // copy of it uncalled counts as calling it.
  using PushCompletion = std::function<void()>;
  using PushHandlerWithCompletion = std::function<void(const CloudPushNotification&, PushCompletion finished)>;

  CloudContainer();
  ~CloudContainer() override;

  // The shared container of the identifier, on the user's configuration.
  static CloudContainerPtr containerWithIdentifier(const std::string& identifier);
  static CloudContainerPtr defaultContainer();
  // A container of its own that always uses this connection string (tests, tools).
  static CloudContainerPtr createWithConnectionString(std::string identifier, std::string connectionString);

  const std::string& containerIdentifier() const { return identifier_; }
  // The same database object while someone holds it.
  CloudDatabasePtr privateCloudDatabase();
  // The configuration in force now.
  CloudConfiguration configuration() const;

  // Starts (or, with an empty handler, stops) listening for the pushes of this user's zone
  // subscriptions in this container; the handler runs on the main thread.
  void setPushHandler(PushHandler handler);
  // The same, for a handler whose work goes on after it returns: until it calls `finished`,
  // further pushes of the same subscription wait and are then delivered once.
  void setPushHandlerWithCompletion(PushHandlerWithCompletion handler);
  // True while the push connection is up and listening on every subscription it knows of.
  bool isListeningForPushes() const;

  std::string description() const override;

  // Internal: the connections the operations use, and the subscriptions the push listener follows.
  detail::CloudConnectionPool& connectionPool() const { return *pool_; }
  void noteSubscriptionChannels(const std::vector<std::pair<std::string, CloudPushNotification>>& channels);

 private:
  std::string identifier_;
  std::shared_ptr<detail::CloudConnectionPool> pool_;
  mutable std::mutex mutex_;
  std::weak_ptr<CloudDatabase> privateDatabase_;
  std::shared_ptr<detail::CloudPushListener> listener_;
};

class CloudDatabase : public Object {
  ZORVEL_CLASS(CloudDatabase, Object)

 public:
  CloudDatabase();
  ~CloudDatabase() override;

  CloudContainerPtr container() const { return container_; }
  // Gives the operation this database (unless it has one) and runs it on the database's queue.
  void addOperation(const std::shared_ptr<CloudDatabaseOperation>& operation);
  const OperationQueuePtr& operationQueue() const { return queue_; }

  std::string description() const override;

 private:
  friend class CloudContainer;
  CloudContainerPtr container_;
  OperationQueuePtr queue_;
};

}  // namespace platform
