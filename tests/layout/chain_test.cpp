#include <gmock/gmock.h>

#include <string>

#include "layout/LYConstraint.h"
#include "layout_test_support.h"
#include "platform/runtime/error.h"

namespace {

using platform::LayoutAttributeBaseline;
using platform::LayoutAttributeBottom;
using platform::LayoutAttributeCenterX;
using platform::LayoutAttributeCenterY;
using platform::LayoutAttributeHeight;
using platform::LayoutAttributeLeading;
using platform::LayoutAttributeLeft;
using platform::LayoutAttributeRight;
using platform::LayoutAttributeTop;
using platform::LayoutAttributeTrailing;
using platform::LayoutAttributeWidth;
using platform::Value;
using LYChain = zorvel::test::LayoutTest;

TEST_F(LYChain, NamedPrioritiesAndFillerWords) {
  struct Case {
    LYConstraint& (LYConstraint::*level)();
    float priority;
  };
  for (Case c : {Case{&LYConstraint::priorityLow, 250}, Case{&LYConstraint::priorityMedium, 501},
                 Case{&LYConstraint::priorityHigh, 750}}) {
    auto constraint = constraintOn(view, LayoutAttributeLeft);
    EXPECT_EQ(&((*constraint).*c.level)(), constraint.get());
    EXPECT_EQ(constraint->layoutPriority(), c.priority);
  }
  auto constraint = constraintOn(view, LayoutAttributeLeft);
  EXPECT_EQ(&constraint->with(), constraint.get());
  EXPECT_EQ(&constraint->and_(), constraint.get());
  EXPECT_EQ(constraint->layoutPriority(), 1000);
  EXPECT_EQ(constraint->layoutMultiplier(), 1.0);
  EXPECT_FALSE(constraint->hasLayoutRelation());
}

TEST_F(LYChain, ViewAttributesAreEqualForTheSameViewAndAttribute) {
  auto a = ly_left(view);
  auto b = LYViewAttribute::initWithView(view, other, LayoutAttributeLeft);  // the item is not compared
  EXPECT_TRUE(a->isEqual(*b));
  EXPECT_EQ(a->hash(), b->hash());
  EXPECT_FALSE(a->isEqual(*ly_left(other)));
  EXPECT_FALSE(a->isEqual(*ly_right(view)));
  EXPECT_FALSE(a->isEqual(*view));
  EXPECT_TRUE(ly_width(view)->isSizeAttribute());
  EXPECT_TRUE(ly_height(view)->isSizeAttribute());
  EXPECT_FALSE(ly_centerX(view)->isSizeAttribute());
  EXPECT_EQ(ly_attribute(view)(LayoutAttributeBaseline)->layoutAttribute(), LayoutAttributeBaseline);
  EXPECT_EQ(ly_attribute(view)(LayoutAttributeBaseline)->view(), view);
}

TEST_F(LYChain, ConstantFollowsTheAttribute) {
  const platform::EdgeInsets insets{1, 2, 3, 4};
  const platform::Size size{5, 6};
  const platform::Point point{7, 8};
  constexpr double kUnchanged = 99;
  struct Case {
    std::int64_t attribute;
    double byInsets, bySize, byCenter;
  };
  const Case cases[] = {
      {LayoutAttributeLeft, 2, kUnchanged, kUnchanged},
      {LayoutAttributeLeading, 2, kUnchanged, kUnchanged},
      {LayoutAttributeRight, -4, kUnchanged, kUnchanged},
      {LayoutAttributeTrailing, -4, kUnchanged, kUnchanged},
      {LayoutAttributeTop, 1, kUnchanged, kUnchanged},
      {LayoutAttributeBottom, -3, kUnchanged, kUnchanged},
      {LayoutAttributeWidth, kUnchanged, 5, kUnchanged},
      {LayoutAttributeHeight, kUnchanged, 6, kUnchanged},
      {LayoutAttributeCenterX, kUnchanged, kUnchanged, 7},
      {LayoutAttributeCenterY, kUnchanged, kUnchanged, 8},
      {LayoutAttributeBaseline, kUnchanged, kUnchanged, kUnchanged},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.attribute);
    auto constraint = constraintOn(view, c.attribute);
    constraint->offset(kUnchanged);
    EXPECT_EQ(constraint->layoutConstant(), kUnchanged);
    EXPECT_EQ(&constraint->insets(insets), constraint.get());
    EXPECT_EQ(constraint->layoutConstant(), c.byInsets);
    constraint->offset(kUnchanged).sizeOffset(size);
    EXPECT_EQ(constraint->layoutConstant(), c.bySize);
    constraint->offset(kUnchanged).centerOffset(point);
    EXPECT_EQ(constraint->layoutConstant(), c.byCenter);
  }
}

TEST_F(LYChain, BoxedValuesSetTheConstantByKind) {
  struct Case {
    const char* name;
    std::int64_t attribute;
    Value value;
    double constant;
  };
  const Case cases[] = {
      {"number", LayoutAttributeLeft, Value(12.5), 12.5},
      {"integer", LayoutAttributeTop, Value(3), 3},
      {"point", LayoutAttributeCenterY, LYBoxValue(platform::Point{4, 9}), 9},
      {"size", LayoutAttributeWidth, LYBoxValue(platform::Size{355, 366}), 355},
      {"insets", LayoutAttributeBottom, LYBoxValue(platform::EdgeInsets{8, 8, 8, 8}), -8},
      {"rectangle", LayoutAttributeWidth, LYBoxValue(platform::Rect{{1, 2}, {3, 4}}), 42},
      {"string", LayoutAttributeLeft, Value("10"), 42},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto constraint = constraintOn(view, c.attribute);
    constraint->setLayoutConstant(42);
    constraint->valueOffset(c.value);
    EXPECT_EQ(constraint->layoutConstant(), c.constant);
    // As the other side: the same, with no second view.
    auto related = constraintOn(view, c.attribute);
    related->setLayoutConstant(42);
    related->equalTo(c.value);
    EXPECT_EQ(related->layoutConstant(), c.constant);
    EXPECT_EQ(related->secondViewAttribute(), nullptr);
  }
}

TEST_F(LYChain, OtherSideAsViewOrAttribute) {
  auto toView = constraintOn(view, LayoutAttributeLeft);
  EXPECT_EQ(&toView->greaterThanOrEqualTo(other), toView.get());
  EXPECT_EQ(toView->layoutRelation(), platform::LayoutRelationGreaterThanOrEqual);
  EXPECT_TRUE(toView->hasLayoutRelation());
  EXPECT_TRUE(toView->secondViewAttribute()->isEqual(*ly_left(other)));

  auto toAttribute = constraintOn(view, LayoutAttributeLeft);
  auto right = ly_right(other);
  toAttribute->lessThanOrEqualTo(right);
  EXPECT_EQ(toAttribute->layoutRelation(), platform::LayoutRelationLessThanOrEqual);
  EXPECT_EQ(toAttribute->secondViewAttribute(), right);

  auto ignored = constraintOn(view, LayoutAttributeLeft);
  ignored->setSecondViewAttribute(Value::dictionary({{"a", 1}}));
  EXPECT_EQ(ignored->secondViewAttribute(), nullptr);
  EXPECT_EQ(ignored->layoutConstant(), 0);
}

TEST_F(LYChain, MultiplierDividerKeyAndCopy) {
  auto constraint = constraintOn(view, LayoutAttributeWidth);
  constraint->equalTo(other).multipliedBy(3).offset(4).priority(600).key(Value("w"));
  EXPECT_EQ(constraint->layoutMultiplier(), 3);
  constraint->dividedBy(4);
  EXPECT_EQ(constraint->layoutMultiplier(), 0.25);
  EXPECT_EQ(constraint->ly_key().asString(), "w");
  auto copy = std::dynamic_pointer_cast<LYViewConstraint>(constraint->copy());
  ASSERT_TRUE(copy);
  EXPECT_NE(copy, constraint);
  EXPECT_EQ(copy->firstViewAttribute(), constraint->firstViewAttribute());
  EXPECT_EQ(copy->layoutMultiplier(), 0.25);
  EXPECT_EQ(copy->layoutConstant(), 4);
  EXPECT_EQ(copy->layoutPriority(), 600);
  EXPECT_TRUE(copy->hasLayoutRelation());
  EXPECT_EQ(copy->secondViewAttribute(), nullptr);
  EXPECT_TRUE(copy->ly_key().isNil());
}

class BareConstraint : public LYConstraint {
  ZORVEL_CLASS(BareConstraint, LYConstraint)
};

TEST_F(LYChain, AbstractOperationsRaiseUntilASubclassDefinesThem) {
  auto bare = platform::make<BareConstraint>();
  struct Case {
    const char* selector;
    std::function<void()> call;
  };
  const Case cases[] = {{"install", [&] { bare->install(); }},
                        {"multipliedBy", [&] { bare->multipliedBy(2); }},
                        {"setOffset:", [&] { bare->offset(1); }},
                        {"equalToWithRelation", [&] { bare->equalTo(Value(1)); }},
                        {"addConstraintWithLayoutAttribute:", [&] { bare->left(); }}};
  for (const Case& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << c.selector << " did not raise";
    } catch (const platform::Exception& e) {
      EXPECT_EQ(e.name(), platform::kInternalInconsistencyException);
      EXPECT_EQ(e.reason(), std::string("You must override ") + c.selector + " in a subclass.");
    }
  }
}

TEST_F(LYChain, MakerGroupsWhatOneExpressionNames) {
  auto maker = LYConstraintMaker::initWithView(view);
  maker->left().top();  // one group of two, not two entries
  maker->edges();
  maker->size();
  maker->center();
  maker->attributes(1u);  // no known bit: an empty group, still appended
  maker->width();
  const auto& list = maker->constraints();
  ASSERT_EQ(list.size(), 6u);
  auto attributes = [&](const LYConstraintPtr& c) {
    std::vector<std::int64_t> found;
    for (const LYConstraintPtr& child : asGroup(c)->childConstraints())
      found.push_back(asView(child)->firstViewAttribute()->layoutAttribute());
    return found;
  };
  EXPECT_THAT(attributes(list[0]), testing::ElementsAre(LayoutAttributeLeft, LayoutAttributeTop));
  EXPECT_THAT(attributes(list[1]), testing::ElementsAre(LayoutAttributeLeft, LayoutAttributeRight, LayoutAttributeTop,
                                                        LayoutAttributeBottom));
  EXPECT_THAT(attributes(list[2]), testing::ElementsAre(LayoutAttributeWidth, LayoutAttributeHeight));
  EXPECT_THAT(attributes(list[3]), testing::ElementsAre(LayoutAttributeCenterX, LayoutAttributeCenterY));
  EXPECT_TRUE(asGroup(list[4])->childConstraints().empty());
  EXPECT_TRUE(asView(list[5]));
  EXPECT_EQ(asGroup(list[0])->delegate().get(), static_cast<LYConstraintDelegate*>(maker.get()));

  // A group going on with a further attribute keeps it.
  auto& grown = maker->size().height();
  EXPECT_EQ(asGroup(maker->constraints().back()).get(), &grown);
  EXPECT_EQ(asGroup(maker->constraints().back())->childConstraints().size(), 3u);
}

TEST_F(LYChain, ArrayAsTheOtherSideBecomesAGroupInTheConstraintsPlace) {
  auto maker = LYConstraintMaker::initWithView(view);
  auto& group = maker->left().equalTo(Value::array({Value(other), Value(root)})).offset(5);
  ASSERT_EQ(maker->constraints().size(), 1u);
  auto made = asGroup(maker->constraints()[0]);
  ASSERT_TRUE(made);
  EXPECT_EQ(made.get(), &group);
  ASSERT_EQ(made->childConstraints().size(), 2u);
  EXPECT_EQ(asView(made->childConstraints()[0])->secondViewAttribute()->view(), other);
  EXPECT_EQ(asView(made->childConstraints()[1])->secondViewAttribute()->view(), root);
  for (const auto& child : made->childConstraints()) EXPECT_EQ(asView(child)->layoutConstant(), 5);

  // Keys of a keyed group's children carry their index.
  group.key(Value("box"));
  EXPECT_EQ(made->ly_key().asString(), "box");
  EXPECT_EQ(asView(made->childConstraints()[0])->ly_key().asString(), "box[0]");
  EXPECT_EQ(asView(made->childConstraints()[1])->ly_key().asString(), "box[1]");
}

TEST_F(LYChain, GroupBlockCoversWhatItMadeWithoutAddingToTheList) {
  auto maker = LYConstraintMaker::initWithView(view);
  maker->width();
  LYConstraintPtr group = maker->group([&] {
    maker->left();
    maker->top();
  });
  EXPECT_EQ(maker->constraints().size(), 3u);
  ASSERT_EQ(asGroup(group)->childConstraints().size(), 2u);
  group->offset(7);
  EXPECT_EQ(asView(maker->constraints()[1])->layoutConstant(), 7);
  EXPECT_EQ(asView(maker->constraints()[2])->layoutConstant(), 7);
  EXPECT_EQ(asView(maker->constraints()[0])->layoutConstant(), 0);
}

}  // namespace
