#pragma once

// Reachability: watches whether a host name or an address can be reached, classifies the answer
// into reachability flags, calls a closure on every answer and posts
// "kReachabilityChangedNotification" (object: the wrapper) on the main queue.
//
// The answers come from GIO's network monitor (GNetworkMonitor): each "network-changed" of the
// monitor, and the start of the notifier, asks it once whether the target can be reached
// (g_network_monitor_can_reach_async for a host or an address; the monitor's "network-available"
// for the default route 0.0.0.0). The answer becomes the flag word 2 (reachable) or 0 (not
// reachable); the other flags are never set here, but the flag functions classify any word.
// Like the monitor, an answer says that a route exists and the name resolves, not that a
// connection would succeed.
//
// Flags (bits of the word): transient connection 1, reachable 2, connection required 4,
// connection on traffic 8, intervention required 16, connection on demand 32, is local address
// 65,536, is direct 131,072.
//
// Lifetime: a running notifier (startNotifier) keeps its wrapper alive without any other owner,
// until stopNotifier.
//
// Failures: flags not known yet (no answer since the start) count as not reachable, not
// connection-required and not on demand. A monitor that cannot be had gives null constructors.
//
// Threads: every member may be called from any thread. The monitor's questions are asked on the
// main thread (its run loop must run); the answers are moved onto the wrapper's serial queue,
// where the closures run, one at a time. The notification is posted on the main queue.

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/dispatch/dispatch.h"
#include "platform/runtime/object.h"
#include "platform/system/locks.h"
#include "platform/system/thread_safety.h"

typedef struct _GNetworkMonitor GNetworkMonitor;
typedef struct _GSocketConnectable GSocketConnectable;
typedef struct _GCancellable GCancellable;

using ReachabilityFlags = std::uint32_t;
inline constexpr ReachabilityFlags kReachabilityFlagTransientConnection = 1;
inline constexpr ReachabilityFlags kReachabilityFlagReachable = 2;
inline constexpr ReachabilityFlags kReachabilityFlagConnectionRequired = 4;
inline constexpr ReachabilityFlags kReachabilityFlagConnectionOnTraffic = 8;
inline constexpr ReachabilityFlags kReachabilityFlagInterventionRequired = 16;
inline constexpr ReachabilityFlags kReachabilityFlagConnectionOnDemand = 32;
inline constexpr ReachabilityFlags kReachabilityFlagIsLocalAddress = 65536;
inline constexpr ReachabilityFlags kReachabilityFlagIsDirect = 131072;

enum NetworkStatus : std::int64_t {
  NotReachable = 0,
  ReachableViaWWAN = 1,  // a cellular network; never reported on this system
  ReachableViaWiFi = 2,  // Wi-Fi or any other interface
};

inline constexpr std::string_view kReachabilityChangedNotification = "kReachabilityChangedNotification";

class Reachability : public platform::Object {
  ZORVEL_CLASS(Reachability, platform::Object)

 public:
  using Block = std::function<void(Reachability&)>;

  // A wrapper for a host name (UTF-8), asked of `monitor` (null: the system's default monitor,
  // which GIO_USE_NETWORK_MONITOR chooses). Null for an empty name or when there is no monitor.
  static std::shared_ptr<Reachability> reachabilityWithHostname(std::string_view hostname,
                                                                GNetworkMonitor* monitor = nullptr);
  static std::shared_ptr<Reachability> reachabilityWithHostName(std::string_view hostname,
                                                                GNetworkMonitor* monitor = nullptr) {
    return reachabilityWithHostname(hostname, monitor);
  }
  // A wrapper for a socket address (IPv4 or IPv6); null for other families or a short length.
  static std::shared_ptr<Reachability> reachabilityWithAddress(const sockaddr* address, socklen_t length,
                                                               GNetworkMonitor* monitor = nullptr);
  // The default route: 0.0.0.0, port 0.
  static std::shared_ptr<Reachability> reachabilityForInternetConnection(GNetworkMonitor* monitor = nullptr);
  // The link-local network 169.254.0.0.
  static std::shared_ptr<Reachability> reachabilityForLocalWiFi(GNetworkMonitor* monitor = nullptr);

  ~Reachability() override;

  void setReachableBlock(Block block);
  void setUnreachableBlock(Block block);
  bool reachableOnWWAN() const { return reachableOnWWAN_.load(); }
  void setReachableOnWWAN(bool value) { reachableOnWWAN_.store(value); }
  const platform::DispatchQueuePtr& reachabilitySerialQueue() const { return queue_; }

  // Starts listening to the monitor and asks it once; true when running (also when it already
  // was: nothing new is registered then).
  bool startNotifier();
  // Stops listening; answers still on their way are dropped. Nothing when stopped.
  void stopNotifier();
  bool isRunning() const;

  // ---- The flag word ----
  // Reachable, unless a connection is required and the connection would be transient.
  static bool isReachableWithFlags(ReachabilityFlags flags);
  // "XR ct-----" style: X, R when reachable, a space, then c t i C D l d for bits 4, 1, 16, 8, 32,
  // 65,536 and 131,072, each absent bit a dash.
  static std::string flagsDescription(ReachabilityFlags flags);

  // ---- The last answer ----
  // The last answer's flags; none before the first answer.
  std::optional<ReachabilityFlags> flags() const;
  bool isReachable() const;
  bool isReachableViaWWAN() const { return false; }
  bool isReachableViaWiFi() const;
  bool isConnectionRequired() const;
  bool connectionRequired() const { return isConnectionRequired(); }
  bool isConnectionOnDemand() const;
  bool isInterventionRequired() const;
  NetworkStatus currentReachabilityStatus() const;
  // The flag word; 0 before the first answer.
  ReachabilityFlags reachabilityFlags() const;
  // "WiFi", "Cellular" or "No Connection", translated where a translation exists.
  std::string currentReachabilityString() const;
  std::string currentReachabilityFlags() const { return flagsDescription(reachabilityFlags()); }
  // "<Reachability: 0x1234abcd (XR -------)>"
  std::string description() const override;

  // The wrapper over a target the monitor is asked about (null: the default route, answered by
  // the monitor's network-available); takes the references. Use the constructors above.
  Reachability(GNetworkMonitor* monitor, GSocketConnectable* target);

 private:
  struct Callbacks;
  // Asks the monitor about the target, on the main thread.
  void check(std::uint64_t generation);
  // An answer, on the serial queue.
  void reachabilityChanged(ReachabilityFlags flags, std::uint64_t generation);

  GNetworkMonitor* const monitor_;    // owned (a reference)
  GSocketConnectable* const target_;  // owned (a reference); null for the default route
  const platform::DispatchQueuePtr queue_;
  std::atomic<bool> reachableOnWWAN_{true};

  mutable platform::Mutex mutex_;
  std::shared_ptr<Reachability> reachabilityObject_ ZORVEL_GUARDED_BY(mutex_);  // self while running
  unsigned long handlerId_ ZORVEL_GUARDED_BY(mutex_) = 0;
  GCancellable* cancellable_ ZORVEL_GUARDED_BY(mutex_) = nullptr;
  std::uint64_t generation_ ZORVEL_GUARDED_BY(mutex_) = 0;  // one per start
  std::optional<ReachabilityFlags> flags_ ZORVEL_GUARDED_BY(mutex_);
  std::shared_ptr<const Block> reachableBlock_ ZORVEL_GUARDED_BY(mutex_);
  std::shared_ptr<const Block> unreachableBlock_ ZORVEL_GUARDED_BY(mutex_);
};

using ReachabilityPtr = std::shared_ptr<Reachability>;
