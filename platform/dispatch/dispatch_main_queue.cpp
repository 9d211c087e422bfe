// The main queue: a serial queue drained on the main thread by a source of GLib's default main
// context, one batch per main-loop iteration, so that the run loop (run_loop.h) and the interface
// toolkit serve it while they run.

#include <glib.h>

#include "platform/dispatch/dispatch_internal.h"
#include "platform/system/this_thread.h"

namespace platform {

namespace detail {

std::atomic<QueueImpl*> gMainQueue{nullptr};

void wakeMainLoop() { g_main_context_wakeup(g_main_context_default()); }

bool QueueImpl::mainReady() {
  if (!isMainThread()) return false;
  std::lock_guard lock(mutex);
  return !fifo.empty() && suspendCount.load(std::memory_order_relaxed) == 0;
}

void QueueImpl::drainMain() {
  // One batch per main-loop iteration, so that other main-loop sources get their turn.
  FrameScope frame(this);
  std::vector<Item> batch;
  {
    std::lock_guard lock(mutex);
    if (suspendCount.load(std::memory_order_relaxed) > 0) return;
    batch.swap(spare);
    fifo.takeAll(batch);
  }
  runBatch(batch);
  std::lock_guard lock(mutex);
  spare.swap(batch);
}

namespace {

gboolean mainSourcePrepare(GSource*, gint* timeout) {
  *timeout = -1;
  QueueImpl* main = gMainQueue.load(std::memory_order_acquire);
  return main && main->mainReady();
}

gboolean mainSourceCheck(GSource*) {
  QueueImpl* main = gMainQueue.load(std::memory_order_acquire);
  return main && main->mainReady();
}

gboolean mainSourceDispatch(GSource*, GSourceFunc, gpointer) {
  QueueImpl* main = gMainQueue.load(std::memory_order_acquire);
  if (main) main->drainMain();
  return G_SOURCE_CONTINUE;
}

GSourceFuncs gMainSourceFuncs = {mainSourcePrepare, mainSourceCheck, mainSourceDispatch, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace detail

DispatchQueuePtr DispatchQueue::main() {
  using namespace detail;
  static const DispatchQueuePtr* queue = [] {
    auto made = std::make_shared<QueueImpl>("com.apple.main-thread", QueueKind::Main);
    gMainQueue.store(made.get(), std::memory_order_release);
    GSource* source = g_source_new(&gMainSourceFuncs, sizeof(GSource));
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_name(source, "main dispatch queue");
    g_source_attach(source, g_main_context_default());
    g_source_unref(source);
    return new DispatchQueuePtr(std::move(made));
  }();
  return *queue;
}

}  // namespace platform
