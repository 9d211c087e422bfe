// The connection's utilities: its pragma values, and vacuum and backup run asynchronously.

#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "platform/system/progress.h"

namespace {

platform::DispatchQueuePtr orMain(const platform::DispatchQueuePtr& queue) {
  return queue ? queue : platform::DispatchQueue::main();
}

}  // namespace

// -1 when the pragma cannot be read, which the named forms answer as "UNKNOWN" (never as a value
// the pragma could really have).
std::string DizEvozidizConnectionInternal::pragmaSynchronous() const {
  return DizEvozidiz::pragmaValueForSynchronous(
      onQueueSync([&] { return db ? DizEvozidizInternal::pragma("synchronous", db) : -1; }));
}

std::int64_t DizEvozidizConnectionInternal::pragmaPageSize() const {
  return onQueueSync([&] { return db ? DizEvozidizInternal::pragma("page_size", db) : -1; });
}

std::int64_t DizEvozidizConnectionInternal::pragmaMMapSize() const {
  return onQueueSync([&] { return db ? DizEvozidizInternal::pragma("mmap_size", db) : -1; });
}

std::string DizEvozidizConnectionInternal::pragmaAutoVacuum() const {
  return DizEvozidiz::pragmaValueForAutoVacuum(
      onQueueSync([&] { return db ? DizEvozidizInternal::pragma("auto_vacuum", db) : -1; }));
}

void DizEvozidizConnectionInternal::asyncVacuum(std::function<void(const platform::ErrorPtr&)> completion,
                                                platform::DispatchQueuePtr completionQueue) {
  connectionQueue_->async(
      [self = self(), completion = std::move(completion), completionQueue = std::move(completionQueue)] {
        platform::ErrorPtr error;
        (void)self->vacuum(&error);  // the error says it
        if (completion) orMain(completionQueue)->async([completion, error] { completion(error); });
      });
}

std::shared_ptr<platform::Progress> DizEvozidizConnectionInternal::asyncBackupToPath(
    std::string path, std::function<void(const platform::ErrorPtr&)> completion,
    platform::DispatchQueuePtr completionQueue) {
  auto progress = platform::Progress::make(0);
  connectionQueue_->async([self = self(), path = std::move(path), progress, completion = std::move(completion),
                           completionQueue = std::move(completionQueue)] {
    platform::ErrorPtr error = self->backupToPathOnQueue(path, progress.get());
    if (completion) orMain(completionQueue)->async([completion, error] { completion(error); });
  });
  return progress;
}
