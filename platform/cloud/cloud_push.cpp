#include <glib-unix.h>
#include <glib.h>
#include <libpq-fe.h>

#include <algorithm>
#include <deque>
#include <map>
#include <set>

#include "platform/cloud/cloud_internal.h"
#include "platform/dispatch/dispatch.h"
#include "platform/system/locks.h"
#include "platform/system/this_thread.h"
#include "platform/system/thread_safety.h"

namespace platform::detail {

namespace {

// The service's channel names ("zc_" and 32 hex digits); anything else is not listened to, so a
// confused server cannot smuggle text into the LISTEN command.
bool isChannelName(const std::string& name) {
  if (name.size() != 35 || name.compare(0, 3, "zc_") != 0) return false;
  return std::all_of(name.begin() + 3, name.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

// Members marked "main" are touched on the main thread only; the rest are guarded or atomic.
//
// Pushes are coalesced per channel: a channel is idle, has a delivery queued on the main queue,
// has its handler's work running, or has its work running and one more delivery owed. A push in
// any state but the first only makes sure that one delivery follows, so a flood of pushes (anyone
// who knows a channel's name can send them) costs at most one delivery at a time, and one more
// waiting, per subscription.
struct CloudPushListener::State : std::enable_shared_from_this<State> {
  std::string container;
  std::function<CloudConfiguration()> configuration;
  CloudContainer::PushHandlerWithCompletion handler;

  std::atomic<bool> stopped{false};
  std::atomic<bool> listening{false};

  Mutex mutex;
  // channel -> what a push on it means
  std::map<std::string, CloudPushNotification> channels ZORVEL_GUARDED_BY(mutex);
  std::set<std::string> awaiting ZORVEL_GUARDED_BY(mutex);  // added channels not yet confirmed

  enum class Delivery { Queued, Running, RunningAndOwed };
  struct Pending {
    Delivery state = Delivery::Queued;
    CloudPushNotification notification;  // the latest push's meaning
    std::uint64_t generation = 0;        // of the delivery running now
  };
  std::map<std::string, Pending> deliveries;  // main; idle channels have no entry
  std::uint64_t nextGeneration = 1;           // main

  // main
  PGconn* conn = nullptr;
  guint watch = 0;
  bool connecting = false;
  bool everConnected = false;
  double retryDelay = kFirstRetryDelay;
  std::set<std::string> listened;
  std::deque<std::string> commands;  // channels whose LISTEN waits to be sent; the front one is in flight when busy
  bool busy = false;

  static constexpr double kFirstRetryDelay = 0.5;
  static constexpr double kMaxRetryDelay = 30;

  static std::string listenCommand(const std::string& channel) { return "LISTEN \"" + channel + "\""; }

  void markListened(const std::string& channel) {
    listened.insert(channel);
    MutexLock lock(mutex);
    awaiting.erase(channel);
  }

  // main: makes the connection on a worker thread, then installs it here.
  void connectIfNeeded() {
    if (stopped || conn || connecting) return;
    connecting = true;
    auto self = shared_from_this();
    DispatchQueue::global(DispatchPriority::Low)->async([self] { self->connectInBackground(); });
  }

  void connectInBackground() {
    if (stopped) return;
    std::unique_ptr<PgConnection> connection;
    std::vector<std::string> listenedHere;
    try {
      CloudConfiguration configuration = this->configuration();
      if (!configuration.isConfigured()) failCloud(CloudErrorCode::NotAuthenticated, "no account");
      connection = PgConnection::open(configuration.connectionString);
      PgRows rows = connection->exec(
          "SELECT o_channel, o_id, o_zone FROM zorvel_cloud.fetch_subscriptions($1, NULL) WHERE o_content_available",
          {container});
      std::vector<std::pair<std::string, CloudPushNotification>> found;
      for (int i = 0; i < rows.count(); ++i)
        if (isChannelName(rows.requiredText(i, 0)))
          found.push_back(
              {rows.requiredText(i, 0), {container, rows.requiredText(i, 1), CloudZoneID(rows.requiredText(i, 2))}});
      {
        MutexLock lock(mutex);
        for (auto& [channel, notification] : found) channels.insert_or_assign(channel, notification);
      }
      for (auto& [channel, notification] : found) {
        connection->exec(listenCommand(channel).c_str());
        listenedHere.push_back(channel);
      }
    } catch (const CloudFailure&) {
      auto self = shared_from_this();
      DispatchQueue::main()->async([self] {
        self->connecting = false;
        self->scheduleReconnect();
      });
      return;
    }
    PGconn* raw = connection->release();
    auto self = shared_from_this();
    DispatchQueue::main()->async([self, raw, listenedHere] { self->install(raw, listenedHere); });
  }

  static gboolean onReadable(gint, GIOCondition, gpointer data) {
    auto& self = *static_cast<std::shared_ptr<State>*>(data);
    return self->readable() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
  }

  // main
  void install(PGconn* raw, const std::vector<std::string>& listenedHere) {
    connecting = false;
    if (stopped) {
      PQfinish(raw);
      return;
    }
    conn = raw;
    busy = false;
    commands.clear();
    listened.clear();
    for (const std::string& channel : listenedHere) markListened(channel);
    watch =
        g_unix_fd_add_full(G_PRIORITY_DEFAULT, PQsocket(conn), static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                           &State::onReadable, new std::shared_ptr<State>(shared_from_this()),
                           [](gpointer data) { delete static_cast<std::shared_ptr<State>*>(data); });
    retryDelay = kFirstRetryDelay;
    listening = true;
    bool reconnected = everConnected;
    everConnected = true;
    listenToNewChannels();
    // Pushes may have come while no connection listened: every subscription tells once. Those
    // that came while the connection was being set up are already in libpq's buffer, where the
    // socket watch would not see them.
    std::vector<std::pair<std::string, CloudPushNotification>> pushes = takeNotifications();
    if (reconnected) {
      MutexLock lock(mutex);
      pushes.assign(channels.begin(), channels.end());
    }
    for (auto& [channel, notification] : pushes) notePush(channel, std::move(notification));
  }

  // main
  void listenToNewChannels() {
    if (!conn) return;
    std::vector<std::string> fresh;
    {
      MutexLock lock(mutex);
      for (const auto& [channel, notification] : channels)
        if (!listened.count(channel) && std::find(commands.begin(), commands.end(), channel) == commands.end())
          fresh.push_back(channel);
    }
    for (auto& channel : fresh) commands.push_back(std::move(channel));
    sendNext();
  }

  // main
  void sendNext() {
    if (busy || commands.empty() || !conn) return;
    if (!PQsendQuery(conn, listenCommand(commands.front()).c_str())) {
      connectionLost(false);
      return;
    }
    busy = true;
  }

  // main; false when the watch must go.
  bool readable() {
    if (!conn) return false;
    if (stopped) {
      teardown(true);
      return false;
    }
    if (!PQconsumeInput(conn)) {
      connectionLost(true);
      return false;
    }
    while (busy && !PQisBusy(conn)) {
      PGresult* result = PQgetResult(conn);
      if (result) {
        if (PQresultStatus(result) == PGRES_COMMAND_OK && !commands.empty()) markListened(commands.front());
        PQclear(result);
        continue;
      }
      busy = false;
      if (!commands.empty()) commands.pop_front();
      sendNext();
    }
    std::vector<std::pair<std::string, CloudPushNotification>> pushes = takeNotifications();
    bool alive = PQstatus(conn) == CONNECTION_OK;
    if (!alive) connectionLost(true);
    for (auto& [channel, notification] : pushes) notePush(channel, std::move(notification));
    return alive;
  }

  // main: the pushes libpq has already read off the socket, by channel.
  std::vector<std::pair<std::string, CloudPushNotification>> takeNotifications() {
    std::vector<std::pair<std::string, CloudPushNotification>> pushes;
    while (PGnotify* notify = PQnotifies(conn)) {
      {
        MutexLock lock(mutex);
        auto it = channels.find(notify->relname);
        if (it != channels.end()) pushes.emplace_back(it->first, it->second);
      }
      PQfreemem(notify);
    }
    return pushes;
  }

  // main: a push on the channel; delivered now-ish, or folded into the delivery that is owed.
  void notePush(const std::string& channel, CloudPushNotification notification) {
    ZORVEL_ASSERT_THREAD(isMainThread(), "pushes are noted on the main thread");
    if (stopped) return;
    auto [it, fresh] = deliveries.try_emplace(channel);
    Pending& pending = it->second;
    pending.notification = std::move(notification);
    if (fresh)
      queueDelivery(channel);
    else if (pending.state == Delivery::Running)
      pending.state = Delivery::RunningAndOwed;
  }

  // main
  void queueDelivery(const std::string& channel) {
    deliveries[channel].state = Delivery::Queued;
    auto self = shared_from_this();
    DispatchQueue::main()->async([self, channel] { self->deliver(channel); });
  }

  // Ends the work of one delivery when called, or when the last copy of it goes unused.
  struct Completion {
    std::weak_ptr<State> state;
    std::string channel;
    std::uint64_t generation = 0;
    std::atomic<bool> done{false};

    void finish() {
      if (done.exchange(true)) return;
      auto strong = state.lock();
      if (!strong) return;
      if (isMainThread()) {
        strong->finished(channel, generation);
        return;
      }
      DispatchQueue::main()->async(
          [strong, channel = channel, generation = generation] { strong->finished(channel, generation); });
    }
    ~Completion() { finish(); }
  };

  // main
  void deliver(const std::string& channel) {
    auto it = deliveries.find(channel);
    if (it == deliveries.end() || it->second.state != Delivery::Queued) return;
    if (stopped) {
      deliveries.erase(it);
      return;
    }
    it->second.state = Delivery::Running;
    it->second.generation = nextGeneration++;
    auto completion = std::make_shared<Completion>();
    completion->state = weak_from_this();
    completion->channel = channel;
    completion->generation = it->second.generation;
    CloudPushNotification notification = it->second.notification;
    handler(notification, [completion] { completion->finish(); });
  }

  // main: the work of a delivery has ended; what came meanwhile is delivered once.
  void finished(const std::string& channel, std::uint64_t generation) {
    auto it = deliveries.find(channel);
    if (it == deliveries.end() || it->second.generation != generation) return;
    if (it->second.state == Delivery::RunningAndOwed && !stopped)
      queueDelivery(channel);
    else if (it->second.state != Delivery::Queued)
      deliveries.erase(it);
  }

  // main: drops the connection; `fromWatch` when the watch's own callback is running (it then
  // removes itself by its return value).
  void teardown(bool fromWatch) {
    if (watch && !fromWatch) g_source_remove(watch);
    watch = 0;
    if (conn) PQfinish(conn);
    conn = nullptr;
    busy = false;
    commands.clear();
    listened.clear();
    listening = false;
  }

  // main
  void connectionLost(bool fromWatch) {
    teardown(fromWatch);
    scheduleReconnect();
  }

  // main
  void scheduleReconnect() {
    if (stopped) return;
    double delay = retryDelay;
    retryDelay = std::min(retryDelay * 2, kMaxRetryDelay);
    auto self = shared_from_this();
    DispatchQueue::main()->after(delay, [self] { self->connectIfNeeded(); });
  }
};

CloudPushListener::CloudPushListener(std::string containerIdentifier, std::function<CloudConfiguration()> configuration,
                                     CloudContainer::PushHandlerWithCompletion handler)
    : state_(std::make_shared<State>()) {
  state_->container = std::move(containerIdentifier);
  state_->configuration = std::move(configuration);
  state_->handler = std::move(handler);
}

CloudPushListener::~CloudPushListener() { stop(); }

void CloudPushListener::start() {
  auto state = state_;
  DispatchQueue::main()->async([state] { state->connectIfNeeded(); });
}

void CloudPushListener::stop() {
  if (state_->stopped.exchange(true)) return;
  auto state = state_;
  DispatchQueue::main()->async([state] { state->teardown(false); });
}

void CloudPushListener::addChannels(const std::vector<std::pair<std::string, CloudPushNotification>>& channels) {
  bool added = false;
  {
    MutexLock lock(state_->mutex);
    for (const auto& [channel, notification] : channels) {
      if (!isChannelName(channel)) continue;
      if (state_->channels.insert_or_assign(channel, notification).second) {
        state_->awaiting.insert(channel);
        added = true;
      }
    }
  }
  if (!added) return;
  auto state = state_;
  DispatchQueue::main()->async([state] { state->listenToNewChannels(); });
}

bool CloudPushListener::isListening() const {
  MutexLock lock(state_->mutex);
  return state_->listening.load() && state_->awaiting.empty();
}

}  // namespace platform::detail
