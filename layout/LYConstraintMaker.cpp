#include "layout/LYConstraintMaker.h"

#include <algorithm>

#include "layout/LYCompositeConstraint.h"
#include "layout/LYViewAttribute.h"
#include "layout/LYViewConstraint.h"

LYConstraintMakerPtr LYConstraintMaker::initWithView(const platform::ViewPtr& view) {
  return platform::make<LYConstraintMaker>(view);
}

std::shared_ptr<LYConstraintMaker> LYConstraintMaker::self() {
  return std::static_pointer_cast<LYConstraintMaker>(shared_from_this());
}

LYConstraint& LYConstraintMaker::left() { return addConstraintWithLayoutAttribute(platform::LayoutAttributeLeft); }
LYConstraint& LYConstraintMaker::top() { return addConstraintWithLayoutAttribute(platform::LayoutAttributeTop); }
LYConstraint& LYConstraintMaker::right() { return addConstraintWithLayoutAttribute(platform::LayoutAttributeRight); }
LYConstraint& LYConstraintMaker::bottom() { return addConstraintWithLayoutAttribute(platform::LayoutAttributeBottom); }
LYConstraint& LYConstraintMaker::leading() {
  return addConstraintWithLayoutAttribute(platform::LayoutAttributeLeading);
}
LYConstraint& LYConstraintMaker::trailing() {
  return addConstraintWithLayoutAttribute(platform::LayoutAttributeTrailing);
}
LYConstraint& LYConstraintMaker::width() { return addConstraintWithLayoutAttribute(platform::LayoutAttributeWidth); }
LYConstraint& LYConstraintMaker::height() { return addConstraintWithLayoutAttribute(platform::LayoutAttributeHeight); }
LYConstraint& LYConstraintMaker::centerX() {
  return addConstraintWithLayoutAttribute(platform::LayoutAttributeCenterX);
}
LYConstraint& LYConstraintMaker::centerY() {
  return addConstraintWithLayoutAttribute(platform::LayoutAttributeCenterY);
}
LYConstraint& LYConstraintMaker::baseline() {
  return addConstraintWithLayoutAttribute(platform::LayoutAttributeBaseline);
}

LYConstraint& LYConstraintMaker::addConstraintWithLayoutAttribute(std::int64_t layoutAttribute) {
  return *constraintAddConstraintWithLayoutAttribute(nullptr, layoutAttribute);
}

LYConstraint& LYConstraintMaker::addConstraintWithAttributes(LYAttributeMask mask) {
  static constexpr std::int64_t kOrder[] = {
      platform::LayoutAttributeLeft,    platform::LayoutAttributeRight,   platform::LayoutAttributeTop,
      platform::LayoutAttributeBottom,  platform::LayoutAttributeLeading, platform::LayoutAttributeTrailing,
      platform::LayoutAttributeWidth,   platform::LayoutAttributeHeight,  platform::LayoutAttributeCenterX,
      platform::LayoutAttributeCenterY, platform::LayoutAttributeBaseline};
  std::vector<LYConstraintPtr> children;
  for (std::int64_t attribute : kOrder) {
    if (mask & (LYAttributeMask{1} << attribute))
      children.push_back(
          LYViewConstraint::initWithFirstViewAttribute(LYViewAttribute::initWithView(view(), attribute)));
  }
  auto group = LYCompositeConstraint::initWithChildren(std::move(children));
  group->setDelegate(self());
  constraints_.push_back(group);
  return *group;
}

LYConstraintPtr LYConstraintMaker::group(const std::function<void()>& block) {
  const std::size_t start = constraints_.size();
  block();
  std::vector<LYConstraintPtr> made(
      constraints_.begin() + static_cast<std::ptrdiff_t>(std::min(start, constraints_.size())), constraints_.end());
  auto group = LYCompositeConstraint::initWithChildren(std::move(made));
  group->setDelegate(self());
  return group;
}

std::vector<LYConstraintPtr> LYConstraintMaker::install() {
  auto keep = self();
  if (removeExisting_) {
    for (const LYViewConstraintPtr& installed : LYViewConstraint::installedConstraintsForView(view()))
      installed->uninstall();
  }
  std::vector<LYConstraintPtr> constraints = constraints_;
  for (const LYConstraintPtr& constraint : constraints) {
    constraint->setUpdateExisting(updateExisting_);
    constraint->install();
  }
  constraints_.clear();
  return constraints;
}

void LYConstraintMaker::constraintShouldBeReplacedWithConstraint(LYConstraint& constraint,
                                                                 const LYConstraintPtr& replacement) {
  auto found = std::find_if(constraints_.begin(), constraints_.end(),
                            [&](const LYConstraintPtr& c) { return c.get() == &constraint; });
  if (found != constraints_.end()) *found = replacement;
}

LYConstraintPtr LYConstraintMaker::constraintAddConstraintWithLayoutAttribute(LYConstraint* constraint,
                                                                              std::int64_t layoutAttribute) {
  auto made = LYViewConstraint::initWithFirstViewAttribute(LYViewAttribute::initWithView(view(), layoutAttribute));
  if (dynamic_cast<LYViewConstraint*>(constraint)) {
    // Left then top in one chain: one group of both, where the first stood.
    auto asker = std::static_pointer_cast<LYConstraint>(constraint->shared_from_this());
    auto group = LYCompositeConstraint::initWithChildren({asker, made});
    group->setDelegate(self());
    constraintShouldBeReplacedWithConstraint(*constraint, group);
    return group;
  }
  if (!constraint) {
    made->setDelegate(self());
    constraints_.push_back(made);
  }
  return made;
}
