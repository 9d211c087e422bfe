#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/run_loop.h"
#include "platform/runtime/thread.h"
#include "platform/services/files.h"
#include "reactive/bridges/RFPlatformSources.h"
#include "tests/reactive/marbles.h"
#include "tests/support/temp_dir.h"

namespace {

using platform::Value;
using Texts = std::vector<std::string>;

class Sender : public platform::Object {
  ZORVEL_CLASS(Sender, platform::Object)
};

TEST(NotificationSignal, EachSubscriptionIsOneObserver) {
  auto center = platform::NotificationCenter::create();
  auto sender = platform::make<Sender>();
  RFSignalPtr signal = rf_addObserverForName(center, "Ping", sender);
  int first = 0, second = 0;
  RFDisposablePtr a = signal->subscribeNext([&first](const Value& v) {
    EXPECT_EQ(v.as<platform::Notification>()->name(), "Ping");
    ++first;
  });
  RFDisposablePtr b = signal->subscribeNext([&second](const Value&) { ++second; });
  center->post("Ping", sender);
  center->post("Ping", platform::make<Sender>());  // another object
  center->post("Pong", sender);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 1);
  a->dispose();
  center->post("Ping", sender);
  EXPECT_EQ(first, 1) << "disposal removes the observer";
  EXPECT_EQ(second, 2);
  b->dispose();
}

TEST(NotificationSignal, ArrivesOnThePostingThreadAndNeverForAGoneObject) {
  auto center = platform::NotificationCenter::create();
  std::atomic<bool> onPoster{false};
  std::thread::id poster;
  RFDisposablePtr any = rf_addObserverForName(center, "Ping", nullptr)->subscribeNext([&](const Value&) {
    onPoster = std::this_thread::get_id() == poster;
  });
  std::thread thread([&] {
    poster = std::this_thread::get_id();
    center->post("Ping");
  });
  thread.join();
  EXPECT_TRUE(onPoster.load());

  auto sender = platform::make<Sender>();
  RFSignalPtr forSender = rf_addObserverForName(center, "Ping", sender);
  sender.reset();
  int seen = 0;
  RFDisposablePtr late = forSender->subscribeNext([&seen](const Value&) { ++seen; });
  center->post("Ping");
  EXPECT_EQ(seen, 0) << "a gone object does not turn into any object";
  any->dispose();
}

struct Recording {
  Texts texts;
  void record(const RFSignalPtr& signal) {
    signal->subscribeNext(
        [this](const Value& v) { texts.push_back(std::to_string(v.asData().size())); },
        [this](const platform::ErrorPtr& e) { texts.push_back("error " + std::to_string(e->code())); },
        [this] { texts.push_back("completed"); });
  }
  bool waitForEnd() {
    return platform::runMainLoopUntil(
        [this] { return !texts.empty() && (texts.back() == "completed" || texts.back().rfind("error", 0) == 0); }, 5.0);
  }
};

TEST(ReadInBackground, SendsEachChunkAndCompletesAtTheEndOfTheFile) {
  zorvel::test::TempDir dir;
  std::string contents(platform::kFileHandleBackgroundChunkSize + 1, 'z');
  ASSERT_TRUE(platform::FileManager::defaultManager().writeFileAtomically(
      dir / "f", platform::Bytes(contents.begin(), contents.end())));
  std::weak_ptr<platform::FileHandle> weak;
  Recording r, late;
  {
    platform::FileHandlePtr handle = platform::FileHandle::fileHandleForReadingAtPath(dir / "f");
    weak = handle;
    r.record(rf_readInBackground(handle));
  }
  ASSERT_TRUE(r.waitForEnd());
  EXPECT_EQ(r.texts, (Texts{std::to_string(platform::kFileHandleBackgroundChunkSize), "1", "completed"}));
  EXPECT_TRUE(weak.expired()) << "the handle is let go at the end";

  platform::FileHandlePtr empty = platform::FileHandle::fileHandleForReadingAtPath("/dev/null");
  RFSignalPtr emptyRead = rf_readInBackground(empty);
  Recording atEnd;
  atEnd.record(emptyRead);
  ASSERT_TRUE(atEnd.waitForEnd());
  EXPECT_EQ(atEnd.texts, (Texts{"completed"})) << "a handle at its end completes without values";
  late.record(emptyRead);
  EXPECT_EQ(late.texts, (Texts{"completed"})) << "late subscribers get the end too";
}

TEST(ReadInBackground, AFailedReadIsAnErrorNotTheEnd) {
  zorvel::test::TempDir dir;
  int fd = ::open((dir / "w").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  Recording r;
  r.record(rf_readInBackground(platform::FileHandle::fileHandleWithFileDescriptor(fd, true)));
  ASSERT_TRUE(r.waitForEnd());
  EXPECT_EQ(r.texts, (Texts{"error " + std::to_string(EBADF)}));
}

TEST(ReadInBackground, StartedFromAThreadWithoutAScheduler) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  RFSignalPtr reading;
  std::thread starter(
      [&] { reading = rf_readInBackground(platform::FileHandle::fileHandleWithFileDescriptor(fds[0], true)); });
  starter.join();
  ASSERT_EQ(::write(fds[1], "abc", 3), 3);
  ::close(fds[1]);
  Recording r;
  r.record(reading);
  ASSERT_TRUE(r.waitForEnd());
  EXPECT_EQ(r.texts, (Texts{"3", "completed"}));
}

}  // namespace
