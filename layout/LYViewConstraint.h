#pragma once

// LYViewConstraint: one relation of the language, firstView.attribute relation
// secondView.attribute × multiplier + constant at a priority, and LYLayoutConstraint, the
// platform constraint it installs.
//
// Installing (install/activate) makes an LYLayoutConstraint and gives it to the view that must
// hold it: the closest common superview of the two views; for a width or height with no second
// view, the view itself; otherwise the view's superview, against whose same attribute the
// constraint then stands (left equal to 10 means 10 from the superview's left). With
// updateExisting set, the newest constraint of the language held there that differs only in its
// constant takes the new constant instead. Each view keeps the set of view constraints installed
// with it as first view (ly_installedConstraints), which a remake uninstalls.
//
// A constraint that no view can hold (no superview, no common ancestor, or a hierarchy GTK cannot
// solve: see platform::View::addConstraint) is not installed: it holds no platform constraint, is
// entered in no installed set, and a warning goes to the console.
//
// Uninstalling deactivates the platform constraint; while it still exists (something else holds
// it), installing again activates that same constraint.
//
// Threads: main thread only.

#include <memory>
#include <vector>

#include "layout/LYConstraint.h"
#include "layout/LYViewAttribute.h"
#include "platform/interface/layout_constraint.h"

class LYViewConstraint;
using LYViewConstraintPtr = std::shared_ptr<LYViewConstraint>;
class LYLayoutConstraint;
using LYLayoutConstraintPtr = std::shared_ptr<LYLayoutConstraint>;

// A platform constraint made by the language, with the debug key its descriptions show.
class LYLayoutConstraint : public platform::LayoutConstraint {
  ZORVEL_CLASS(LYLayoutConstraint, platform::LayoutConstraint)
 public:
  static LYLayoutConstraintPtr constraintWithItem(const platform::ViewPtr& firstItem, std::int64_t firstAttribute,
                                                  std::int64_t relation, const platform::ViewPtr& secondItem,
                                                  std::int64_t secondAttribute, double multiplier, double constant);
  // The form of LYConstraintDescription.h.
  std::string description() const override;

  const platform::Value& ly_key() const { return key_; }
  void setLy_key(const platform::Value& key) { key_ = key; }

 private:
  using LayoutConstraint::LayoutConstraint;
  platform::Value key_;
};

class LYViewConstraint : public LYConstraint {
  ZORVEL_CLASS(LYViewConstraint, LYConstraint)
 public:
  // Priority 1000, multiplier 1, constant 0, relation equal.
  static LYViewConstraintPtr initWithFirstViewAttribute(const LYViewAttributePtr& firstViewAttribute);
  // The members of the view's installed set, in the order they were installed.
  static std::vector<LYViewConstraintPtr> installedConstraintsForView(const platform::ViewPtr& view);

  // The same first attribute, constant, relation, priority, multiplier and delegate; nothing else.
  platform::ObjectPtr copy() const override;

  const LYViewAttributePtr& firstViewAttribute() const { return first_; }
  const LYViewAttributePtr& secondViewAttribute() const { return second_; }
  // A number or boxed value sets the constant (the second attribute stays nil); a view becomes
  // its attribute of the first attribute's number; a view attribute is kept; anything else is
  // ignored.
  void setSecondViewAttribute(const platform::Value& other);

  platform::ViewPtr installedView() const { return installedView_.lock(); }
  // Held weakly: the view holding it owns it.
  LYLayoutConstraintPtr layoutConstraint() const { return layoutConstraint_.lock(); }

  std::int64_t layoutRelation() const { return relation_; }
  void setLayoutRelation(std::int64_t relation);
  bool hasLayoutRelation() const { return hasLayoutRelation_; }
  float layoutPriority() const { return priority_; }
  double layoutMultiplier() const { return multiplier_; }
  double layoutConstant() const { return constant_; }
  // Also moves an installed constraint at once (animated after animator()).
  void setLayoutConstant(double constant);
  const platform::Value& ly_key() const { return key_; }
  bool useAnimator() const { return useAnimator_; }

  // A platform constraint exists (it always answers isActive here).
  bool supportsActiveProperty() const { return !layoutConstraint_.expired(); }
  bool isActive() const;
  bool hasBeenInstalled() const { return supportsActiveProperty() && isActive(); }
  // The newest constraint of the language held by the installed view that matches the candidate
  // in items (identity), attributes, relation, multiplier and priority; nullptr when none.
  LYLayoutConstraintPtr layoutConstraintSimilarTo(const LYLayoutConstraint& candidate) const;

  LYConstraint& equalToWithRelation(const platform::Value& other, std::int64_t relation) override;
  LYConstraint& multipliedBy(double multiplier) override;
  LYConstraint& dividedBy(double divider) override;
  LYConstraint& priority(float priority) override;
  LYConstraint& key(const platform::Value& key) override;
  void setOffset(double offset) override;
  void setInsets(platform::EdgeInsets insets) override;
  void setSizeOffset(platform::Size size) override;
  void setCenterOffset(platform::Point point) override;
  LYConstraint& animator() override;
  LYConstraint& addConstraintWithLayoutAttribute(std::int64_t layoutAttribute) override;
  void install() override;
  void uninstall() override;
  void activate() override { install(); }
  void deactivate() override { uninstall(); }

 private:
  explicit LYViewConstraint(LYViewAttributePtr firstViewAttribute) : first_(std::move(firstViewAttribute)) {}
  LYViewConstraintPtr self();

  const LYViewAttributePtr first_;
  LYViewAttributePtr second_;
  std::weak_ptr<platform::View> installedView_;
  std::weak_ptr<LYLayoutConstraint> layoutConstraint_;
  std::int64_t relation_ = platform::LayoutRelationEqual;
  float priority_ = platform::kLayoutPriorityRequired;
  double multiplier_ = 1.0;
  double constant_ = 0;
  bool hasLayoutRelation_ = false;
  platform::Value key_;
  bool useAnimator_ = false;
  // The group that took this constraint's place (an array as the other side): the chain goes on
  // with it, so it lives at least as long as this constraint.
  LYConstraintPtr replacement_;
};
