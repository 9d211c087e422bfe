#pragma once

// LYCompositeConstraint: a group of constraints (view constraints or groups) that applies every
// chain operation to each member, in order, so one expression can place four edges, two sizes
// or both centre coordinates. The group is the container (delegate) of its members.
//
// Threads: main thread only.

#include <memory>
#include <vector>

#include "layout/LYConstraint.h"

class LYCompositeConstraint;
using LYCompositeConstraintPtr = std::shared_ptr<LYCompositeConstraint>;

class LYCompositeConstraint : public LYConstraint, public LYConstraintDelegate {
  ZORVEL_CLASS(LYCompositeConstraint, LYConstraint)
 public:
  // Becomes the delegate of each child.
  static LYCompositeConstraintPtr initWithChildren(std::vector<LYConstraintPtr> children);

  const std::vector<LYConstraintPtr>& childConstraints() const { return children_; }
  const platform::Value& ly_key() const { return key_; }

  LYConstraint& equalToWithRelation(const platform::Value& other, std::int64_t relation) override;
  LYConstraint& multipliedBy(double multiplier) override;
  LYConstraint& dividedBy(double divider) override;
  LYConstraint& priority(float priority) override;
  // The group's own key; child i gets "<key>[i]".
  LYConstraint& key(const platform::Value& key) override;
  void setOffset(double offset) override;
  void setInsets(platform::EdgeInsets insets) override;
  void setSizeOffset(platform::Size size) override;
  void setCenterOffset(platform::Point point) override;
  LYConstraint& animator() override;
  // Adds the attribute's constraint to the group and goes on with the group.
  LYConstraint& addConstraintWithLayoutAttribute(std::int64_t layoutAttribute) override;
  void install() override;
  void uninstall() override;
  void activate() override;
  void deactivate() override;

  void constraintShouldBeReplacedWithConstraint(LYConstraint& constraint, const LYConstraintPtr& replacement) override;
  LYConstraintPtr constraintAddConstraintWithLayoutAttribute(LYConstraint* constraint,
                                                             std::int64_t layoutAttribute) override;

 private:
  explicit LYCompositeConstraint(std::vector<LYConstraintPtr> children) : children_(std::move(children)) {}
  template <class F>
  void forEachChild(F&& f);

  std::vector<LYConstraintPtr> children_;
  platform::Value key_;
};
