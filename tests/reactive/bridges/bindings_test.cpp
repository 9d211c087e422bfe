#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/dispatch/run_loop.h"
#include "platform/runtime/bindings.h"
#include "platform/runtime/properties.h"
#include "platform/services/user_defaults.h"
#include "reactive/bridges/RFBindings.h"
#include "tests/reactive/bridges/recording.h"
#include "tests/support/temp_dir.h"

namespace {

using bridges_test::Recording;
using bridges_test::Texts;
using platform::Value;

// A widget-like object whose "text" key is bound.
class Field : public platform::Object {
  ZORVEL_CLASS(Field, platform::Object)
 public:
  ZORVEL_PROPERTY(Value, text, setText)
  ZORVEL_PROPERTY(bool, on, setOn)
};

class Source : public platform::Object {
  ZORVEL_CLASS(Source, platform::Object)
 public:
  ZORVEL_PROPERTY(Value, name, setName)
  ZORVEL_PROPERTY(bool, hidden, setHidden)
};

TEST(ChannelToBinding, CarriesTheTargetsChangesOutAndValuesSentInBackToTheTarget) {
  auto field = platform::make<Field>();
  RFChannelTerminalPtr terminal = rf_channelToBinding(*field, "text");
  Recording r(terminal);
  field->setText(Value("typed"));
  EXPECT_EQ(r.taken(), (Texts{"typed"})) << "the target's change comes out of the terminal";
  terminal->sendNext(Value("from the model"));
  EXPECT_EQ(field->text(), Value("from the model")) << "a value sent in reaches the target";
  EXPECT_EQ(r.taken(), (Texts{"typed"})) << "and is not sent back out";
  EXPECT_FALSE(field->infoForBinding("text").isNil());
}

TEST(ChannelToBinding, NilSentInShowsTheNullPlaceholder) {
  auto field = platform::make<Field>();
  RFChannelTerminalPtr terminal =
      rf_channelToBinding(*field, "text", {{std::string(platform::kNullPlaceholderBindingOption), Value("-")}});
  terminal->sendNext(Value("x"));
  terminal->sendNext(Value());
  EXPECT_EQ(field->text(), Value("-"));
}

TEST(ChannelToBinding, AnEndSentInUnbindsAndTheTargetsDeallocationEndsTheChannel) {
  for (bool error : {false, true}) {
    auto field = platform::make<Field>();
    RFChannelTerminalPtr terminal = rf_channelToBinding(*field, "text");
    Recording r(terminal);
    if (error)
      terminal->sendError(platform::Error::make("Test", 4));
    else
      terminal->sendCompleted();
    EXPECT_TRUE(field->infoForBinding("text").isNil()) << "error: " << error;
    field->setText(Value("unseen"));
    EXPECT_EQ(r.taken(), (Texts{error ? "error 4" : "completed"}));
  }

  std::weak_ptr<RFChannelProxy> weakProxy;
  std::weak_ptr<Field> weakField;
  Recording r;
  {
    auto field = platform::make<Field>();
    weakField = field;
    RFChannelProxyPtr proxy = RFChannelProxy::proxyWithTarget(*field, "text", {});
    weakProxy = proxy;
    EXPECT_NE(proxy->description().find("binding: text"), std::string::npos) << proxy->description();
    r.record(proxy->channel()->leadingTerminal());
  }
  EXPECT_TRUE(weakField.expired()) << "the proxy does not keep its target";
  EXPECT_TRUE(weakProxy.expired()) << "the target kept the proxy, and nothing else does";
  EXPECT_EQ(r.taken(), (Texts{"completed"}));
}

TEST(BindingHelpers, PassTheirOptions) {
  auto source = platform::make<Source>();
  source->setName(Value("ada"));
  auto field = platform::make<Field>();
  auto optionsOf = [&](std::string_view binding) {
    return field->infoForBinding(binding)[std::string(platform::kOptionsKey)];
  };

  rf_bind(*field, "text", source, "name");
  EXPECT_EQ(optionsOf("text").count(), 1u) << "a nil value leaves the placeholder out";
  EXPECT_EQ(optionsOf("text")[std::string(platform::kContinuouslyUpdatesValueBindingOption)], Value(true));

  rf_bind(*field, "text", source, "name", Value("none"));
  source->setName(Value());
  EXPECT_EQ(field->text(), Value("none"));

  rf_bindTransform(*field, "text", source, "name", [](const Value& v) { return Value(v.asString() + "!"); });
  source->setName(Value("grace"));
  EXPECT_EQ(field->text(), Value("grace!"));
  field->setText(Value("typed"));
  EXPECT_EQ(source->name(), Value("grace")) << "the block transformer does not reverse";

  source->setHidden(true);
  rf_bindNegatedKeyPath(*field, "on", source, "hidden");
  EXPECT_FALSE(field->on());
  source->setHidden(false);
  EXPECT_TRUE(field->on());
}

TEST(UserDefaultsTerminal, StartsWithTheCurrentValueRepeatsNothingAndStoresWhatIsSentIn) {
  zorvel::test::TempDir dir;
  auto defaults = platform::UserDefaults::withFile(dir / "d.plist");
  defaults->setObject(Value("a"), "k");
  RFChannelTerminalPtr terminal = rf_channelTerminalForKey(*defaults, "k");
  Recording r(terminal);
  defaults->setObject(Value("a"), "k");
  defaults->setObject(Value("b"), "k");
  defaults->setObject(Value(1), "other");
  EXPECT_EQ(r.taken(), (Texts{"a", "b"}));

  terminal->sendNext(Value("sent"));
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return defaults->objectForKey("k") == Value("sent"); }, 5.0));
  defaults->setObject(Value("c"), "k");
  EXPECT_EQ(r.taken(), (Texts{"a", "b", "c"})) << "the channel's own store is not sent back";
}

TEST(UserDefaultsTerminal, EndsWithTheDefaults) {
  zorvel::test::TempDir dir;
  auto defaults = platform::UserDefaults::withFile(dir / "d.plist");
  std::weak_ptr<platform::UserDefaults> weak = defaults;
  Recording r(rf_channelTerminalForKey(*defaults, "k"));
  defaults.reset();
  EXPECT_TRUE(weak.expired()) << "the terminal does not keep the defaults";
  EXPECT_EQ(r.taken(), (Texts{"(null)", "completed"}));
}

TEST(ValueTransformerWithBlock, AppliesTheBlockAndDoesNotReverse) {
  auto transformer = RFValueTransformer::transformerWithBlock([](const Value& v) { return Value(v.asInt64() * 2); });
  EXPECT_EQ(transformer->transformedValue(Value(4)), Value(8));
  EXPECT_FALSE(transformer->allowsReverseTransformation());
}

}  // namespace
