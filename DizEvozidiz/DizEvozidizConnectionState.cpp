#include "DizEvozidiz/DizEvozidizConnectionStateInternal.h"

DizEvozidizConnectionState::~DizEvozidizConnectionState() { delete writeSemaphore_.load(); }

void DizEvozidizConnectionState::prepareWriteLock() {
  if (writeSemaphore_.load(std::memory_order_acquire)) return;
  auto* semaphore = new platform::DispatchSemaphore(0);
  platform::DispatchSemaphore* expected = nullptr;
  if (!writeSemaphore_.compare_exchange_strong(expected, semaphore, std::memory_order_acq_rel)) delete semaphore;
}

void DizEvozidizConnectionState::waitForWriteLock() {
  if (auto* semaphore = writeSemaphore_.load(std::memory_order_acquire)) semaphore->wait();
}

void DizEvozidizConnectionState::signalWriteLock() {
  if (auto* semaphore = writeSemaphore_.load(std::memory_order_acquire)) semaphore->signal();
}
