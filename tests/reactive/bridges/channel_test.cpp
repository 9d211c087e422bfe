#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/runtime/properties.h"
#include "reactive/RFSubject.h"
#include "reactive/bridges/RFChannel.h"
#include "tests/reactive/bridges/recording.h"
#include "tests/reactive/marbles.h"

class ChannelModel : public platform::Object {
  ZORVEL_CLASS(ChannelModel, platform::Object)
 public:
  ZORVEL_PROPERTY(std::string, title, setTitle)
  ZORVEL_PROPERTY(std::shared_ptr<ChannelModel>, child, setChild)
  // Written from several threads at once.
  std::int64_t level() const { return level_.load(); }
  void setLevel(std::int64_t level) {
    willChangeValueForKey("level");
    level_.store(level);
    didChangeValueForKey("level");
  }
  ZORVEL_ACCESSOR_PROPERTY(level, level, setLevel)

 private:
  std::atomic<std::int64_t> level_{0};
};

namespace {

using bridges_test::Recording;
using bridges_test::Texts;
using platform::Value;

TEST(Channel, FollowingSubscribersGetTheLatestLeadingValueLeadingSubscribersNothingOld) {
  RFChannelPtr channel = RFChannel::channel();
  channel->leadingTerminal()->sendNext(Value("l1"));
  channel->leadingTerminal()->sendNext(Value("l2"));
  channel->followingTerminal()->sendNext(Value("f1"));
  Recording following, leading;
  following.record(channel->followingTerminal());
  leading.record(channel->leadingTerminal());
  EXPECT_EQ(following.taken(), (Texts{"l2"}));
  EXPECT_TRUE(leading.taken().empty());
  channel->followingTerminal()->sendNext(Value("f2"));
  channel->leadingTerminal()->sendNext(Value("l3"));
  EXPECT_EQ(following.taken(), (Texts{"l2", "l3"}));
  EXPECT_EQ(leading.taken(), (Texts{"f2"}));
}

TEST(Channel, AnErrorOrCompletionIntoEitherTerminalEndsBoth) {
  struct Row {
    const char* name;
    std::function<void(RFChannel&)> end;
    Texts expected;
  };
  std::vector<Row> rows = {
      {"completion into the leading terminal",
       [](RFChannel& c) { c.leadingTerminal()->sendCompleted(); },
       {"completed"}},
      {"completion into the following terminal",
       [](RFChannel& c) { c.followingTerminal()->sendCompleted(); },
       {"completed"}},
      {"an error into the following terminal",
       [](RFChannel& c) { c.followingTerminal()->sendError(platform::Error::make("Test", 3)); },
       {"error 3"}},
  };
  for (const Row& row : rows) {
    RFChannelPtr channel = RFChannel::channel();
    Recording following, leading;
    following.record(channel->followingTerminal());
    leading.record(channel->leadingTerminal());
    row.end(*channel);
    EXPECT_EQ(following.taken(), row.expected) << row.name;
    EXPECT_EQ(leading.taken(), row.expected) << row.name;
    Recording late;
    late.record(channel->followingTerminal());
    EXPECT_EQ(late.taken(), row.expected) << row.name << ": a late subscriber sees the end too";
  }
}

TEST(Channel, TheTwoSidesDoNotKeepEachOtherAlive) {
  std::weak_ptr<RFChannelTerminal> weakLeading, weakFollowing;
  {
    RFChannelPtr channel = RFChannel::channel();
    weakLeading = channel->leadingTerminal();
    weakFollowing = channel->followingTerminal();
  }
  EXPECT_TRUE(weakLeading.expired());
  EXPECT_TRUE(weakFollowing.expired());
}

TEST(KVOChannel, StartsWithTheCurrentValueAndSendsChangesButNotTheEchoOfItsOwnWrites) {
  auto model = platform::make<ChannelModel>();
  model->setTitle("first");
  RFChannelTerminalPtr terminal = RFKVOChannel::channelWithTarget(model.get(), "title")->followingTerminal();
  Recording r;
  r.record(terminal);
  terminal->sendNext(Value("written"));
  EXPECT_EQ(model->title(), "written");
  model->setTitle("changed");
  EXPECT_EQ(r.taken(), (Texts{"first", "changed"}));
}

TEST(KVOChannel, NilWritesTheNilValueAndDottedPathsWriteToTheIntermediateObject) {
  auto model = platform::make<ChannelModel>();
  RFChannelTerminalPtr level = RFKVOChannel::channelWithTarget(model.get(), "level", Value(-1))->followingTerminal();
  level->sendNext(Value(4));
  level->sendNext(Value());
  EXPECT_EQ(model->level(), -1);

  RFChannelTerminalPtr childTitle = RFKVOChannel::channelWithTarget(model.get(), "child.title")->followingTerminal();
  childTitle->sendNext(Value("dropped"));  // no child yet: nothing to write to
  Recording r;
  r.record(childTitle);
  auto child = platform::make<ChannelModel>();
  child->setTitle("new child");
  model->setChild(child);
  childTitle->sendNext(Value("child title"));
  EXPECT_EQ(child->title(), "child title");
  child->setTitle("renamed");
  EXPECT_EQ(r.taken(), (Texts{"(null)", "new child", "renamed"}));
}

TEST(KVOChannel, CompletesWhenTheTargetIsGoneAndKeepsNothingAliveOnceFinished) {
  RFKVOChannelPtr none = RFKVOChannel::channelWithTarget(nullptr, "title");
  Recording early;
  early.record(none->followingTerminal());
  EXPECT_EQ(early.taken(), (Texts{"completed"}));

  auto model = platform::make<ChannelModel>();
  std::weak_ptr<ChannelModel> weakModel = model;
  RFKVOChannelPtr channel = RFKVOChannel::channelWithTarget(model.get(), "title");
  Recording r;
  r.record(channel->followingTerminal());
  model.reset();
  EXPECT_TRUE(weakModel.expired()) << "the channel does not keep its object";
  EXPECT_EQ(r.taken(), (Texts{"", "completed"}));
  EXPECT_EQ(channel->target(), nullptr);

  // Completing the channel lets go of everything the object held for it.
  auto kept = platform::make<ChannelModel>();
  std::weak_ptr<RFChannelTerminal> weakTerminal;
  {
    RFKVOChannelPtr finished = RFKVOChannel::channelWithTarget(kept.get(), "title");
    weakTerminal = finished->leadingTerminal();
    finished->followingTerminal()->sendCompleted();
  }
  EXPECT_TRUE(weakTerminal.expired());
  kept->setTitle("after");  // observes nothing any more
}

TEST(KVOChannel, JoinedChannelsKeepTwoPropertiesInStep) {
  auto a = platform::make<ChannelModel>();
  auto b = platform::make<ChannelModel>();
  a->setTitle("from a");
  RFKVOChannelPtr left = RFKVOChannel::channelWithTarget(a.get(), "title");
  RFKVOChannelPtr right = RFKVOChannel::channelWithTarget(b.get(), "title");
  right->setObjectForKeyedSubscript(left->objectForKeyedSubscript("followingTerminal"), "followingTerminal");
  EXPECT_EQ(b->title(), "from a");
  b->setTitle("from b");
  EXPECT_EQ(a->title(), "from b");
  a->setTitle("again a");
  EXPECT_EQ(b->title(), "again a");
  EXPECT_THROW(left->objectForKeyedSubscript("middleTerminal"), platform::Exception);
}

TEST(KVOChannel, AnErrorSentInIsLogged) {
  auto model = platform::make<ChannelModel>();
  RFKVOChannelPtr channel = RFKVOChannel::channelWithTarget(model.get(), "title");
  testing::internal::CaptureStderr();
  channel->followingTerminal()->sendError(platform::Error::make("Test", 7));
  std::string logged = testing::internal::GetCapturedStderr();
  EXPECT_NE(logged.find("Received error in <RFKVOChannel: "), std::string::npos) << logged;
  EXPECT_NE(logged.find("Code=7"), std::string::npos) << logged;
}

TEST(KVOChannel, EchoesAreRecognisedPerThread) {
  auto model = platform::make<ChannelModel>();
  RFChannelTerminalPtr terminal = RFKVOChannel::channelWithTarget(model.get(), "level")->followingTerminal();
  std::atomic<int> seen{0};
  terminal->subscribeNext([&seen](const Value&) { ++seen; });
  seen = 0;
  constexpr int kWrites = 300;
  std::thread writer([terminal] {
    for (int i = 0; i < kWrites; ++i) terminal->sendNext(Value(i));
  });
  std::thread changer([model] {
    for (int i = 0; i < kWrites; ++i) model->setLevel(1000 + i);
  });
  writer.join();
  changer.join();
  EXPECT_EQ(seen.load(), kWrites) << "every change by the other thread comes out, no echo does";
}

}  // namespace
