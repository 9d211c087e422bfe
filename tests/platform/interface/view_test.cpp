#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "platform/dispatch/run_loop.h"
#include "platform/interface/layout_constraint.h"
#include "platform/interface/view.h"
#include "support/interface/test_window.h"

namespace {

using platform::LayoutConstraint;
using platform::Rect;
using platform::View;
using platform::ViewPtr;
using zorvel::test::TestWindow;

const char kTag = 0;

// Tells when a widget is finalized.
struct Finalized {
  explicit Finalized(GtkWidget* widget) { g_object_weak_ref(G_OBJECT(widget), &Finalized::notify, this); }
  static void notify(gpointer data, GObject*) { static_cast<Finalized*>(data)->done = true; }
  bool done = false;
};

platform::LayoutConstraintPtr pin(const ViewPtr& view, std::int64_t attribute, const ViewPtr& other, double constant) {
  return LayoutConstraint::constraintWithItem(view, attribute, platform::LayoutRelationEqual, other, attribute, 1,
                                              constant);
}

platform::LayoutConstraintPtr fixed(const ViewPtr& view, std::int64_t attribute, double constant) {
  return LayoutConstraint::constraintWithItem(view, attribute, platform::LayoutRelationEqual, nullptr,
                                              platform::LayoutAttributeNotAnAttribute, 1, constant);
}

// Places the view at (x, y) with the size, held by its parent.
void place(const ViewPtr& view, Rect r) {
  ViewPtr parent = view->superview();
  ASSERT_TRUE(parent->addConstraint(pin(view, platform::LayoutAttributeLeft, parent, r.origin.x)));
  ASSERT_TRUE(parent->addConstraint(pin(view, platform::LayoutAttributeTop, parent, r.origin.y)));
  ASSERT_TRUE(parent->addConstraint(fixed(view, platform::LayoutAttributeWidth, r.size.width)));
  ASSERT_TRUE(parent->addConstraint(fixed(view, platform::LayoutAttributeHeight, r.size.height)));
}

TEST(View, IsOneObjectPerWidgetAndKeepsItsAssociatedObjectsWhileTheWidgetIsInUse) {
  TestWindow window;
  GtkWidget* widget = window.addView()->widget();
  ViewPtr view = View::forWidget(widget);
  EXPECT_EQ(View::forWidget(widget), view);
  view->setAssociatedObject(&kTag, platform::Value("tag"));
  std::weak_ptr<View> weak = view;
  view.reset();
  // Its parent holds the widget, so the widget keeps its view.
  ASSERT_FALSE(weak.expired());
  EXPECT_EQ(View::forWidget(widget)->associatedObject(&kTag).asString(), "tag");
  EXPECT_EQ(View::forWidget(nullptr), nullptr);
}

TEST(View, HoldsAWidgetNobodyOwnsAndBothGoWithTheLastReference) {
  ASSERT_TRUE(zorvel::test::initGtk());
  GtkWidget* label = gtk_label_new("floating");
  Finalized finalized(label);
  ViewPtr view = View::forWidget(label);
  EXPECT_EQ(view->widgetTypeName(), "GtkLabel");
  EXPECT_FALSE(g_object_is_floating(label));
  std::weak_ptr<View> weak = view;
  view.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_TRUE(finalized.done);
}

TEST(View, TakenFromItsParentWithNoHolderLeft_ViewAndWidgetGo) {
  TestWindow window;
  ViewPtr child = window.addView();
  Finalized finalized(child->widget());
  std::weak_ptr<View> weak = child;
  child->removeFromSuperview();
  EXPECT_FALSE(weak.expired());  // still held here
  child.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_TRUE(finalized.done);
}

TEST(View, LastReferenceDroppedOnAnotherThreadReleasesTheWidgetOnTheMainThread) {
  ASSERT_TRUE(zorvel::test::initGtk());
  ViewPtr view = View::make();
  Finalized finalized(view->widget());
  std::thread([v = std::move(view)]() mutable { v.reset(); }).join();
  EXPECT_FALSE(finalized.done);
  EXPECT_TRUE(platform::runMainLoopUntil([&] { return finalized.done; }, 5));
}

TEST(View, SubviewsAndSuperview) {
  TestWindow window;
  ViewPtr a = window.addView();
  ViewPtr b = window.addView();
  ViewPtr inner = window.addView(a);
  EXPECT_THAT(window.root()->subviews(), testing::ElementsAre(a, b));
  EXPECT_EQ(inner->superview(), a);
  b->addSubview(inner);  // moves
  EXPECT_EQ(inner->superview(), b);
  EXPECT_TRUE(a->subviews().empty());
  EXPECT_TRUE(window.root()->laysOutByConstraints());
}

TEST(LayoutConstraintStrength, RequiredStaysRequiredAndTheRestKeepTheirOrderBelowIt) {
  EXPECT_EQ(platform::strengthForPriority(1000), GTK_CONSTRAINT_STRENGTH_REQUIRED);
  EXPECT_EQ(platform::strengthForPriority(2000), GTK_CONSTRAINT_STRENGTH_REQUIRED);
  EXPECT_EQ(platform::strengthForPriority(0), GTK_CONSTRAINT_STRENGTH_WEAK);
  EXPECT_EQ(platform::strengthForPriority(-5), GTK_CONSTRAINT_STRENGTH_WEAK);
  EXPECT_EQ(platform::strengthForPriority(std::numeric_limits<float>::quiet_NaN()), GTK_CONSTRAINT_STRENGTH_WEAK);
  int previous = platform::strengthForPriority(0.5f);
  for (int p = 1; p < 1000; ++p) {
    const int strength = platform::strengthForPriority(static_cast<float>(p));
    ASSERT_GT(strength, previous) << "priority " << p;
    ASSERT_LT(strength, GTK_CONSTRAINT_STRENGTH_REQUIRED) << "priority " << p;
    previous = strength;
  }
  EXPECT_LT(platform::strengthForPriority(999.99f), GTK_CONSTRAINT_STRENGTH_REQUIRED);
  EXPECT_LT(platform::strengthForPriority(750.25f), platform::strengthForPriority(750.5f));
  // GTK's own medium lies between the low and the medium level.
  EXPECT_LT(platform::strengthForPriority(250), GTK_CONSTRAINT_STRENGTH_MEDIUM);
  EXPECT_GT(platform::strengthForPriority(501), GTK_CONSTRAINT_STRENGTH_MEDIUM);
}

TEST(LayoutConstraint, SolvedByTheParentsConstraintLayout) {
  TestWindow window;
  ViewPtr a = window.addView();
  ViewPtr b = window.addView();
  place(a, {{10, 20}, {100, 50}});
  ViewPtr root = window.root();
  ASSERT_TRUE(root->addConstraint(pin(b, platform::LayoutAttributeTop, a, 0)));
  auto bLeft = LayoutConstraint::constraintWithItem(b, platform::LayoutAttributeLeft, platform::LayoutRelationEqual, a,
                                                    platform::LayoutAttributeRight, 1, 5);
  ASSERT_TRUE(root->addConstraint(bLeft));
  ASSERT_TRUE(root->addConstraint(LayoutConstraint::constraintWithItem(
      b, platform::LayoutAttributeRight, platform::LayoutRelationEqual, root, platform::LayoutAttributeRight, 0.5, 0)));
  ASSERT_TRUE(root->addConstraint(pin(b, platform::LayoutAttributeHeight, a, 0)));
  EXPECT_EQ(root->constraints().size(), 8u);
  EXPECT_TRUE(bLeft->isActive() && bLeft->isSolved());
  ASSERT_TRUE(window.layout());
  EXPECT_EQ(window.frame(a), (Rect{{10, 20}, {100, 50}}));
  EXPECT_EQ(window.frame(b), (Rect{{115, 20}, {85, 50}}));

  bLeft->setConstant(25);  // GTK's constraints are immutable: replaced
  ASSERT_TRUE(window.layout());
  EXPECT_EQ(window.frame(b), (Rect{{135, 20}, {65, 50}}));

  bLeft->setActive(false);
  EXPECT_FALSE(bLeft->isActive());
  EXPECT_EQ(root->constraints().size(), 7u);
  ASSERT_TRUE(bLeft->setActive(true));
  EXPECT_EQ(bLeft->holder(), root);
}

TEST(LayoutConstraint, RefusedWhereGtkCannotSolveIt) {
  TestWindow window;
  ViewPtr a = window.addView();
  ViewPtr inner = window.addView(a);
  platform::ErrorPtr error;
  // A grandchild: GTK relates only a widget and its direct children.
  EXPECT_FALSE(window.root()->addConstraint(pin(inner, platform::LayoutAttributeLeft, window.root(), 0), &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), platform::kInterfaceErrorNotSolvableHere);
  EXPECT_TRUE(window.root()->constraints().empty());
  // A widget that lays out its children otherwise.
  ViewPtr box = View::forWidget(gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0));
  window.root()->addSubview(box);
  ViewPtr label = View::forWidget(gtk_label_new("x"));
  box->addSubview(label);
  EXPECT_FALSE(box->addConstraint(pin(label, platform::LayoutAttributeLeft, box, 0)));
  // A view that is gone.
  auto orphan = pin(View::make(), platform::LayoutAttributeLeft, a, 0);
  error.reset();
  EXPECT_FALSE(a->addConstraint(orphan, &error));
  EXPECT_EQ(error->code(), platform::kInterfaceErrorMissingItem);
  EXPECT_THROW(LayoutConstraint::constraintWithItem(a, 12, 0, nullptr, 0, 1, 0), platform::Exception);
}

TEST(LayoutConstraint, SizeOfAViewAloneIsSolvedBesideItsPositionOrBecomesTheWindowContentsSize) {
  TestWindow window;
  // A label: no constraint layout of its own, so its width waits for a parent that has one.
  ViewPtr label = View::forWidget(gtk_label_new("label"));
  auto width = fixed(label, platform::LayoutAttributeWidth, 120);
  ASSERT_TRUE(label->addConstraint(width));
  EXPECT_TRUE(width->isActive());
  EXPECT_FALSE(width->isSolved());
  window.root()->addSubview(label);
  EXPECT_TRUE(width->isSolved());
  ASSERT_TRUE(window.layout());
  EXPECT_EQ(window.frame(label).size.width, 120);

  // The window's content: solved in its own layout, it sets the size it asks of the window.
  ASSERT_TRUE(window.root()->addConstraint(fixed(window.root(), platform::LayoutAttributeWidth, 500)));
  ASSERT_TRUE(window.layout());
  EXPECT_EQ(gtk_widget_get_width(window.root()->widget()), 500);
}

TEST(LayoutConstraint, ViewTakenFromItsParentLosesTheConstraintsThatNameIt) {
  TestWindow window;
  ViewPtr a = window.addView();
  ViewPtr b = window.addView();
  place(a, {{0, 0}, {10, 10}});
  auto between = pin(b, platform::LayoutAttributeLeft, a, 0);
  ASSERT_TRUE(window.root()->addConstraint(between));
  auto own = fixed(b, platform::LayoutAttributeWidth, 30);
  ASSERT_TRUE(b->addConstraint(own));
  EXPECT_TRUE(own->isSolved());
  b->removeFromSuperview();
  EXPECT_FALSE(between->isActive());
  EXPECT_TRUE(own->isActive());  // about b alone: b keeps it
  EXPECT_TRUE(own->isSolved());  // now in b's own layout
  window.root()->addSubview(b);
  ASSERT_TRUE(window.layout());
  EXPECT_EQ(window.frame(b).size.width, 30);
}

TEST(LayoutConstraint, HigherPriorityOutweighsSeveralLowerOnesAndRequiredWins) {
  TestWindow window;
  ViewPtr a = window.addView();
  ViewPtr b = window.addView();
  place(a, {{0, 0}, {10, 10}});
  auto addAt = [&](const ViewPtr& v, double width, float priority) {
    auto c = fixed(v, platform::LayoutAttributeWidth, width);
    c->setPriority(priority);
    ASSERT_TRUE(window.root()->addConstraint(c));
  };
  addAt(b, 100, 750);
  for (int i = 0; i < 3; ++i) addAt(b, 200, 250);
  ASSERT_TRUE(window.root()->addConstraint(fixed(b, platform::LayoutAttributeHeight, 10)));
  auto wide = fixed(a, platform::LayoutAttributeHeight, 90);
  wide->setPriority(999);
  ASSERT_TRUE(window.root()->addConstraint(wide));
  ASSERT_TRUE(window.layout());
  EXPECT_EQ(window.frame(b).size.width, 100);
  EXPECT_EQ(window.frame(a).size.height, 10);
}

TEST(LayoutConstraint, InequalitiesBelowRequiredHoldWhereTheyCanAndComeOutCleanly) {
  TestWindow window;
  ViewPtr a = window.addView();
  ViewPtr b = window.addView();
  place(a, {{0, 0}, {10, 40}});
  ASSERT_TRUE(window.root()->addConstraint(pin(b, platform::LayoutAttributeLeft, a, 0)));
  ASSERT_TRUE(window.root()->addConstraint(fixed(b, platform::LayoutAttributeWidth, 10)));
  ASSERT_TRUE(window.root()->addConstraint(fixed(b, platform::LayoutAttributeHeight, 10)));
  auto below =
      LayoutConstraint::constraintWithItem(b, platform::LayoutAttributeTop, platform::LayoutRelationGreaterThanOrEqual,
                                           a, platform::LayoutAttributeBottom, 1, 5);
  below->setPriority(999);
  ASSERT_TRUE(window.root()->addConstraint(below));
  auto pull = fixed(b, platform::LayoutAttributeTop, 0);  // up, as far as the rest lets it
  pull->setPriority(1);
  ASSERT_TRUE(window.root()->addConstraint(pull));
  auto cap = LayoutConstraint::constraintWithItem(
      b, platform::LayoutAttributeTop, platform::LayoutRelationLessThanOrEqual, nullptr, 0, 1, 100);  // required
  ASSERT_TRUE(window.root()->addConstraint(cap));
  for (double constant : {5.0, 20.0, 80.0}) {  // each change replaces the GTK constraints
    below->setConstant(constant);
    ASSERT_TRUE(window.layout());
    EXPECT_EQ(window.frame(b).origin.y, std::min(40 + constant, 100.0));
  }
  below->setActive(false);
  cap->setActive(false);
  below->setActive(true);
  ASSERT_TRUE(window.layout());
  EXPECT_EQ(window.frame(b).origin.y, 120);
  window.root()->removeConstraint(below);
  ASSERT_TRUE(window.layout());
}

TEST(LayoutConstraint, AnimatedConstantMovesFrameByFrame) {
  TestWindow window;
  ViewPtr a = window.addView();
  place(a, {{0, 0}, {10, 10}});
  ASSERT_TRUE(window.layout());
  auto left = window.root()->constraints().front();
  left->animateConstant(200, 1.0);
  EXPECT_EQ(left->constant(), 200);
  ASSERT_TRUE(platform::runMainLoopUntil(
      [&] {
        window.layout();
        return window.frame(a).origin.x > 0;
      },
      5));
  EXPECT_LT(window.frame(a).origin.x, 200);
  ASSERT_TRUE(platform::runMainLoopUntil(
      [&] {
        window.layout();
        return window.frame(a).origin.x == 200;
      },
      5));
  left->setConstant(5);
  ASSERT_TRUE(window.layout());
  EXPECT_EQ(window.frame(a).origin.x, 5);
}

}  // namespace
