#pragma once

// A notification service for tests: a real implementation of the desktop's notification protocol
// (org.freedesktop.Notifications at /org/freedesktop/Notifications: Notify, CloseNotification,
// GetCapabilities, GetServerInformation, and the signals ActionInvoked and NotificationClosed)
// that owns the service's name on a bus of the test's own, records every call, and lets the test
// play the user: invoke an action of a notification, or close it.
//
// It runs on a connection of its own, served by a thread of its own with its own main context,
// so a program under test that waits on the bus from its main thread never waits for itself.
//
// Threads: every member may be called from any thread; the recorded calls are copied out under a
// lock.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/system/locks.h"

namespace zorvel::test {

// A private session bus (a dbus-daemon of its own) for the life of the object; its address is
// also put into DBUS_SESSION_BUS_ADDRESS while it is up. DISPLAY is left as it was.
class PrivateBus {
 public:
  PrivateBus();
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  const std::string& address() const { return address_; }

 private:
  void* bus_ = nullptr;  // GTestDBus
  std::string address_;
};

class NotificationServer {
 public:
  struct Notify {
    std::uint32_t id = 0;  // the id answered
    std::string appName;
    std::uint32_t replacesId = 0;
    std::string icon;
    std::string summary;
    std::string body;
    std::vector<std::string> actions;
    std::map<std::string, std::string> hints;  // the string-valued ones
    std::int32_t timeout = 0;
  };

  // Connects to the bus at `address`, owns the service's name and serves it. `capabilities` is
  // what GetCapabilities answers.
  explicit NotificationServer(const std::string& address,
                              std::vector<std::string> capabilities = {"actions", "body", "sound"});
  ~NotificationServer();
  NotificationServer(const NotificationServer&) = delete;
  NotificationServer& operator=(const NotificationServer&) = delete;

  // Whether the name was granted.
  bool ownsName() const { return ownsName_; }

  std::vector<Notify> notifyCalls() const;
  std::vector<std::uint32_t> closeCalls() const;
  std::size_t capabilityCalls() const;
  // The ids of notifications not closed yet.
  std::vector<std::uint32_t> openIds() const;

  // The user clicked: emits ActionInvoked(id, key).
  void invokeAction(std::uint32_t id, const std::string& key);
  // The notification went away: emits NotificationClosed(id, reason) and forgets the id (reasons:
  // 1 expired, 2 dismissed by the user, 3 closed by CloseNotification, 4 other).
  void closeByUser(std::uint32_t id, std::uint32_t reason = 2);

  struct State;

 private:
  std::shared_ptr<State> state_;
  bool ownsName_ = false;
};

}  // namespace zorvel::test
