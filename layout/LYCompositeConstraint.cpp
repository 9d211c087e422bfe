#include "layout/LYCompositeConstraint.h"

#include <algorithm>

#include "layout/LYViewConstraint.h"
#include "platform/runtime/format.h"

LYCompositeConstraintPtr LYCompositeConstraint::initWithChildren(std::vector<LYConstraintPtr> children) {
  auto group = platform::make<LYCompositeConstraint>(std::move(children));
  std::weak_ptr<LYConstraintDelegate> self = std::shared_ptr<LYConstraintDelegate>(group);
  for (const LYConstraintPtr& child : group->children_) child->setDelegate(self);
  return group;
}

// Over a copy of the children: a child given an array replaces itself in the group meanwhile.
template <class F>
void LYCompositeConstraint::forEachChild(F&& f) {
  auto keep = shared_from_this();
  std::vector<LYConstraintPtr> children = children_;
  for (const LYConstraintPtr& child : children) f(*child);
}

LYConstraint& LYCompositeConstraint::equalToWithRelation(const platform::Value& other, std::int64_t relation) {
  forEachChild([&](LYConstraint& child) { child.equalToWithRelation(other, relation); });
  return *this;
}

LYConstraint& LYCompositeConstraint::multipliedBy(double multiplier) {
  forEachChild([&](LYConstraint& child) { child.multipliedBy(multiplier); });
  return *this;
}

LYConstraint& LYCompositeConstraint::dividedBy(double divider) {
  forEachChild([&](LYConstraint& child) { child.dividedBy(divider); });
  return *this;
}

LYConstraint& LYCompositeConstraint::priority(float priority) {
  forEachChild([&](LYConstraint& child) { child.priority(priority); });
  return *this;
}

LYConstraint& LYCompositeConstraint::key(const platform::Value& key) {
  key_ = key;
  int index = 0;
  forEachChild([&](LYConstraint& child) { child.key(platform::Value(platform::format("%@[%d]", key, index++))); });
  return *this;
}

void LYCompositeConstraint::setOffset(double offset) {
  forEachChild([&](LYConstraint& child) { child.setOffset(offset); });
}

void LYCompositeConstraint::setInsets(platform::EdgeInsets insets) {
  forEachChild([&](LYConstraint& child) { child.setInsets(insets); });
}

void LYCompositeConstraint::setSizeOffset(platform::Size size) {
  forEachChild([&](LYConstraint& child) { child.setSizeOffset(size); });
}

void LYCompositeConstraint::setCenterOffset(platform::Point point) {
  forEachChild([&](LYConstraint& child) { child.setCenterOffset(point); });
}

LYConstraint& LYCompositeConstraint::animator() {
  forEachChild([](LYConstraint& child) { child.animator(); });
  return *this;
}

LYConstraint& LYCompositeConstraint::addConstraintWithLayoutAttribute(std::int64_t layoutAttribute) {
  constraintAddConstraintWithLayoutAttribute(this, layoutAttribute);
  return *this;
}

void LYCompositeConstraint::install() {
  forEachChild([&](LYConstraint& child) {
    child.setUpdateExisting(updateExisting());
    child.install();
  });
}

void LYCompositeConstraint::uninstall() {
  forEachChild([](LYConstraint& child) { child.uninstall(); });
}

void LYCompositeConstraint::activate() {
  forEachChild([](LYConstraint& child) { child.activate(); });
}

void LYCompositeConstraint::deactivate() {
  forEachChild([](LYConstraint& child) { child.deactivate(); });
}

void LYCompositeConstraint::constraintShouldBeReplacedWithConstraint(LYConstraint& constraint,
                                                                     const LYConstraintPtr& replacement) {
  auto found = std::find_if(children_.begin(), children_.end(),
                            [&](const LYConstraintPtr& child) { return child.get() == &constraint; });
  if (found != children_.end()) *found = replacement;
}

LYConstraintPtr LYCompositeConstraint::constraintAddConstraintWithLayoutAttribute(LYConstraint*,
                                                                                  std::int64_t layoutAttribute) {
  auto container = delegate();
  if (!container)
    platform::Exception::raise(platform::kInternalInconsistencyException,
                               "A group outside a maker cannot name a further attribute.");
  LYConstraintPtr made = container->constraintAddConstraintWithLayoutAttribute(this, layoutAttribute);
  made->setDelegate(std::static_pointer_cast<LYCompositeConstraint>(shared_from_this()));
  children_.push_back(made);
  return made;
}
