#pragma once

// A network monitor for tests: a real implementation of GIO's GNetworkMonitor interface whose
// answer the test sets. can_reach (and its asynchronous form) answers with the set answer and
// counts the questions; changed() emits "network-changed" as a system monitor does when the
// routes change. Include from one test file only (it defines a GObject type).
//
// Threads: set the answer and emit on the main thread; the questions are answered on the calling
// thread's main context.

#include <gio/gio.h>

#include <atomic>

namespace zorvel::test {

struct TestNetworkMonitor {
  GObject parent;
  gboolean available;
  std::atomic<int>* questions;
};

struct TestNetworkMonitorClass {
  GObjectClass parent_class;
};

namespace network_monitor_detail {

enum { kPropAvailable = 1, kPropMetered, kPropConnectivity };

inline gboolean canReach(GNetworkMonitor* monitor, GSocketConnectable*, GCancellable*, GError** error) {
  auto* self = reinterpret_cast<TestNetworkMonitor*>(monitor);
  ++*self->questions;
  if (self->available) return TRUE;
  g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_NETWORK_UNREACHABLE, "Network unreachable");
  return FALSE;
}

inline void canReachAsync(GNetworkMonitor* monitor, GSocketConnectable* connectable, GCancellable* cancellable,
                          GAsyncReadyCallback callback, gpointer data) {
  GTask* task = g_task_new(monitor, cancellable, callback, data);
  GError* error = nullptr;
  if (canReach(monitor, connectable, cancellable, &error)) {
    g_task_return_boolean(task, TRUE);
  } else {
    g_task_return_error(task, error);
  }
  g_object_unref(task);
}

inline gboolean canReachFinish(GNetworkMonitor*, GAsyncResult* result, GError** error) {
  return g_task_propagate_boolean(G_TASK(result), error);
}

inline void monitorInterfaceInit(GNetworkMonitorInterface* iface) {
  iface->can_reach = canReach;
  iface->can_reach_async = canReachAsync;
  iface->can_reach_finish = canReachFinish;
}

inline gboolean initableInit(GInitable*, GCancellable*, GError**) { return TRUE; }

inline void initableInterfaceInit(GInitableIface* iface) { iface->init = initableInit; }

inline void getProperty(GObject* object, guint id, GValue* value, GParamSpec* spec) {
  auto* self = reinterpret_cast<TestNetworkMonitor*>(object);
  switch (id) {
    case kPropAvailable:
      g_value_set_boolean(value, self->available);
      break;
    case kPropMetered:
      g_value_set_boolean(value, FALSE);
      break;
    case kPropConnectivity:
      g_value_set_enum(value, self->available ? G_NETWORK_CONNECTIVITY_FULL : G_NETWORK_CONNECTIVITY_LOCAL);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
  }
}

inline std::atomic<int> gUnusedCounter{0};

}  // namespace network_monitor_detail

inline void test_network_monitor_init(TestNetworkMonitor* self) {
  self->available = FALSE;
  self->questions = &network_monitor_detail::gUnusedCounter;
}

inline void test_network_monitor_class_init(TestNetworkMonitorClass* cls) {
  GObjectClass* objectClass = G_OBJECT_CLASS(cls);
  objectClass->get_property = network_monitor_detail::getProperty;
  g_object_class_override_property(objectClass, network_monitor_detail::kPropAvailable, "network-available");
  g_object_class_override_property(objectClass, network_monitor_detail::kPropMetered, "network-metered");
  g_object_class_override_property(objectClass, network_monitor_detail::kPropConnectivity, "connectivity");
}

inline GType test_network_monitor_get_type() {
  static const GType type = [] {
    GType t = g_type_register_static_simple(
        G_TYPE_OBJECT, "ZorvelTestNetworkMonitor", sizeof(TestNetworkMonitorClass),
        reinterpret_cast<GClassInitFunc>(+[](gpointer cls, gpointer) {
          test_network_monitor_class_init(static_cast<TestNetworkMonitorClass*>(cls));
        }),
        sizeof(TestNetworkMonitor), reinterpret_cast<GInstanceInitFunc>(+[](GTypeInstance* instance, gpointer) {
          test_network_monitor_init(reinterpret_cast<TestNetworkMonitor*>(instance));
        }),
        GTypeFlags(0));
    const GInterfaceInfo initable = {
        reinterpret_cast<GInterfaceInitFunc>(+[](gpointer iface, gpointer) {
          network_monitor_detail::initableInterfaceInit(static_cast<GInitableIface*>(iface));
        }),
        nullptr, nullptr};
    const GInterfaceInfo monitor = {
        reinterpret_cast<GInterfaceInitFunc>(+[](gpointer iface, gpointer) {
          network_monitor_detail::monitorInterfaceInit(static_cast<GNetworkMonitorInterface*>(iface));
        }),
        nullptr, nullptr};
    g_type_add_interface_static(t, G_TYPE_INITABLE, &initable);
    g_type_add_interface_static(t, G_TYPE_NETWORK_MONITOR, &monitor);
    return t;
  }();
  return type;
}

// Owns one monitor; the answer starts as "not reachable".
class TestMonitor {
 public:
  TestMonitor() : object_(static_cast<TestNetworkMonitor*>(g_object_new(test_network_monitor_get_type(), nullptr))) {
    object_->questions = &questions_;
  }
  ~TestMonitor() { g_object_unref(object_); }
  TestMonitor(const TestMonitor&) = delete;
  TestMonitor& operator=(const TestMonitor&) = delete;

  GNetworkMonitor* get() const { return G_NETWORK_MONITOR(object_); }
  // Sets the answer and emits "network-changed", as a monitor does when routes change.
  void change(bool available) {
    object_->available = available;
    g_signal_emit_by_name(object_, "network-changed", available ? TRUE : FALSE);
  }
  int questions() const { return questions_.load(); }

 private:
  std::atomic<int> questions_{0};
  TestNetworkMonitor* object_;
};

}  // namespace zorvel::test
