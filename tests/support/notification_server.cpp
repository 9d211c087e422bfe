#include "support/notification_server.h"

#include <gio/gio.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace zorvel::test {

namespace {

constexpr const char* kName = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";

constexpr const char* kIntrospection = R"(
<node>
  <interface name="org.freedesktop.Notifications">
    <method name="Notify">
      <arg direction="in" type="s" name="app_name"/>
      <arg direction="in" type="u" name="replaces_id"/>
      <arg direction="in" type="s" name="app_icon"/>
      <arg direction="in" type="s" name="summary"/>
      <arg direction="in" type="s" name="body"/>
      <arg direction="in" type="as" name="actions"/>
      <arg direction="in" type="a{sv}" name="hints"/>
      <arg direction="in" type="i" name="expire_timeout"/>
      <arg direction="out" type="u" name="id"/>
    </method>
    <method name="CloseNotification">
      <arg direction="in" type="u" name="id"/>
    </method>
    <method name="GetCapabilities">
      <arg direction="out" type="as" name="capabilities"/>
    </method>
    <method name="GetServerInformation">
      <arg direction="out" type="s" name="name"/>
      <arg direction="out" type="s" name="vendor"/>
      <arg direction="out" type="s" name="version"/>
      <arg direction="out" type="s" name="spec_version"/>
    </method>
    <signal name="NotificationClosed">
      <arg type="u" name="id"/>
      <arg type="u" name="reason"/>
    </signal>
    <signal name="ActionInvoked">
      <arg type="u" name="id"/>
      <arg type="s" name="action_key"/>
    </signal>
  </interface>
</node>)";

}  // namespace

// ---- PrivateBus ----

PrivateBus::PrivateBus() {
  // Bringing the bus up unsets DISPLAY (against X11 bus autolaunch); tests on a display keep it.
  const char* display = std::getenv("DISPLAY");
  const std::string keptDisplay = display ? display : "";
  GTestDBus* bus = g_test_dbus_new(G_TEST_DBUS_NONE);
  g_test_dbus_up(bus);
  if (display) setenv("DISPLAY", keptDisplay.c_str(), 1);
  bus_ = bus;
  address_ = g_test_dbus_get_bus_address(bus);
}

PrivateBus::~PrivateBus() {
  auto* bus = static_cast<GTestDBus*>(bus_);
  g_test_dbus_down(bus);
  g_object_unref(bus);
}

// ---- NotificationServer ----

struct NotificationServer::State {
  std::vector<std::string> capabilities;
  GMainContext* context = nullptr;
  GMainLoop* loop = nullptr;
  GDBusConnection* connection = nullptr;
  std::thread thread;

  mutable platform::Mutex mutex;
  std::vector<Notify> notifies ZORVEL_GUARDED_BY(mutex);
  std::vector<std::uint32_t> closes ZORVEL_GUARDED_BY(mutex);
  std::vector<std::uint32_t> open ZORVEL_GUARDED_BY(mutex);
  std::size_t capabilityCalls ZORVEL_GUARDED_BY(mutex) = 0;
  std::uint32_t nextId ZORVEL_GUARDED_BY(mutex) = 1;

  void emit(const char* signal, GVariant* parameters) {
    g_dbus_connection_emit_signal(connection, nullptr, kPath, kInterface, signal, parameters, nullptr);
    g_dbus_connection_flush_sync(connection, nullptr, nullptr);
  }

  // Forgets the id; true when it was open.
  bool forget(std::uint32_t id) {
    platform::MutexLock lock(mutex);
    auto found = std::find(open.begin(), open.end(), id);
    if (found == open.end()) return false;
    open.erase(found);
    return true;
  }

  static void onMethod(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                       GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
    auto* state = static_cast<State*>(data);
    const std::string name = method;
    if (name == "Notify") {
      Notify call;
      const gchar *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
      GVariantIter* actions = nullptr;
      GVariantIter* hints = nullptr;
      g_variant_get(parameters, "(&su&s&s&sasa{sv}i)", &app, &call.replacesId, &icon, &summary, &body, &actions, &hints,
                    &call.timeout);
      call.appName = app;
      call.icon = icon;
      call.summary = summary;
      call.body = body;
      const gchar* action = nullptr;
      while (g_variant_iter_loop(actions, "&s", &action)) call.actions.emplace_back(action);
      g_variant_iter_free(actions);
      const gchar* key = nullptr;
      GVariant* value = nullptr;
      while (g_variant_iter_loop(hints, "{&sv}", &key, &value)) {
        if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) call.hints[key] = g_variant_get_string(value, nullptr);
      }
      g_variant_iter_free(hints);
      {
        platform::MutexLock lock(state->mutex);
        call.id = call.replacesId ? call.replacesId : state->nextId++;
        state->open.push_back(call.id);
        state->notifies.push_back(call);
      }
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", call.id));
    } else if (name == "CloseNotification") {
      guint32 id = 0;
      g_variant_get(parameters, "(u)", &id);
      {
        platform::MutexLock lock(state->mutex);
        state->closes.push_back(id);
      }
      g_dbus_method_invocation_return_value(invocation, nullptr);
      if (state->forget(id)) state->emit("NotificationClosed", g_variant_new("(uu)", id, 3u));
    } else if (name == "GetCapabilities") {
      {
        platform::MutexLock lock(state->mutex);
        ++state->capabilityCalls;
      }
      GVariantBuilder builder;
      g_variant_builder_init(&builder, G_VARIANT_TYPE("as"));
      for (const auto& capability : state->capabilities) g_variant_builder_add(&builder, "s", capability.c_str());
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(as)", &builder));
    } else if (name == "GetServerInformation") {
      g_dbus_method_invocation_return_value(invocation,
                                            g_variant_new("(ssss)", "zorvel-test-server", "Zorvel", "1", "1.2"));
    } else {
      g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD, "No method %s",
                                            method);
    }
  }
};

NotificationServer::NotificationServer(const std::string& address, std::vector<std::string> capabilities)
    : state_(std::make_shared<State>()) {
  state_->capabilities = std::move(capabilities);
  std::mutex readyMutex;
  std::condition_variable readyCondition;
  bool ready = false;
  bool owns = false;
  state_->context = g_main_context_new();
  state_->loop = g_main_loop_new(state_->context, FALSE);
  state_->thread = std::thread([&, state = state_] {
    g_main_context_push_thread_default(state->context);
    GError* error = nullptr;
    state->connection = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    bool granted = false;
    if (state->connection) {
      GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
      static const GDBusInterfaceVTable vtable = {&State::onMethod, nullptr, nullptr, {}};
      g_dbus_connection_register_object(state->connection, kPath, node->interfaces[0], &vtable, state.get(), nullptr,
                                        nullptr);
      g_dbus_node_info_unref(node);
      GVariant* reply = g_dbus_connection_call_sync(
          state->connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
          g_variant_new("(su)", kName, 4u /* do not queue */), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1,
          nullptr, nullptr);
      if (reply) {
        guint32 answer = 0;
        g_variant_get(reply, "(u)", &answer);
        granted = answer == 1;
        g_variant_unref(reply);
      }
    } else {
      g_error_free(error);
    }
    {
      std::lock_guard lock(readyMutex);
      ready = true;
      owns = granted;
    }
    readyCondition.notify_all();
    if (state->connection) g_main_loop_run(state->loop);
    if (state->connection) {
      g_dbus_connection_close_sync(state->connection, nullptr, nullptr);
      g_object_unref(state->connection);
      state->connection = nullptr;
    }
    g_main_context_pop_thread_default(state->context);
  });
  std::unique_lock lock(readyMutex);
  readyCondition.wait(lock, [&] { return ready; });
  ownsName_ = owns;
}

NotificationServer::~NotificationServer() {
  g_main_context_invoke(
      state_->context,
      [](gpointer data) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(data));
        return G_SOURCE_REMOVE;
      },
      state_->loop);
  if (state_->thread.joinable()) state_->thread.join();
  g_main_loop_unref(state_->loop);
  g_main_context_unref(state_->context);
}

std::vector<NotificationServer::Notify> NotificationServer::notifyCalls() const {
  platform::MutexLock lock(state_->mutex);
  return state_->notifies;
}

std::vector<std::uint32_t> NotificationServer::closeCalls() const {
  platform::MutexLock lock(state_->mutex);
  return state_->closes;
}

std::size_t NotificationServer::capabilityCalls() const {
  platform::MutexLock lock(state_->mutex);
  return state_->capabilityCalls;
}

std::vector<std::uint32_t> NotificationServer::openIds() const {
  platform::MutexLock lock(state_->mutex);
  return state_->open;
}

void NotificationServer::invokeAction(std::uint32_t id, const std::string& key) {
  state_->emit("ActionInvoked", g_variant_new("(us)", id, key.c_str()));
}

void NotificationServer::closeByUser(std::uint32_t id, std::uint32_t reason) {
  if (state_->forget(id)) state_->emit("NotificationClosed", g_variant_new("(uu)", id, reason));
}

}  // namespace zorvel::test
