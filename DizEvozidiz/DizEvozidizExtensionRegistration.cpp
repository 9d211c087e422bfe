// The database's side of extension registration: the checks, the registration connection, the
// registry as the last commit left it, and handing every commit to the registered extensions.

#include <utility>

#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizExtension.h"
#include "DizEvozidiz/DizEvozidizExtensionInternal.h"
#include "DizEvozidiz/DizEvozidizInternal.h"
#include "DizEvozidiz/DizEvozidizLogInternal.h"

namespace {

platform::DispatchQueuePtr orMain(const platform::DispatchQueuePtr& queue) {
  return queue ? queue : platform::DispatchQueue::main();
}

// How long the registration connection is kept after it was made, for registrations that follow.
constexpr double kRegistrationConnectionLifetime = 5.0;

// Runs `f` on the registries on the snapshot queue (inline when already there).
template <class F>
auto readRegistries(const DizEvozidizInternal& database, F&& f) {
  using R = decltype(f(std::declval<const DizEvozidizRegistries&>()));
  R result{};
  auto read = [&] { result = f(*database.registriesOnSnapshotQueue()); };
  if (database.isOnSnapshotQueue())
    read();
  else
    database.snapshotQueue()->sync(read);
  return result;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Registration

bool DizEvozidizInternal::registerExtension(const DizEvozidizExtensionPtr& extension, std::string_view name,
                                            const std::shared_ptr<DizEvozidizConnection>& connection,
                                            platform::ErrorPtr* error) {
  bool result = false;
  const std::string ownName(name);
  writeQueue_->sync([&] { result = registerExtensionOnWriteQueue(extension, ownName, connection, error); });
  return result;
}

void DizEvozidizInternal::asyncRegisterExtension(const DizEvozidizExtensionPtr& extension, std::string_view name,
                                                 std::function<void(bool)> completion,
                                                 platform::DispatchQueuePtr completionQueue,
                                                 const std::shared_ptr<DizEvozidizConnection>& connection) {
  writeQueue_->async([self = self(), extension, name = std::string(name), completion = std::move(completion),
                      completionQueue = std::move(completionQueue), connection] {
    const bool result = self->registerExtensionOnWriteQueue(extension, name, connection, nullptr);
    if (completion) orMain(completionQueue)->async([completion, result] { completion(result); });
  });
}

bool DizEvozidizInternal::registerExtensionOnWriteQueue(const DizEvozidizExtensionPtr& extension,
                                                        const std::string& name,
                                                        const std::shared_ptr<DizEvozidizConnection>& connection,
                                                        platform::ErrorPtr* error) {
  if (!extension) {
    DIZ_DB_LOG_ERROR("%@: Error registering extension: extension parameter is nil");
    return false;
  }
  if (name.empty()) {
    DIZ_DB_LOG_ERROR("%@: Error registering extension: extensionName parameter is nil or empty string");
    return false;
  }
  const DizEvozidizRegistriesPtr registries =
      readRegistries(*this, [this](const DizEvozidizRegistries&) { return shared_->registries; });
  if (!extension->registeredName().empty()) {
    DIZ_DB_LOG_ERROR("%@: Error registering extension: extension is already registered");
    return false;
  }
  if (registries->extensions.contains(name)) {
    DIZ_DB_LOG_ERROR("%@: Error registering extension: extensionName(%@) already registered", name);
    return false;
  }
  if (connection && connection->database().get() != this) {
    DIZ_DB_LOG_ERROR("%@: Error registering extension: the connection belongs to another database");
    return false;
  }
  extension->setRegisteredName(name);
  extension->setRegisteredDatabase(self());
  bool registered = false;
  if (!extension->supportsDatabaseWithRegisteredExtensions(registries->extensions)) {
    DIZ_DB_LOG_ERROR("%@: Error registering extension: extension doesn't support database configuration");
  } else {
    const std::shared_ptr<DizEvozidizConnection> using_ = connection ? connection : registrationConnection();
    registered = using_->registerExtension(extension, name, error);
  }
  if (!registered) {
    extension->setRegisteredName({});
    extension->setRegisteredDatabase(nullptr);
    return false;
  }
  extension->didRegisterExtension();
  return true;
}

// ---------------------------------------------------------------------------------------------
// Unregistration

void DizEvozidizInternal::unregisterExtensionWithName(std::string_view name,
                                                      const std::shared_ptr<DizEvozidizConnection>& connection) {
  const std::string ownName(name);
  writeQueue_->sync([&] { unregisterExtensionOnWriteQueue(ownName, connection); });
}

void DizEvozidizInternal::asyncUnregisterExtensionWithName(std::string_view name, std::function<void()> completion,
                                                           platform::DispatchQueuePtr completionQueue,
                                                           const std::shared_ptr<DizEvozidizConnection>& connection) {
  writeQueue_->async([self = self(), name = std::string(name), completion = std::move(completion),
                      completionQueue = std::move(completionQueue), connection] {
    self->unregisterExtensionOnWriteQueue(name, connection);
    if (completion) orMain(completionQueue)->async(completion);
  });
}

void DizEvozidizInternal::unregisterExtensionOnWriteQueue(const std::string& name,
                                                          const std::shared_ptr<DizEvozidizConnection>& connection) {
  if (name.empty()) {
    DIZ_DB_LOG_ERROR("%@: Error unregistering extension: extensionName parameter is nil or empty string");
    return;
  }
  if (connection && connection->database().get() != this) {
    DIZ_DB_LOG_ERROR("%@: Error unregistering extension: the connection belongs to another database");
    return;
  }
  const std::shared_ptr<DizEvozidizConnection> using_ = connection ? connection : registrationConnection();
  if (platform::ErrorPtr error = using_->unregisterExtensionWithName(name))
    DIZ_DB_LOG_ERROR("%@: Error unregistering extension(%@): %@", name, error);
}

// ---------------------------------------------------------------------------------------------
// The registration connection (write queue)

std::shared_ptr<DizEvozidizConnection> DizEvozidizInternal::registrationConnection() {
  if (auto existing = registrationConnection_.lock()) return existing;
  std::shared_ptr<DizEvozidizConnection> made = newConnection();
  made->setName(std::string(kDizRegistrationConnectionName));
  registrationConnection_ = made;
  // The block keeps the connection (and through it the database) for its lifetime; the database
  // itself only refers to it, so nothing is left in a cycle.
  writeQueue_->after(kRegistrationConnectionLifetime, [made]() mutable { made.reset(); });
  return made;
}

// ---------------------------------------------------------------------------------------------
// The registry

DizEvozidizRegistriesPtr DizEvozidizInternal::registriesOnSnapshotQueue() const { return shared_->registries; }

void DizEvozidizInternal::publishRegistriesOnSnapshotQueue(DizEvozidizRegistriesPtr registries) {
  assertOnSnapshotQueue();
  shared_->registries = std::move(registries);
}

DizEvozidizExtensionPtr DizEvozidizInternal::registeredExtension(std::string_view name) const {
  return readRegistries(*this, [&](const DizEvozidizRegistries& r) -> DizEvozidizExtensionPtr {
    auto it = r.extensions.find(name);
    return it == r.extensions.end() ? nullptr : it->second;
  });
}

DizEvozidizExtensionsByName DizEvozidizInternal::registeredExtensions() const {
  return readRegistries(*this, [](const DizEvozidizRegistries& r) { return r.extensions; });
}

std::vector<std::string> DizEvozidizInternal::extensionsOrder() const {
  return readRegistries(*this, [](const DizEvozidizRegistries& r) { return r.extensionsOrder; });
}

DizEvozidizExtensionDependencies DizEvozidizInternal::extensionDependencies() const {
  return readRegistries(*this, [](const DizEvozidizRegistries& r) { return r.extensionDependencies; });
}

DizMemoryTablesByName DizEvozidizInternal::registeredMemoryTables() const {
  return readRegistries(*this, [](const DizEvozidizRegistries& r) { return r.memoryTables; });
}

bool DizEvozidizInternal::hasPreviouslyRegisteredExtensionNames() const {
  return shared_->previouslyRegisteredExtensionNamesPending.load();
}

void DizEvozidizInternal::clearPreviouslyRegisteredExtensionNames() {
  auto clear = [this] {
    shared_->previouslyRegisteredExtensionNames.clear();
    shared_->previouslyRegisteredExtensionNamesPending = false;
  };
  if (isOnSnapshotQueue())
    clear();
  else
    snapshotQueue_->sync(clear);
}

void DizEvozidizInternal::noteCommittedChangesetForExtensions(const platform::Value& changeset) {
  if (auto registries = diz_detail::registriesFromChangeset(changeset, shared_->registries))
    shared_->registries = std::move(registries);
  // A copy: an extension may look at the registry while it runs.
  const DizEvozidizRegistriesPtr registries = shared_->registries;
  for (const auto& [name, extension] : registries->extensions) extension->noteCommittedChangeset(changeset, name);
}
