#pragma once

// Layout constraints on views, solved by GTK 4's constraint layout: firstItem.firstAttribute
// relation secondItem.secondAttribute × multiplier + constant, at a priority. Attribute and
// relation numbers are the platform's and GTK's alike (below). GTK's constraints are immutable,
// so a LayoutConstraint is our object that stands for the GtkConstraint it puts into a
// GtkConstraintLayout while held by a view (View::addConstraint): changing its constant or
// priority replaces that GtkConstraint.
//
// Priorities are on the platform's scale, 1000 being required. GTK weighs the errors of
// non-required constraints by their strength and adds them up, so strengths are spread
// exponentially over GTK's range (strengthForPriority): a higher priority outweighs many lower
// ones, as "higher priorities are satisfied first" asks, and whole-number priorities stay
// distinct and in order.
//
// Threads: main thread only, like the views.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/interface/view.h"
#include "platform/runtime/object.h"

typedef struct _GtkConstraint GtkConstraint;
typedef struct _GtkConstraintLayout GtkConstraintLayout;
typedef struct _GtkConstraintGuide GtkConstraintGuide;

namespace platform {

enum LayoutAttribute : std::int64_t {
  LayoutAttributeNotAnAttribute = 0,
  LayoutAttributeLeft = 1,
  LayoutAttributeRight = 2,
  LayoutAttributeTop = 3,
  LayoutAttributeBottom = 4,
  LayoutAttributeLeading = 5,
  LayoutAttributeTrailing = 6,
  LayoutAttributeWidth = 7,
  LayoutAttributeHeight = 8,
  LayoutAttributeCenterX = 9,
  LayoutAttributeCenterY = 10,
  LayoutAttributeBaseline = 11,
};

enum LayoutRelation : std::int64_t {
  LayoutRelationLessThanOrEqual = -1,
  LayoutRelationEqual = 0,
  LayoutRelationGreaterThanOrEqual = 1,
};

inline constexpr float kLayoutPriorityRequired = 1000;
inline constexpr float kLayoutPriorityHigh = 750;
inline constexpr float kLayoutPriorityLow = 250;

// The GTK strength of a priority: required (GTK_CONSTRAINT_STRENGTH_REQUIRED) from 1000 up;
// below it floor(10^(9p/1000)) + floor(p), which runs from 1 to just under GTK's "strong" and
// puts GTK's "medium" near priority 333. Priorities at or below 0 (and NaN) get the weakest
// strength, 1.
int strengthForPriority(float priority);

// Seconds a constant change through animateConstant takes by default.
inline constexpr double kDefaultConstantAnimationDuration = 0.25;

class LayoutConstraint : public Object {
  ZORVEL_CLASS(LayoutConstraint, platform::Object)
 public:
  // A constraint with priority 1000, held by no view. A constant-only constraint has no second
  // item and attribute 0. Attributes or a relation outside the numbers above raise
  // NSInvalidArgumentException (here and in subclasses' constructors).
  static LayoutConstraintPtr constraintWithItem(const ViewPtr& firstItem, std::int64_t firstAttribute,
                                                std::int64_t relation, const ViewPtr& secondItem,
                                                std::int64_t secondAttribute, double multiplier, double constant);
  ~LayoutConstraint() override;

  ViewPtr firstItem() const { return first_.lock(); }
  ViewPtr secondItem() const { return second_.lock(); }
  std::int64_t firstAttribute() const { return firstAttribute_; }
  std::int64_t secondAttribute() const { return secondAttribute_; }
  std::int64_t relation() const { return relation_; }
  double multiplier() const { return multiplier_; }

  double constant() const { return constant_; }
  // Takes effect at once; stops an animation of the constant.
  void setConstant(double constant);
  // Moves the constant to the value over the seconds (ease in and out) frame by frame of the
  // widget whose layout solves it; constant() reports the new value at once. At once when the
  // constraint is not being solved or the widget is not on screen.
  void animateConstant(double constant, double duration = kDefaultConstantAnimationDuration);

  float priority() const { return priority_; }
  void setPriority(float priority);

  // Active while a view holds it. Deactivating takes it from its view; activating gives it back
  // to the view that held it last (false when that view is gone or refuses it).
  bool isActive() const { return !holder_.expired(); }
  bool setActive(bool active);
  // The view holding it, or nullptr.
  ViewPtr holder() const { return holder_.lock(); }
  // True while GTK solves it (it is active and the hierarchy lets GTK solve it).
  bool isSolved() const { return gtk_ != nullptr; }

  // Plain: "<LayoutConstraint: 0x...> GtkLabel:0x....left == ZorvelView:0x....left + 10 @1000".
  // A description installed by name on this class (a higher layer's own form) takes over.
  std::string description() const override;

 protected:
  LayoutConstraint(const ViewPtr& firstItem, std::int64_t firstAttribute, std::int64_t relation,
                   const ViewPtr& secondItem, std::int64_t secondAttribute, double multiplier, double constant);

 private:
  friend class View;
  friend struct ViewGlue;
  struct Animation;

  // Whether the constraint names the given view and no other.
  bool isOnlyAbout(const View& view) const;
  // Puts the GtkConstraint into the layout that can solve it for its holder (if any), replacing
  // the one there before; takes it out when none can.
  void resolve();
  void unsolve();
  void solveIn(GtkWidget* widget);
  void dropGtk();
  static void removeFromLayout(GtkConstraintLayout* layout, GtkConstraint* constraint);
  void stopAnimation();
  void showConstant(double constant);

  std::weak_ptr<View> first_;
  std::weak_ptr<View> second_;
  const bool hasSecondItem_;
  const std::int64_t firstAttribute_;
  const std::int64_t secondAttribute_;
  const std::int64_t relation_;
  const double multiplier_;
  double constant_;
  double shownConstant_;  // what GTK solves with: the constant, or a step of its animation
  float priority_ = kLayoutPriorityRequired;
  std::weak_ptr<View> holder_;
  std::weak_ptr<View> lastHolder_;
  GtkConstraint* gtk_ = nullptr;     // referenced while solved
  GtkConstraint* helper_ = nullptr;  // with guide_, for an inequality that is not required
  GtkConstraintGuide* guide_ = nullptr;
  GtkConstraintLayout* layout_ = nullptr;  // referenced while solved
  GtkWidget* solvingWidget_ = nullptr;     // the widget of layout_
  std::unique_ptr<Animation> animation_;
};

}  // namespace platform
