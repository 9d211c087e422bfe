#include "platform/cloud/cloud_database.h"

#include <cstdlib>
#include <fstream>
#include <map>

#include "platform/cloud/cloud_internal.h"
#include "platform/cloud/cloud_operations.h"
#include "platform/runtime/format.h"
#include "platform/services/files.h"
#include "platform/system/text.h"

namespace platform {

// --- Configuration -------------------------------------------------------------------------------

std::string CloudConfiguration::userSettingsFilePath() {
  return FileManager::defaultManager().configurationDirectory() + "/zorvel/cloud-database.conf";
}

CloudConfiguration CloudConfiguration::fromUserSettings() {
  CloudConfiguration configuration;
  if (const char* value = std::getenv(std::string(kCloudDatabaseEnvironmentVariable).c_str())) {
    configuration.connectionString = trimmingWhitespace(value);
    if (configuration.isConfigured()) return configuration;
  }
  std::ifstream file(userSettingsFilePath());
  std::string line;
  while (file && std::getline(file, line)) {
    std::string text = trimmingWhitespace(line);
    if (text.empty() || text[0] == '#') continue;
    configuration.connectionString = text;
    break;
  }
  return configuration;
}

// --- Container -----------------------------------------------------------------------------------

CloudContainer::CloudContainer()
    : pool_(std::make_shared<detail::CloudConnectionPool>([] { return CloudConfiguration::fromUserSettings(); })) {}

CloudContainer::~CloudContainer() {
  if (listener_) listener_->stop();
}

CloudContainerPtr CloudContainer::containerWithIdentifier(const std::string& identifier) {
  static std::mutex mutex;
  static auto* containers = new std::map<std::string, CloudContainerPtr>;  // live for the whole process
  std::lock_guard lock(mutex);
  CloudContainerPtr& container = (*containers)[identifier];
  if (!container) {
    container = platform::make<CloudContainer>();
    container->identifier_ = identifier;
  }
  return container;
}

CloudContainerPtr CloudContainer::defaultContainer() {
  return containerWithIdentifier(std::string(kCloudDefaultContainerIdentifier));
}

CloudContainerPtr CloudContainer::createWithConnectionString(std::string identifier, std::string connectionString) {
  auto container = platform::make<CloudContainer>();
  container->identifier_ = std::move(identifier);
  container->pool_ = std::make_shared<detail::CloudConnectionPool>(
      [connectionString = std::move(connectionString)] { return CloudConfiguration{connectionString}; });
  return container;
}

CloudDatabasePtr CloudContainer::privateCloudDatabase() {
  std::lock_guard lock(mutex_);
  if (CloudDatabasePtr database = privateDatabase_.lock()) return database;
  auto database = platform::make<CloudDatabase>();
  database->container_ = std::static_pointer_cast<CloudContainer>(shared_from_this());
  database->queue_ = OperationQueue::create("cloud database " + identifier_);
  database->queue_->setMaxConcurrentOperationCount(4);
  privateDatabase_ = database;
  return database;
}

CloudConfiguration CloudContainer::configuration() const { return pool_->configuration(); }

void CloudContainer::setPushHandler(PushHandler handler) {
  if (!handler) return setPushHandlerWithCompletion(nullptr);
  setPushHandlerWithCompletion(
      [handler = std::move(handler)](const CloudPushNotification& push, const PushCompletion& finished) {
        handler(push);
        finished();
      });
}

void CloudContainer::setPushHandlerWithCompletion(PushHandlerWithCompletion handler) {
  std::shared_ptr<detail::CloudPushListener> old;
  std::shared_ptr<detail::CloudPushListener> started;
  {
    std::lock_guard lock(mutex_);
    old = std::move(listener_);
    listener_.reset();
    if (handler) {
      std::shared_ptr<detail::CloudConnectionPool> pool = pool_;
      listener_ = std::make_shared<detail::CloudPushListener>(
          identifier_, [pool] { return pool->configuration(); }, std::move(handler));
      started = listener_;
    }
  }
  if (old) old->stop();
  if (started) started->start();
}

bool CloudContainer::isListeningForPushes() const {
  std::lock_guard lock(mutex_);
  return listener_ && listener_->isListening();
}

void CloudContainer::noteSubscriptionChannels(
    const std::vector<std::pair<std::string, CloudPushNotification>>& channels) {
  std::shared_ptr<detail::CloudPushListener> listener;
  {
    std::lock_guard lock(mutex_);
    listener = listener_;
  }
  if (listener) listener->addChannels(channels);
}

std::string CloudContainer::description() const {
  return "<CloudContainer: " + format("%p", this) + "; containerIdentifier=" + identifier_ + ">";
}

// --- Database ------------------------------------------------------------------------------------

CloudDatabase::CloudDatabase() = default;
CloudDatabase::~CloudDatabase() = default;

void CloudDatabase::addOperation(const std::shared_ptr<CloudDatabaseOperation>& operation) {
  if (!operation) Exception::raise(kInvalidArgumentException, "CloudDatabase addOperation: the operation is nil");
  if (!operation->database()) operation->setDatabase(std::static_pointer_cast<CloudDatabase>(shared_from_this()));
  queue_->addOperation(operation);
}

std::string CloudDatabase::description() const {
  return "<CloudDatabase: " + format("%p", this) +
         "; container=" + (container_ ? container_->containerIdentifier() : "") + ", scope=private>";
}

}  // namespace platform
