#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/runtime/bindings.h"
#include "platform/runtime/error.h"
#include "platform/runtime/properties.h"

namespace {

using platform::Value;

class Settings : public platform::Object {
  ZORVEL_CLASS(Settings, platform::Object)
 public:
  ZORVEL_PROPERTY(std::string, name, setName)
  ZORVEL_PROPERTY(bool, hidden, setHidden)
  ZORVEL_PROPERTY(std::shared_ptr<Settings>, user, setUser)
  ZORVEL_PROPERTY(Value, anything, setAnything)
};

class Label : public platform::Object {
  ZORVEL_CLASS(Label, platform::Object)
 public:
  const Value& text() const { return text_; }
  void setText(Value text) {
    ++writes;
    setAndNotify("text", text_, std::move(text));
  }
  ZORVEL_CUSTOM_PROPERTY(text, text, setText, text_)
  ZORVEL_PROPERTY(bool, visible, setVisible)
  int writes = 0;

 private:
  Value text_;
};

// Turns strings into their length; not reversible.
class LengthTransformer final : public platform::ValueTransformer {
  ZORVEL_CLASS(LengthTransformer, platform::ValueTransformer)
 public:
  Value transformedValue(const Value& value) const override {
    return Value(static_cast<std::int64_t>(value.asString().size()));
  }
};

TEST(Bindings, CarryValuesBothWaysOnceEach) {
  auto settings = platform::make<Settings>();
  settings->setUser(platform::make<Settings>());
  settings->user()->setName("ada");
  auto label = platform::make<Label>();
  label->bind("text", settings, "user.name");
  EXPECT_EQ(label->text(), Value("ada")) << "the current value at bind";
  settings->user()->setName("grace");
  EXPECT_EQ(label->text(), Value("grace"));
  int writes = label->writes;
  label->setText(Value("typed"));
  EXPECT_EQ(settings->user()->name(), "typed") << "carried back";
  EXPECT_EQ(label->writes, writes + 1) << "and not carried again";
  settings->setUser(platform::make<Settings>());
  EXPECT_EQ(label->text(), Value("")) << "a new intermediate object";

  Value info = label->infoForBinding("text");
  EXPECT_EQ(info[platform::kObservedObjectKey].asObject().get(), settings.get());
  EXPECT_EQ(info[platform::kObservedKeyPathKey], Value("user.name"));
  label->unbind("text");
  EXPECT_TRUE(label->infoForBinding("text").isNil());
  settings->user()->setName("after");
  EXPECT_EQ(label->text(), Value(""));
}

TEST(Bindings, TransformersAndThePlaceholder) {
  auto settings = platform::make<Settings>();
  auto label = platform::make<Label>();
  label->bind(
      "visible", settings, "hidden",
      {{std::string(platform::kValueTransformerNameBindingOption), Value(platform::kNegateBooleanTransformerName)}});
  EXPECT_TRUE(label->visible());
  label->setVisible(false);
  EXPECT_TRUE(settings->hidden()) << "reversed on the way back";

  label->bind("text", settings, "anything",
              {{std::string(platform::kNullPlaceholderBindingOption), Value("none")},
               {std::string(platform::kContinuouslyUpdatesValueBindingOption), Value(true)}});
  EXPECT_EQ(label->text(), Value("none"));
  settings->setAnything(Value("set"));
  EXPECT_EQ(label->text(), Value("set"));

  label->bind("text", settings, "name",
              {{std::string(platform::kValueTransformerBindingOption), Value(platform::make<LengthTransformer>())}});
  settings->setName("four");
  EXPECT_EQ(label->text(), Value(4)) << "binding again replaced the earlier binding";
  label->setText(Value(9));
  EXPECT_EQ(settings->name(), "four") << "a transformer that cannot reverse carries nothing back";
}

TEST(Bindings, TheObservableIsHeldWeaklyAndTheReceiverEndsItsBindings) {
  auto label = platform::make<Label>();
  std::weak_ptr<Settings> weakSettings;
  {
    auto settings = platform::make<Settings>();
    weakSettings = settings;
    label->bind("text", settings, "name");
  }
  EXPECT_TRUE(weakSettings.expired());
  label->setText(Value("nobody listens"));

  auto settings = platform::make<Settings>();
  {
    auto shortLived = platform::make<Label>();
    shortLived->bind("text", settings, "name");
  }
  settings->setName("after the receiver");  // nothing left to carry to

  EXPECT_THROW(label->bind("nothing", settings, "name"), platform::Exception);
  EXPECT_TRUE(label->infoForBinding("nothing").isNil()) << "a refused binding is not kept";
}

}  // namespace
