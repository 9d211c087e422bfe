#include "app/reachability/Reachability.h"

#include <arpa/inet.h>
#include <gio/gio.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/services/notification_center.h"

namespace {

GNetworkMonitor* monitorOrDefault(GNetworkMonitor* monitor) {
  if (monitor) return G_NETWORK_MONITOR(g_object_ref(monitor));
  GNetworkMonitor* system = g_network_monitor_get_default();  // not a new reference
  return system ? G_NETWORK_MONITOR(g_object_ref(system)) : nullptr;
}

}  // namespace

// What GLib's callbacks get: the wrapper, weakly, and the start it belongs to.
struct Reachability::Callbacks {
  std::weak_ptr<Reachability> wrapper;
  std::uint64_t generation = 0;

  static void destroy(gpointer data, GClosure*) { delete static_cast<Callbacks*>(data); }

  static void onNetworkChanged(GNetworkMonitor*, gboolean, gpointer data) {
    auto* callbacks = static_cast<Callbacks*>(data);
    if (auto self = callbacks->wrapper.lock()) self->check(callbacks->generation);
  }

  static void onAnswer(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Callbacks> callbacks(static_cast<Callbacks*>(data));
    GError* error = nullptr;
    const bool reachable = g_network_monitor_can_reach_finish(G_NETWORK_MONITOR(source), result, &error);
    const bool cancelled = error && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
    if (error) g_error_free(error);
    if (cancelled) return;
    auto self = callbacks->wrapper.lock();
    if (!self) return;
    const std::uint64_t generation = callbacks->generation;
    const ReachabilityFlags flags = reachable ? kReachabilityFlagReachable : 0;
    self->queue_->async([weak = callbacks->wrapper, flags, generation] {
      if (auto wrapper = weak.lock()) wrapper->reachabilityChanged(flags, generation);
    });
  }
};

// ---- Making ----

std::shared_ptr<Reachability> Reachability::reachabilityWithHostname(std::string_view hostname,
                                                                     GNetworkMonitor* monitor) {
  if (hostname.empty()) return nullptr;
  GNetworkMonitor* chosen = monitorOrDefault(monitor);
  if (!chosen) return nullptr;
  // The port does not matter to the question; the monitor resolves the name and looks for a route.
  GSocketConnectable* target = g_network_address_new(std::string(hostname).c_str(), 443);
  return platform::make<Reachability>(chosen, target);
}

std::shared_ptr<Reachability> Reachability::reachabilityWithAddress(const sockaddr* address, socklen_t length,
                                                                    GNetworkMonitor* monitor) {
  if (!address) return nullptr;
  const bool ipv4 = address->sa_family == AF_INET && length >= sizeof(sockaddr_in);
  const bool ipv6 = address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6);
  if (!ipv4 && !ipv6) return nullptr;
  GNetworkMonitor* chosen = monitorOrDefault(monitor);
  if (!chosen) return nullptr;
  GSocketConnectable* target = nullptr;
  const bool defaultRoute = ipv4 && reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr == htonl(INADDR_ANY);
  if (!defaultRoute) {
    GSocketAddress* socketAddress = g_socket_address_new_from_native(const_cast<sockaddr*>(address), length);
    if (!socketAddress) {
      g_object_unref(chosen);
      return nullptr;
    }
    target = G_SOCKET_CONNECTABLE(socketAddress);
  }
  return platform::make<Reachability>(chosen, target);
}

std::shared_ptr<Reachability> Reachability::reachabilityForInternetConnection(GNetworkMonitor* monitor) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  return reachabilityWithAddress(reinterpret_cast<const sockaddr*>(&address), sizeof(address), monitor);
}

std::shared_ptr<Reachability> Reachability::reachabilityForLocalWiFi(GNetworkMonitor* monitor) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(0xA9FE0000);  // 169.254.0.0
  return reachabilityWithAddress(reinterpret_cast<const sockaddr*>(&address), sizeof(address), monitor);
}

Reachability::Reachability(GNetworkMonitor* monitor, GSocketConnectable* target)
    : monitor_(monitor), target_(target), queue_(platform::DispatchQueue::createSerial("org.zorvel.reachability")) {}

Reachability::~Reachability() {
  stopNotifier();
  if (target_) g_object_unref(target_);
  g_object_unref(monitor_);
}

void Reachability::setReachableBlock(Block block) {
  auto held = block ? std::make_shared<const Block>(std::move(block)) : nullptr;
  platform::MutexLock lock(mutex_);
  reachableBlock_ = std::move(held);
}

void Reachability::setUnreachableBlock(Block block) {
  auto held = block ? std::make_shared<const Block>(std::move(block)) : nullptr;
  platform::MutexLock lock(mutex_);
  unreachableBlock_ = std::move(held);
}

// ---- Notifier ----

bool Reachability::startNotifier() {
  auto self = std::static_pointer_cast<Reachability>(shared_from_this());
  std::uint64_t generation = 0;
  {
    platform::MutexLock lock(mutex_);
    if (reachabilityObject_ == self) return true;
    generation = ++generation_;
    handlerId_ = g_signal_connect_data(monitor_, "network-changed", G_CALLBACK(&Callbacks::onNetworkChanged),
                                       new Callbacks{self, generation}, &Callbacks::destroy, GConnectFlags(0));
    if (handlerId_ == 0) {
      reachabilityObject_.reset();
      return false;
    }
    cancellable_ = g_cancellable_new();
    reachabilityObject_ = self;
  }
  // The first answer, so that a start learns the present state without waiting for a change.
  std::weak_ptr<Reachability> weak = self;
  platform::DispatchQueue::main()->async([weak, generation] {
    if (auto wrapper = weak.lock()) wrapper->check(generation);
  });
  return true;
}

void Reachability::stopNotifier() {
  std::shared_ptr<Reachability> keepAlive;  // may be the last reference: released at the end
  unsigned long handler = 0;
  GCancellable* cancellable = nullptr;
  {
    platform::MutexLock lock(mutex_);
    keepAlive = std::move(reachabilityObject_);
    handler = std::exchange(handlerId_, 0);
    cancellable = std::exchange(cancellable_, nullptr);
    ++generation_;
  }
  if (handler) g_signal_handler_disconnect(monitor_, handler);
  if (cancellable) {
    g_cancellable_cancel(cancellable);
    g_object_unref(cancellable);
  }
}

bool Reachability::isRunning() const {
  platform::MutexLock lock(mutex_);
  return reachabilityObject_ != nullptr;
}

void Reachability::check(std::uint64_t generation) {
  GCancellable* cancellable = nullptr;
  {
    platform::MutexLock lock(mutex_);
    if (generation != generation_ || !cancellable_) return;  // stopped since
    cancellable = G_CANCELLABLE(g_object_ref(cancellable_));
  }
  std::weak_ptr<Reachability> weak = std::static_pointer_cast<Reachability>(shared_from_this());
  if (target_) {
    g_network_monitor_can_reach_async(monitor_, target_, cancellable, &Callbacks::onAnswer,
                                      new Callbacks{weak, generation});
  } else {
    const ReachabilityFlags flags = g_network_monitor_get_network_available(monitor_) ? kReachabilityFlagReachable : 0;
    queue_->async([weak, flags, generation] {
      if (auto wrapper = weak.lock()) wrapper->reachabilityChanged(flags, generation);
    });
  }
  g_object_unref(cancellable);
}

void Reachability::reachabilityChanged(ReachabilityFlags flags, std::uint64_t generation) {
  std::shared_ptr<const Block> block;
  {
    platform::MutexLock lock(mutex_);
    if (generation != generation_) return;  // an answer from before a stop
    flags_ = flags;
    block = isReachableWithFlags(flags) ? reachableBlock_ : unreachableBlock_;
  }
  if (block) (*block)(*this);
  platform::NotificationCenter::defaultCenter()->postOnMainQueueAsync(
      platform::Notification::make(std::string(kReachabilityChangedNotification), shared_from_this()));
}

// ---- Flags ----

bool Reachability::isReachableWithFlags(ReachabilityFlags flags) {
  if (!(flags & kReachabilityFlagReachable)) return false;
  const ReachabilityFlags transientRequired =
      kReachabilityFlagConnectionRequired | kReachabilityFlagTransientConnection;
  return (flags & transientRequired) != transientRequired;
}

std::string Reachability::flagsDescription(ReachabilityFlags flags) {
  auto letter = [flags](ReachabilityFlags bit, char c) { return (flags & bit) ? c : '-'; };
  std::string text;
  text += 'X';
  text += letter(kReachabilityFlagReachable, 'R');
  text += ' ';
  text += letter(kReachabilityFlagConnectionRequired, 'c');
  text += letter(kReachabilityFlagTransientConnection, 't');
  text += letter(kReachabilityFlagInterventionRequired, 'i');
  text += letter(kReachabilityFlagConnectionOnTraffic, 'C');
  text += letter(kReachabilityFlagConnectionOnDemand, 'D');
  text += letter(kReachabilityFlagIsLocalAddress, 'l');
  text += letter(kReachabilityFlagIsDirect, 'd');
  return text;
}

std::optional<ReachabilityFlags> Reachability::flags() const {
  platform::MutexLock lock(mutex_);
  return flags_;
}

bool Reachability::isReachable() const {
  auto current = flags();
  return current && isReachableWithFlags(*current);
}

bool Reachability::isReachableViaWiFi() const {
  auto current = flags();
  return current && (*current & kReachabilityFlagReachable);
}

bool Reachability::isConnectionRequired() const {
  auto current = flags();
  return current && (*current & kReachabilityFlagConnectionRequired);
}

bool Reachability::isConnectionOnDemand() const {
  auto current = flags();
  return current && (*current & kReachabilityFlagConnectionRequired) &&
         (*current & (kReachabilityFlagConnectionOnTraffic | kReachabilityFlagConnectionOnDemand));
}

bool Reachability::isInterventionRequired() const {
  auto current = flags();
  return current && (*current & kReachabilityFlagConnectionRequired) &&
         (*current & kReachabilityFlagInterventionRequired);
}

NetworkStatus Reachability::currentReachabilityStatus() const {
  return isReachable() && isReachableViaWiFi() ? ReachableViaWiFi : NotReachable;
}

ReachabilityFlags Reachability::reachabilityFlags() const { return flags().value_or(0); }

std::string Reachability::currentReachabilityString() const {
  // The English texts are the translation keys; no translation is installed yet.
  switch (currentReachabilityStatus()) {
    case ReachableViaWWAN:
      return "Cellular";
    case ReachableViaWiFi:
      return "WiFi";
    default:
      return "No Connection";
  }
}

std::string Reachability::description() const {
  char address[32];
  std::snprintf(address, sizeof(address), "%#x",
                static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(this) & 0xFFFFFFFFu));
  return "<" + objectClass().name() + ": " + address + " (" + currentReachabilityFlags() + ")>";
}
