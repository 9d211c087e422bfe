#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/runtime/error.h"
#include "platform/runtime/methods.h"
#include "platform/runtime/object.h"
#include "platform/runtime/value.h"
#include "support/raised.h"

namespace {

using platform::Class;
using platform::Object;
using platform::Value;
using zorvel::test::raised;

class MthView : public Object {
  ZORVEL_CLASS(MthView, platform::Object)
 public:
  std::string describeRow(std::string table, std::int64_t row) { return table + "#" + std::to_string(row); }
  ZORVEL_METHOD("tableView:didSelectRow:", describeRow)
  void touch() { ++touches; }
  ZORVEL_METHOD("touch", touch)
  std::int64_t sum(std::int64_t a, std::int64_t b, std::int64_t c) const { return a + b + c; }
  ZORVEL_METHOD("sumOf:and:and:", sum)

  static std::uint64_t level() { return levelValue; }
  ZORVEL_CLASS_METHOD("lgLogLevel", level)
  static void setLevel(std::uint64_t value) { levelValue = value; }
  ZORVEL_CLASS_METHOD("lgSetLogLevel:", setLevel)

  int touches = 0;
  static inline std::uint64_t levelValue = 3;
};

class MthButton : public MthView {
  ZORVEL_CLASS(MthButton, MthView)
 public:
  std::string describeRow(std::string table, std::int64_t row) { return "button " + table + std::to_string(row); }
  ZORVEL_METHOD("tableView:didSelectRow:", describeRow)
};

// Answers selectors it has no method for by forwarding them.
class MthForwarder : public Object {
  ZORVEL_CLASS(MthForwarder, platform::Object)
 public:
  Value forwardInvocation(std::string_view selector, const std::vector<Value>& args) override {
    return Value(std::string(selector) + "/" + std::to_string(args.size()));
  }
};

TEST(MethodsByName, CallWithBoxedArgumentsThroughTheClassChain) {
  auto view = platform::make<MthView>();
  EXPECT_EQ(view->perform("tableView:didSelectRow:", {Value("list"), Value(4)}), Value("list#4"));
  EXPECT_TRUE(view->perform("touch").isNil());
  EXPECT_EQ(view->touches, 1);
  EXPECT_EQ(view->perform("sumOf:and:and:", {Value(1), Value(2), Value(3.0)}), Value(6));

  auto button = platform::make<MthButton>();
  EXPECT_EQ(button->perform("tableView:didSelectRow:", {Value("t"), Value(1)}), Value("button t1"));
  EXPECT_EQ(button->perform("sumOf:and:and:", {Value(1), Value(1), Value(1)}), Value(3));  // inherited
  EXPECT_TRUE(button->respondsToSelector("touch"));
  EXPECT_FALSE(button->respondsToSelector("nothing:"));
  EXPECT_TRUE(MthButton::staticClass().instancesRespondToSelector("touch"));
  EXPECT_FALSE(MthButton::staticClass().hasOwnMethod("touch"));
  EXPECT_TRUE(MthButton::staticClass().hasOwnMethod("tableView:didSelectRow:"));
}

TEST(MethodsByName, MisuseRaisesLikeThePlatform) {
  auto view = platform::make<MthView>();
  auto e = raised([&] { view->perform("fly:", {Value(1)}); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->name(), "NSInvalidArgumentException");
  EXPECT_THAT(e->reason(),
              testing::MatchesRegex("-\\[MthView fly:\\]: unrecognized selector sent to instance 0x[0-9a-f]+"));

  for (const std::vector<Value>& args : {std::vector<Value>{}, std::vector<Value>{Value(1), Value(2), Value(3)}}) {
    e = raised([&] { view->perform("tableView:didSelectRow:", args); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->name(), "NSInvalidArgumentException");
  }
  std::string sixteen(16, ':');
  e = raised([&] { view->perform(sixteen, std::vector<Value>(16, Value(1))); });
  ASSERT_TRUE(e);

  auto forwarder = platform::make<MthForwarder>();
  EXPECT_EQ(forwarder->perform("anything:else:", {Value(1), Value(2)}), Value("anything:else:/2"));
}

TEST(MethodsByName, ClassMethodsAreFoundAndInherited) {
  EXPECT_TRUE(MthView::staticClass().respondsToSelector("lgLogLevel"));
  EXPECT_TRUE(MthButton::staticClass().respondsToSelector("lgSetLogLevel:"));
  EXPECT_FALSE(Object::staticClass().respondsToSelector("lgLogLevel"));
  MthButton::staticClass().perform("lgSetLogLevel:", {Value(31)});
  EXPECT_EQ(MthView::staticClass().perform("lgLogLevel", {}), Value(31));
  auto e = raised([&] { Object::staticClass().perform("lgLogLevel", {}); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->name(), "NSInvalidArgumentException");
}

TEST(MethodsByName, ReplacementReturnsThePreviousImplementation) {
  const Class& cls = *Class::allocateClass("MthView_Replaced", MthView::staticClass());
  auto view = platform::make<MthView>();
  view->setActualClass(cls);
  auto untouched = platform::make<MthView>();

  // First replacement in the subclass: the previous implementation is the inherited one.
  platform::MethodImp old = cls.replaceMethod("tableView:didSelectRow:",
                                              [](Object&, const std::vector<Value>&) { return Value("replaced"); });
  ASSERT_TRUE(old);
  EXPECT_EQ(view->perform("tableView:didSelectRow:", {Value("a"), Value(1)}), Value("replaced"));
  EXPECT_EQ(old(*view, {Value("a"), Value(1)}), Value("a#1"));
  EXPECT_EQ(untouched->perform("tableView:didSelectRow:", {Value("a"), Value(1)}), Value("a#1"));

  platform::MethodImp second = cls.replaceMethod("tableView:didSelectRow:", old);
  EXPECT_EQ(second(*view, {Value("a"), Value(1)}), Value("replaced"));
  EXPECT_EQ(view->perform("tableView:didSelectRow:", {Value("b"), Value(2)}), Value("b#2"));
  EXPECT_FALSE(cls.replaceMethod("brandNew", [](Object&, const std::vector<Value>&) { return Value(1); }));
  EXPECT_TRUE(view->respondsToSelector("brandNew"));
  EXPECT_FALSE(untouched->respondsToSelector("brandNew"));
}

TEST(MethodsByName, InterceptionSeesArgumentsAndCanCallThrough) {
  const Class& cls = *Class::allocateClass("MthView_Intercepted", MthView::staticClass());
  auto view = platform::make<MthView>();
  view->setActualClass(cls);
  std::vector<std::vector<Value>> calls;
  cls.interceptMethod("tableView:didSelectRow:",
                      [&](Object& self, const std::vector<Value>& args, const platform::MethodImp& callThrough) {
                        Value result = callThrough(self, args);
                        calls.push_back(args);
                        return Value(result.asString() + "!");
                      });
  EXPECT_EQ(view->perform("tableView:didSelectRow:", {Value("t"), Value(9)}), Value("t#9!"));
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0], (std::vector<Value>{Value("t"), Value(9)}));

  // A selector without implementation: calling through forwards (here: unrecognized).
  cls.interceptMethod("newSignal:",
                      [&](Object& self, const std::vector<Value>& args, const platform::MethodImp& callThrough) {
                        calls.push_back(args);
                        auto e = raised([&] { callThrough(self, args); });
                        EXPECT_TRUE(e);
                        return Value();
                      });
  EXPECT_TRUE(view->respondsToSelector("newSignal:"));
  view->perform("newSignal:", {Value()});
  EXPECT_EQ(calls.size(), 2u);
  // Other objects of the original class are untouched.
  EXPECT_EQ(platform::make<MthView>()->perform("tableView:didSelectRow:", {Value("t"), Value(9)}), Value("t#9"));
}

TEST(MethodsByName, ReplacingWhileCallingFromOtherThreadsIsSafe) {
  const Class& cls = *Class::allocateClass("MthView_Concurrent", MthView::staticClass());
  auto view = platform::make<MthView>();
  view->setActualClass(cls);
  std::atomic<bool> stop{false};
  std::atomic<int> calls{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 3; ++t)
    callers.emplace_back([&] {
      while (!stop.load()) {
        Value v = view->perform("sumOf:and:and:", {Value(1), Value(2), Value(3)});
        EXPECT_TRUE(v == Value(6) || v == Value(60));
        ++calls;
      }
    });
  for (int i = 0; i < 200; ++i) {
    platform::MethodImp old =
        cls.replaceMethod("sumOf:and:and:", [](Object&, const std::vector<Value>&) { return Value(60); });
    cls.replaceMethod("sumOf:and:and:", old ? old : platform::MethodImp());
  }
  while (calls.load() < 100) std::this_thread::yield();
  stop = true;
  for (auto& t : callers) t.join();
}

}  // namespace

namespace {

TEST(MethodsByName, DeclaredMethodsRecordTheirTypes) {
  const Class& view = MthView::staticClass();
  EXPECT_EQ(view.methodSignatureForSelector("touch"), (platform::MethodSignature{"v", {}}));
  EXPECT_FALSE(view.methodSignatureForSelector("touch")->returnsValue());
  EXPECT_EQ(view.methodSignatureForSelector("sumOf:and:and:"), (platform::MethodSignature{"q", {"q", "q", "q"}}));
  EXPECT_EQ(MthButton::staticClass().methodSignatureForSelector("touch")->returnType, "v") << "inherited";
  EXPECT_EQ(view.methodSignatureForSelector("nothing"), std::nullopt);
}

TEST(MethodsByName, AClassMayAnswerRespondsToSelectorItself) {
  const Class* cls = Class::allocateClass("MthSelective", MthView::staticClass());
  ASSERT_TRUE(cls);
  cls->addMethod("respondsToSelector:",
                 [](Object&, const std::vector<Value>& args) { return Value(args[0].asString() == "imagined"); });
  platform::ObjectPtr object = cls->makeInstance();
  EXPECT_TRUE(object->respondsToSelector("imagined"));
  EXPECT_FALSE(object->respondsToSelector("touch")) << "its answer stands, whatever the table holds";
  EXPECT_TRUE(platform::make<MthView>()->respondsToSelector("touch"));
}

TEST(Protocols, AreDeclaredOnceAndAdoptedByClasses) {
  const platform::Protocol& delegate = platform::Protocol::declare(
      "MthDelegate", {{"view:didChange:", false, {"v", {"@", "@"}}}, {"viewShouldClose:", true, {"B", {"@"}}}});
  EXPECT_EQ(&platform::Protocol::declare("MthDelegate", {}), &delegate);
  EXPECT_EQ(platform::Protocol::named("MthDelegate"), &delegate);
  EXPECT_EQ(platform::Protocol::named("MthUnknown"), nullptr);
  ASSERT_TRUE(delegate.methodDescription("view:didChange:", false));
  EXPECT_EQ(delegate.methodDescription("view:didChange:", true), nullptr);
  EXPECT_EQ(delegate.methodDescription("viewShouldClose:", true)->signature.returnType, "B");

  MthView::staticClass().addProtocol(delegate);
  MthView::staticClass().addProtocol(delegate);
  EXPECT_TRUE(platform::make<MthButton>()->conformsToProtocol(delegate)) << "subclasses conform too";
  EXPECT_FALSE(platform::make<MthForwarder>()->conformsToProtocol(delegate));
}

}  // namespace
