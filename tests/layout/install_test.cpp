#include <gmock/gmock.h>

#include "layout_test_support.h"

namespace {

using platform::LayoutAttributeHeight;
using platform::LayoutAttributeLeft;
using platform::LayoutAttributeNotAnAttribute;
using platform::LayoutAttributeWidth;
using platform::Value;
using platform::View;
using platform::ViewPtr;
using LYInstall = zorvel::test::LayoutTest;

TEST_F(LYInstall, LeftEqualToANumberIsHeldByTheSuperviewAgainstItsLeft) {
  auto made = ly_makeConstraints(view, [](LYConstraintMaker& make) { make.left().equalTo(10); });
  ASSERT_EQ(made.size(), 1u);
  auto constraint = asView(made[0]);
  auto platformConstraint = constraint->layoutConstraint();
  ASSERT_TRUE(platformConstraint);
  EXPECT_EQ(platformConstraint->firstItem(), view);
  EXPECT_EQ(platformConstraint->secondItem(), root);
  EXPECT_EQ(platformConstraint->secondAttribute(), LayoutAttributeLeft);
  EXPECT_EQ(platformConstraint->multiplier(), 1);
  EXPECT_EQ(platformConstraint->constant(), 10);
  EXPECT_EQ(constraint->installedView(), root);
  EXPECT_EQ(platformConstraint->holder(), root);
  EXPECT_TRUE(constraint->hasBeenInstalled());
  EXPECT_THAT(LYViewConstraint::installedConstraintsForView(view), testing::ElementsAre(constraint));
  EXPECT_FALSE(view->translatesAutoresizingMaskIntoConstraints());
}

TEST_F(LYInstall, WidthEqualToANumberIsConstantOnlyAndHeldByTheViewItself) {
  auto made = ly_makeConstraints(view, [](LYConstraintMaker& make) { make.width().equalTo(100); });
  auto platformConstraint = asView(made[0])->layoutConstraint();
  ASSERT_TRUE(platformConstraint);
  EXPECT_EQ(platformConstraint->secondItem(), nullptr);
  EXPECT_EQ(platformConstraint->secondAttribute(), LayoutAttributeNotAnAttribute);
  EXPECT_EQ(asView(made[0])->installedView(), view);
  EXPECT_THAT(view->constraints(), testing::ElementsAre(platformConstraint));
}

TEST_F(LYInstall, BetweenTwoViewsHeldByTheirNearestCommonAncestor) {
  ViewPtr inner = window.addView(view);
  struct Case {
    const char* name;
    ViewPtr first, second, holder;
  };
  const Case cases[] = {{"siblings", view, other, root},
                        {"child and parent", inner, view, view},
                        {"parent and child", view, inner, view}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto made = ly_makeConstraints(c.first, [&](LYConstraintMaker& make) { make.left().equalTo(c.second); });
    EXPECT_EQ(asView(made[0])->installedView(), c.holder);
    ASSERT_TRUE(asView(made[0])->layoutConstraint());
    EXPECT_EQ(asView(made[0])->layoutConstraint()->secondItem(), c.second);
    EXPECT_EQ(asView(made[0])->layoutConstraint()->secondAttribute(), LayoutAttributeLeft);
  }
  EXPECT_EQ(ly_closestCommonSuperview(view, view), view);
  EXPECT_EQ(ly_closestCommonSuperview(inner, root), root);
  EXPECT_EQ(ly_closestCommonSuperview(inner, other), root);
  EXPECT_EQ(ly_closestCommonSuperview(view, nullptr), nullptr);
  zorvel::test::TestWindow second;
  EXPECT_EQ(ly_closestCommonSuperview(view, second.root()), nullptr);
  EXPECT_EQ(ly_commonSuperviewOfViews({inner, nullptr, other}), root);
  EXPECT_EQ(ly_commonSuperviewOfViews({inner}), inner);
  EXPECT_EQ(ly_commonSuperviewOfViews({}), nullptr);
  EXPECT_EQ(ly_commonSuperviewOfViews({view, second.root(), other}), nullptr);
}

TEST_F(LYInstall, UpdateChangesOnlyTheConstantOfAMatchAndAddsTheRest) {
  auto first = ly_makeConstraints(view, [&](LYConstraintMaker& make) {
    make.left().equalTo(other).offset(5);
    make.width().equalTo(50);
  });
  auto platformLeft = asView(first[0])->layoutConstraint();
  ASSERT_EQ(root->constraints().size(), 1u);
  auto updated = ly_updateConstraints(view, [&](LYConstraintMaker& make) {
    make.left().equalTo(other).offset(20);
    make.left().equalTo(other).offset(30).priorityHigh();  // another priority: a second constraint
    make.left().equalTo(other).multipliedBy(2);            // another multiplier: a third
  });
  EXPECT_EQ(asView(updated[0])->layoutConstraint(), platformLeft);
  EXPECT_EQ(platformLeft->constant(), 20);
  EXPECT_EQ(root->constraints().size(), 3u);
  // The match is not entered twice in the installed set.
  EXPECT_EQ(LYViewConstraint::installedConstraintsForView(view).size(), 4u);
}

TEST_F(LYInstall, RemakeUninstallsOnlyWhatWasInstalledWithTheView) {
  ly_makeConstraints(view, [&](LYConstraintMaker& make) {
    make.left().equalTo(root).offset(5);
    make.width().equalTo(40);
  });
  auto toView = ly_makeConstraints(other, [&](LYConstraintMaker& make) { make.left().equalTo(view); });
  auto remade = ly_remakeConstraints(view, [&](LYConstraintMaker& make) { make.top().equalTo(root).offset(3); });
  auto installed = LYViewConstraint::installedConstraintsForView(view);
  ASSERT_EQ(installed.size(), 1u);
  EXPECT_EQ(installed[0], asView(remade[0]));
  EXPECT_TRUE(view->constraints().empty());
  EXPECT_EQ(root->constraints().size(), 2u);  // the new top and other's left
  EXPECT_TRUE(asView(toView[0])->hasBeenInstalled());
}

TEST_F(LYInstall, UninstallThenInstallBringsBackTheSameConstraintWhileItExists) {
  auto made = ly_makeConstraints(view, [&](LYConstraintMaker& make) { make.left().equalTo(other); });
  auto constraint = asView(made[0]);
  auto held = constraint->layoutConstraint();
  constraint->uninstall();
  EXPECT_FALSE(constraint->hasBeenInstalled());
  EXPECT_TRUE(LYViewConstraint::installedConstraintsForView(view).empty());
  EXPECT_TRUE(root->constraints().empty());
  constraint->install();
  EXPECT_EQ(constraint->layoutConstraint(), held);
  EXPECT_TRUE(held->isActive());
  EXPECT_EQ(LYViewConstraint::installedConstraintsForView(view).size(), 1u);

  held.reset();
  constraint->deactivate();  // nothing else holds the platform constraint now: it goes
  EXPECT_EQ(constraint->layoutConstraint(), nullptr);
  constraint->activate();
  ASSERT_TRUE(constraint->layoutConstraint());
  EXPECT_TRUE(constraint->hasBeenInstalled());
  constraint->install();  // installed already: nothing
  EXPECT_EQ(root->constraints().size(), 1u);
}

TEST_F(LYInstall, OffsetOfAnInstalledConstraintMovesTheLiveConstraint) {
  auto made = ly_makeConstraints(view, [&](LYConstraintMaker& make) { make.edges().equalTo(root); });
  asGroup(made[0])->insets({1, 2, 3, 4});
  std::vector<double> constants;
  for (const auto& c : root->constraints()) constants.push_back(c->constant());
  EXPECT_THAT(constants, testing::ElementsAre(2, -4, 1, -3));
}

TEST_F(LYInstall, ConstraintNoViewCanHoldIsNotRecordedAsInstalledAndWarns) {
  ViewPtr loose = View::make();
  ViewPtr elsewhere = View::make();
  struct Case {
    const char* name;
    LYMakerBlock block;
  };
  const Case cases[] = {
      {"no superview", [](LYConstraintMaker& make) { make.left().equalTo(10); }},
      {"no common ancestor", [&](LYConstraintMaker& make) { make.left().equalTo(elsewhere); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::internal::CaptureStderr();
    auto made = ly_makeConstraints(loose, c.block);
    std::string warning = testing::internal::GetCapturedStderr();
    ASSERT_EQ(made.size(), 1u);
    EXPECT_FALSE(asView(made[0])->hasBeenInstalled());
    EXPECT_EQ(asView(made[0])->layoutConstraint(), nullptr);
    EXPECT_EQ(asView(made[0])->installedView(), nullptr);
    EXPECT_TRUE(LYViewConstraint::installedConstraintsForView(loose).empty());
    EXPECT_THAT(warning, testing::HasSubstr("is not installed"));
  }
  // A hierarchy GTK cannot solve (a grandchild against the root) is refused the same way.
  ViewPtr inner = window.addView(view);
  testing::internal::CaptureStderr();
  auto made = ly_makeConstraints(inner, [&](LYConstraintMaker& make) { make.left().equalTo(other); });
  EXPECT_THAT(testing::internal::GetCapturedStderr(), testing::HasSubstr("cannot hold"));
  EXPECT_FALSE(asView(made[0])->hasBeenInstalled());
  EXPECT_TRUE(LYViewConstraint::installedConstraintsForView(inner).empty());
  EXPECT_TRUE(root->constraints().empty());
}

TEST_F(LYInstall, MakeTurnsAutoresizingOffEvenWithNoConstraint) {
  EXPECT_TRUE(view->translatesAutoresizingMaskIntoConstraints());
  EXPECT_TRUE(ly_makeConstraints(view, [](LYConstraintMaker&) {}).empty());
  EXPECT_FALSE(view->translatesAutoresizingMaskIntoConstraints());
}

TEST_F(LYInstall, ArrayOperationsRunOnEveryViewInOrder) {
  std::vector<ViewPtr> seen;
  auto made = ly_makeConstraints(std::vector<ViewPtr>{view, other}, [&](LYConstraintMaker& make) {
    seen.push_back(make.view());
    make.height().equalTo(10);
  });
  EXPECT_THAT(seen, testing::ElementsAre(view, other));
  ASSERT_EQ(made.size(), 2u);
  EXPECT_EQ(asView(made[1])->installedView(), other);
  ly_updateConstraints(std::vector<ViewPtr>{view, other}, [](LYConstraintMaker& make) { make.height().equalTo(20); });
  EXPECT_EQ(view->constraints().size(), 1u);
  EXPECT_EQ(view->constraints()[0]->constant(), 20);
  ly_remakeConstraints(std::vector<ViewPtr>{view, other}, [](LYConstraintMaker& make) { make.width().equalTo(5); });
  EXPECT_EQ(other->constraints()[0]->firstAttribute(), LayoutAttributeWidth);
  EXPECT_EQ(other->constraints().size(), 1u);
}

TEST_F(LYInstall, DistributionsMakeTheDocumentedConstraints) {
  ViewPtr third = window.addView();
  ly_distributeViewsAlongAxisWithFixedItemLength({view, other, third}, LYAxisTypeHorizontal, 50, 10, 20);
  auto installed = LYViewConstraint::installedConstraintsForView(other);
  ASSERT_EQ(installed.size(), 2u);
  EXPECT_EQ(installed[1]->layoutMultiplier(), 0.5);
  EXPECT_EQ(installed[1]->layoutConstant(), 20);  // (50 + 10) × 0.5 - 1 × 20 / 2
  // Fewer than two views: nothing.
  ViewPtr alone = window.addView();
  ly_distributeViewsAlongAxisWithFixedSpacing({alone}, LYAxisTypeVertical, 1, 1, 1);
  ly_distributeViewsAlongAxisWithFixedSpacing({}, LYAxisTypeVertical, 1, 1, 1);
  EXPECT_TRUE(LYViewConstraint::installedConstraintsForView(alone).empty());
}

}  // namespace
