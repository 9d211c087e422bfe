#include <gmock/gmock.h>

#include "layout_test_support.h"
#include "platform/runtime/format.h"

namespace {

using platform::Value;
using LYDescription = zorvel::test::LayoutTest;

TEST_F(LYDescription, ConstraintsDescribeThemselvesExactly) {
  setLy_key(*view, Value("avatar"));
  setLy_key(*root, Value("container"));
  setLy_key(*other, Value("other"));
  struct Case {
    const char* expected;
    LYMakerBlock block;
  };
  const Case cases[] = {
      {"<LYLayoutConstraint:left0 ZorvelView:avatar.left == ZorvelView:container.left + 10 ^high>",
       [&](LYConstraintMaker& make) { make.left().equalTo(root).offset(10).priorityHigh().key(Value("left0")); }},
      {"<LYLayoutConstraint:w ZorvelView:avatar.width == 355>",
       [&](LYConstraintMaker& make) { make.width().equalTo(355).key(Value("w")); }},
      {"<LYLayoutConstraint:z ZorvelView:avatar.height == 0>",
       [&](LYConstraintMaker& make) { make.height().equalTo(0).key(Value("z")); }},
      {"<LYLayoutConstraint:l ZorvelView:avatar.left == ZorvelView:other.left>",
       [&](LYConstraintMaker& make) { make.left().equalTo(other).key(Value("l")); }},
      {"<LYLayoutConstraint:r ZorvelView:avatar.right <= ZorvelView:container.right - 8>",
       [&](LYConstraintMaker& make) { make.right().lessThanOrEqualTo(root).offset(-8).key(Value("r")); }},
      {"<LYLayoutConstraint:p ZorvelView:avatar.top >= ZorvelView:other.bottom + 2.5 ^999>",
       [&](LYConstraintMaker& make) {
         make.top().greaterThanOrEqualTo(ly_bottom(other)).offset(2.5).priority(999).key(Value("p"));
       }},
      {"<LYLayoutConstraint:m ZorvelView:avatar.width == ZorvelView:other.width * 0.5 ^drag can resize window>",
       [&](LYConstraintMaker& make) { make.width().equalTo(other).multipliedBy(0.5).priority(510).key(Value("m")); }},
      {"<LYLayoutConstraint:c ZorvelView:avatar.centerY == ZorvelView:container.centerY ^low>",
       [&](LYConstraintMaker& make) { make.centerY().equalTo(root).priorityLow().key(Value("c")); }},
      {"<LYLayoutConstraint:b ZorvelView:avatar.baseline == ZorvelView:other.baseline ^fitting size>",
       [&](LYConstraintMaker& make) { make.baseline().equalTo(other).priority(50).key(Value("b")); }},
  };
  for (const Case& c : cases) {
    auto made = ly_remakeConstraints(view, c.block);
    auto constraint = asView(made[0])->layoutConstraint();
    ASSERT_TRUE(constraint) << c.expected;
    EXPECT_EQ(constraint->description(), c.expected);
  }
}

TEST_F(LYDescription, ItemsWithoutKeysShowClassAndAddress) {
  auto made = ly_makeConstraints(view, [&](LYConstraintMaker& make) { make.left().equalTo(other).offset(-1); });
  auto constraint = asView(made[0])->layoutConstraint();
  EXPECT_EQ(constraint->description(),
            platform::format("<LYLayoutConstraint:%p ZorvelView:%p.left == ZorvelView:%p.left - 1>",
                             static_cast<const void*>(constraint.get()), static_cast<const void*>(view->widget()),
                             static_cast<const void*>(other->widget())));
  // Every layout constraint takes this form, not only the language's own.
  setLy_key(*view, Value("v"));
  auto plain = platform::LayoutConstraint::constraintWithItem(view, platform::LayoutAttributeWidth,
                                                              platform::LayoutRelationEqual, nullptr, 0, 1, 7);
  EXPECT_EQ(plain->description(),
            platform::format("<LayoutConstraint:%p ZorvelView:v.width == 7>", static_cast<const void*>(plain.get())));
}

TEST_F(LYDescription, NameTables) {
  EXPECT_EQ(layoutRelationDescriptionsByValue().at(-1), "<=");
  EXPECT_EQ(layoutAttributeDescriptionsByValue().size(), 11u);
  EXPECT_EQ(layoutAttributeDescriptionsByValue().at(11), "baseline");
  EXPECT_EQ(layoutPriorityDescriptionsByValue().at(500), "window size stay put");
  EXPECT_EQ(layoutPriorityDescriptionsByValue().at(490), "drag cannot resize window");
  EXPECT_EQ(layoutPriorityDescriptionsByValue().count(999), 0u);
  EXPECT_EQ(descriptionForObject(Value()), "(null)");
}

}  // namespace
