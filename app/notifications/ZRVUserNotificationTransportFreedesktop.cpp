#include "app/notifications/ZRVUserNotificationTransportFreedesktop.h"

#include <gio/gio.h>

#include <algorithm>
#include <utility>

#include "app/ZRVBundle.h"
#include "app/ZRVClock.h"
#include "app/ZRVLogManager.h"
#include "platform/system/this_thread.h"
#include "platform/system/thread_safety.h"

namespace {

using Transport = ZRVUserNotificationTransportFreedesktop;

constexpr std::string_view kErrorDomain = "org.zorvel.Zorvel.notifications";
// The action the service reports for a click on the notification itself, and its label.
constexpr const char* kDefaultAction = "default";
constexpr const char* kOpenAction = "Open";

template <class... Args>
void log(ZRVLogType type, std::string_view format, const Args&... args) {
  ZRVLogHandlePtr handle = ZRVLogManager::sharedInstance()->notifications_log();
  if (handle && handle->isEnabled(type)) handle->log(type, format, args...);
}

std::string cString(std::string_view text) { return std::string(text); }

struct GErrorDeleter {
  void operator()(GError* error) const { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorDeleter>;

struct GVariantDeleter {
  void operator()(GVariant* variant) const { g_variant_unref(variant); }
};
using GVariantPtr = std::unique_ptr<GVariant, GVariantDeleter>;

void assertMainThread() {
  ZORVEL_ASSERT_THREAD(platform::isMainThread(), "the notification transport belongs to the main thread");
}

}  // namespace

struct ZRVUserNotificationTransportFreedesktop::Delivered {
  ZRVUserNotificationPtr notification;
  std::optional<std::uint32_t> serverId;  // once the service has answered
  bool removed = false;                   // removed by the application before the answer came
};

// What the bus's callbacks get: the transport, weakly, and for a Notify call its entry.
struct ZRVUserNotificationTransportFreedesktop::Callbacks {
  std::weak_ptr<Transport> transport;
  std::shared_ptr<Delivered> entry;

  static void destroy(gpointer data) { delete static_cast<Callbacks*>(data); }

  static void onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* signal,
                       GVariant* parameters, gpointer data) {
    auto self = static_cast<Callbacks*>(data)->transport.lock();
    if (!self) return;
    guint32 id = 0;
    if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) {
      const gchar* detail = nullptr;
      g_variant_get(parameters, "(u&s)", &id, &detail);
      self->serviceSignal(signal, id, detail);
    } else if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) {
      guint32 reason = 0;
      g_variant_get(parameters, "(uu)", &id, &reason);
      self->serviceSignal(signal, id, std::to_string(reason));
    }
  }

  static void onNotifyReply(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Callbacks> callbacks(static_cast<Callbacks*>(data));
    GError* rawError = nullptr;
    GVariantPtr reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &rawError));
    GErrorPtr error(rawError);
    auto self = callbacks->transport.lock();
    if (!self) return;
    if (!reply) {
      self->didSend(callbacks->entry, std::nullopt, error ? error->message : "no answer");
      return;
    }
    guint32 id = 0;
    g_variant_get(reply.get(), "(u)", &id);
    self->didSend(callbacks->entry, id, {});
  }

  static void onCapabilities(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Callbacks> callbacks(static_cast<Callbacks*>(data));
    GError* rawError = nullptr;
    GVariantPtr reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &rawError));
    GErrorPtr error(rawError);
    auto self = callbacks->transport.lock();
    if (!self) return;
    std::vector<std::string> capabilities;
    if (reply) {
      GVariantIter* iter = nullptr;
      const gchar* capability = nullptr;
      g_variant_get(reply.get(), "(as)", &iter);
      while (g_variant_iter_loop(iter, "&s", &capability)) capabilities.emplace_back(capability);
      g_variant_iter_free(iter);
    } else {
      log(ZRVLogType::Error, "%{public}@ - capabilities of the notification service unknown: %{public}@", "Transport",
          std::string(error ? error->message : "no answer"));
    }
    self->didReceiveCapabilities(std::move(capabilities), reply != nullptr);
  }
};

std::shared_ptr<Transport> ZRVUserNotificationTransportFreedesktop::create(GDBusConnection* connection,
                                                                           bool checkEverySecond,
                                                                           platform::ErrorPtr* error) {
  assertMainThread();
  if (connection) {
    g_object_ref(connection);
  } else {
    GError* rawError = nullptr;
    connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &rawError);
    GErrorPtr busError(rawError);
    if (!connection) {
      std::string reason = busError ? busError->message : "unknown reason";
      log(ZRVLogType::Error, "%{public}@ - no session bus: %{public}@", "Transport", reason);
      if (error) *error = platform::Error::withDescription(std::string(kErrorDomain), 1, "No session bus: " + reason);
      return nullptr;
    }
  }
  auto transport = platform::make<Transport>(connection);
  transport->start(checkEverySecond);
  return transport;
}

ZRVUserNotificationTransportFreedesktop::ZRVUserNotificationTransportFreedesktop(GDBusConnection* connection)
    : connection_(connection) {}

ZRVUserNotificationTransportFreedesktop::~ZRVUserNotificationTransportFreedesktop() {
  if (timer_) timer_->invalidate();
  if (signalSubscription_) g_dbus_connection_signal_unsubscribe(connection_, signalSubscription_);
  g_object_unref(connection_);
}

void ZRVUserNotificationTransportFreedesktop::start(bool checkEverySecond) {
  std::weak_ptr<Transport> weak = std::static_pointer_cast<Transport>(shared_from_this());
  signalSubscription_ = g_dbus_connection_signal_subscribe(
      connection_, cString(kServiceName).c_str(), cString(kInterface).c_str(), nullptr, cString(kObjectPath).c_str(),
      nullptr, G_DBUS_SIGNAL_FLAGS_NONE, &Callbacks::onSignal, new Callbacks{weak, nullptr}, &Callbacks::destroy);
  g_dbus_connection_call(connection_, cString(kServiceName).c_str(), cString(kObjectPath).c_str(),
                         cString(kInterface).c_str(), "GetCapabilities", nullptr, G_VARIANT_TYPE("(as)"),
                         G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &Callbacks::onCapabilities, new Callbacks{weak, nullptr});
  if (checkEverySecond) {
    timer_ = platform::Timer::scheduledTimer(kCheckInterval, true, [weak](platform::Timer& timer) {
      if (auto self = weak.lock()) {
        self->deliverDueNotifications();
      } else {
        timer.invalidate();
      }
    });
  }
}

void ZRVUserNotificationTransportFreedesktop::didReceiveCapabilities(std::vector<std::string> capabilities,
                                                                     bool answered) {
  capabilities_ = std::move(capabilities);
  capabilitiesKnown_ = answered;
  if (answered && std::find(capabilities_.begin(), capabilities_.end(), "actions") == capabilities_.end()) {
    log(ZRVLogType::Error, "%{public}@ - the notification service has no actions: notifications cannot be opened",
        "Transport");
  }
}

// ---- Scheduled ----

void ZRVUserNotificationTransportFreedesktop::getScheduledNotificationsWithCompletionHandler(
    const std::function<void(Notifications)>& handler) {
  assertMainThread();
  handler(scheduled_);
}

void ZRVUserNotificationTransportFreedesktop::scheduleNotification(
    const ZRVUserNotificationPtr& notification, const std::function<void(platform::ErrorPtr)>& handler) {
  assertMainThread();
  scheduled_.push_back(notification->copyWithDelivered(false));
  if (handler) handler(nullptr);
}

void ZRVUserNotificationTransportFreedesktop::removeScheduledNotification(const ZRVUserNotification& notification) {
  assertMainThread();
  std::erase_if(scheduled_,
                [&](const ZRVUserNotificationPtr& n) { return n->identifier() == notification.identifier(); });
}

std::size_t ZRVUserNotificationTransportFreedesktop::deliverDueNotifications() {
  assertMainThread();
  const platform::Date now = ZRVClock::now();
  Notifications due;
  std::erase_if(scheduled_, [&](const ZRVUserNotificationPtr& n) {
    if (!n->delivery() || *n->delivery() > now) return false;
    due.push_back(n);
    return true;
  });
  for (const auto& notification : due) {
    auto entry = std::make_shared<Delivered>();
    entry->notification = notification->copyWithDelivered(true);
    delivered_.push_back(entry);
    send(entry);
  }
  return due.size();
}

void ZRVUserNotificationTransportFreedesktop::send(const std::shared_ptr<Delivered>& entry) {
  const ZRVUserNotification& n = *entry->notification;
  GVariantBuilder actions;
  g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
  g_variant_builder_add(&actions, "s", kDefaultAction);
  g_variant_builder_add(&actions, "s", kOpenAction);
  GVariantBuilder hints;
  g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&hints, "{sv}", "sound-name", g_variant_new_string(n.sound().value_or("").c_str()));
  g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string(cString(ZRVBundleIdentifier).c_str()));
  g_variant_builder_add(&hints, "{sv}", cString(kEventHint).c_str(),
                        g_variant_new_string(n.event().value_or("").c_str()));
  g_variant_builder_add(&hints, "{sv}", cString(kTriggerHint).c_str(),
                        g_variant_new_string(n.trigger().value_or("").c_str()));
  GVariant* parameters =
      g_variant_new("(susssasa{sv}i)", cString(kApplicationName).c_str(), 0u, "", n.title().value_or("").c_str(),
                    n.body().value_or("").c_str(), &actions, &hints, -1);
  g_dbus_connection_call(connection_, cString(kServiceName).c_str(), cString(kObjectPath).c_str(),
                         cString(kInterface).c_str(), "Notify", parameters, G_VARIANT_TYPE("(u)"),
                         G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &Callbacks::onNotifyReply,
                         new Callbacks{std::static_pointer_cast<Transport>(shared_from_this()), entry});
}

void ZRVUserNotificationTransportFreedesktop::didSend(const std::shared_ptr<Delivered>& entry,
                                                      std::optional<std::uint32_t> serverId,
                                                      const std::string& failure) {
  if (!serverId) {
    log(ZRVLogType::Error, "%{public}@ - notification %{public}@ not shown: %{public}@", "Transport",
        entry->notification->identifier().value_or("?"), failure);
    std::erase(delivered_, entry);
    return;
  }
  if (entry->removed) {
    close(*serverId);
    return;
  }
  entry->serverId = serverId;
}

void ZRVUserNotificationTransportFreedesktop::close(std::uint32_t serverId) {
  g_dbus_connection_call(connection_, cString(kServiceName).c_str(), cString(kObjectPath).c_str(),
                         cString(kInterface).c_str(), "CloseNotification", g_variant_new("(u)", serverId), nullptr,
                         G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
}

// ---- Delivered ----

void ZRVUserNotificationTransportFreedesktop::getDeliveredNotificationsWithCompletionHandler(
    const std::function<void(Notifications)>& handler) {
  assertMainThread();
  Notifications delivered;
  for (const auto& entry : delivered_) delivered.push_back(entry->notification);
  handler(std::move(delivered));
}

void ZRVUserNotificationTransportFreedesktop::removeDeliveredNotification(const ZRVUserNotification& notification) {
  assertMainThread();
  std::erase_if(delivered_, [&](const std::shared_ptr<Delivered>& entry) {
    if (entry->notification->identifier() != notification.identifier()) return false;
    if (entry->serverId) {
      close(*entry->serverId);
    } else {
      entry->removed = true;  // closed when the service answers
    }
    return true;
  });
}

void ZRVUserNotificationTransportFreedesktop::removeAllDeliveredNotifications() {
  assertMainThread();
  for (const auto& entry : delivered_) {
    if (entry->serverId) {
      close(*entry->serverId);
    } else {
      entry->removed = true;
    }
  }
  delivered_.clear();
}

std::optional<std::uint32_t> ZRVUserNotificationTransportFreedesktop::serverIdForNotification(
    const ZRVUserNotification& notification) const {
  for (const auto& entry : delivered_) {
    if (entry->notification->identifier() == notification.identifier()) return entry->serverId;
  }
  return std::nullopt;
}

void ZRVUserNotificationTransportFreedesktop::serviceSignal(std::string_view signal, std::uint32_t serverId,
                                                            std::string_view detail) {
  auto found = std::find_if(delivered_.begin(), delivered_.end(),
                            [&](const std::shared_ptr<Delivered>& entry) { return entry->serverId == serverId; });
  if (found == delivered_.end()) return;  // not ours, or already removed
  if (signal == "NotificationClosed") {
    delivered_.erase(found);
  } else if (signal == "ActionInvoked" && (detail == kDefaultAction || detail == kOpenAction)) {
    ZRVUserNotificationPtr notification = (*found)->notification;
    if (auto delegate = delegate_.lock())
      delegate->userNotificationTransportDidActivateNotification(*this, notification);
  }
}
