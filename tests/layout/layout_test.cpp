// Real widgets laid out by GTK's solver: after layout, frames are what the constraints demand.

#include "layout_test_support.h"
#include "platform/dispatch/run_loop.h"

namespace {

using platform::Rect;
using platform::Value;
using platform::ViewPtr;
using LYLayout = zorvel::test::LayoutTest;  // root is 400 × 300

TEST_F(LYLayout, EdgesWithInsets) {
  ly_makeConstraints(view, [&](LYConstraintMaker& make) { make.edges().equalTo(root).insets({8, 8, 8, 8}); });
  ASSERT_TRUE(window.layout());
  EXPECT_EQ(window.frame(view), (Rect{{8, 8}, {384, 284}}));
}

TEST_F(LYLayout, CentresAndSizes) {
  ly_makeConstraints(view, [&](LYConstraintMaker& make) {
    make.center().equalTo(root);
    make.size().ly_equalTo(platform::Size{100, 50});
  });
  ly_makeConstraints(other, [&](LYConstraintMaker& make) {
    make.center().equalTo(view).centerOffset({10, -5});
    make.width().and_().height().with().equalTo(20);
  });
  ASSERT_TRUE(window.layout());
  EXPECT_EQ(window.frame(view), (Rect{{150, 125}, {100, 50}}));
  EXPECT_EQ(window.frame(other), (Rect{{200, 135}, {20, 20}}));
}

TEST_F(LYLayout, MultipliersAndDividers) {
  ly_makeConstraints(view, [&](LYConstraintMaker& make) {
    make.left().top().equalTo(root);
    make.width().equalTo(root).multipliedBy(0.5);
    make.height().equalTo(ly_width(view)).dividedBy(4);
  });
  ASSERT_TRUE(window.layout());
  EXPECT_EQ(window.frame(view), (Rect{{0, 0}, {200, 50}}));
}

TEST_F(LYLayout, LeadingAndTrailingFollowLeftToRightText) {
  ly_makeConstraints(view, [&](LYConstraintMaker& make) {
    make.leading().equalTo(root).offset(5);
    make.trailing().equalTo(ly_centerX(root));
    make.top().bottom().equalTo(root);
  });
  ASSERT_TRUE(window.layout());
  EXPECT_EQ(window.frame(view), (Rect{{5, 0}, {195, 300}}));
}

TEST_F(LYLayout, PrioritiesBelowRequiredGiveWay) {
  ly_makeConstraints(view, [&](LYConstraintMaker& make) {
    make.left().equalTo(root).offset(10);
    make.left().equalTo(root).offset(50).priorityHigh();  // loses to the required one
    make.width().equalTo(80).priorityLow();               // nothing against it: holds
    make.width().greaterThanOrEqualTo(60);
    make.top().equalTo(root);
    make.height().lessThanOrEqualTo(30);
    make.height().equalTo(100).priority(999);  // as far as the required bound lets it
  });
  ASSERT_TRUE(window.layout());
  EXPECT_EQ(window.frame(view), (Rect{{10, 0}, {80, 30}}));
}

TEST_F(LYLayout, UpdateMovesAndRemakeReplaces) {
  ly_makeConstraints(view, [&](LYConstraintMaker& make) {
    make.left().top().equalTo(root).offset(10);
    make.size().ly_equalTo(platform::Size{50, 40});
  });
  ASSERT_TRUE(window.layout());
  EXPECT_EQ(window.frame(view), (Rect{{10, 10}, {50, 40}}));

  ly_updateConstraints(view, [&](LYConstraintMaker& make) { make.left().equalTo(root).offset(30); });
  ASSERT_TRUE(window.layout());
  EXPECT_EQ(window.frame(view), (Rect{{30, 10}, {50, 40}}));

  ly_remakeConstraints(view, [&](LYConstraintMaker& make) {
    make.right().bottom().equalTo(root).offset(-5);
    make.width().height().equalTo(20);
  });
  ASSERT_TRUE(window.layout());
  EXPECT_EQ(window.frame(view), (Rect{{375, 275}, {20, 20}}));
}

TEST_F(LYLayout, DistributedWithFixedSpacing) {
  ViewPtr third = window.addView();
  std::vector<ViewPtr> views{view, other, third};
  ly_distributeViewsAlongAxisWithFixedSpacing(views, LYAxisTypeHorizontal, 10, 10, 10);
  ly_makeConstraints(views, [&](LYConstraintMaker& make) {
    make.top().equalTo(root);
    make.height().equalTo(10);
  });
  ASSERT_TRUE(window.layout());
  EXPECT_EQ(window.frame(view), (Rect{{10, 0}, {120, 10}}));
  EXPECT_EQ(window.frame(other), (Rect{{140, 0}, {120, 10}}));
  EXPECT_EQ(window.frame(third), (Rect{{270, 0}, {120, 10}}));
}

TEST_F(LYLayout, DistributedWithFixedItemLength) {
  ViewPtr third = window.addView();
  std::vector<ViewPtr> views{view, other, third};
  ly_distributeViewsAlongAxisWithFixedItemLength(views, LYAxisTypeVertical, 50, 10, 20);
  ly_makeConstraints(views, [&](LYConstraintMaker& make) {
    make.left().equalTo(root);
    make.width().equalTo(10);
  });
  ASSERT_TRUE(window.layout());
  // Bottoms at 60, then halfway to 280, then 280.
  EXPECT_EQ(window.frame(view), (Rect{{0, 10}, {10, 50}}));
  EXPECT_EQ(window.frame(other), (Rect{{0, 120}, {10, 50}}));
  EXPECT_EQ(window.frame(third), (Rect{{0, 230}, {10, 50}}));
}

TEST_F(LYLayout, AnimatorMovesTheConstantOverFrames) {
  auto made = ly_makeConstraints(view, [&](LYConstraintMaker& make) {
    make.left().equalTo(root);
    make.top().equalTo(root);
    make.size().ly_equalTo(platform::Size{10, 10});
  });
  ASSERT_TRUE(window.layout());
  made[0]->animator().offset(100);
  const int before = window.paintedFrames();
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return window.frame(view).origin.x == 100; }, 5));
  EXPECT_GT(window.paintedFrames(), before + 1);  // several frames, not one jump
}

}  // namespace
