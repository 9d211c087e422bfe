#include "layout/LYViewConstraint.h"

#include <algorithm>

#include "layout/LYCompositeConstraint.h"
#include "layout/LYViewAdditions.h"
#include "platform/runtime/error.h"
#include "platform/runtime/format.h"
#include "platform/runtime/geometry.h"
#include "platform/system/diagnostics.h"

LYLayoutConstraintPtr LYLayoutConstraint::constraintWithItem(const platform::ViewPtr& firstItem,
                                                             std::int64_t firstAttribute, std::int64_t relation,
                                                             const platform::ViewPtr& secondItem,
                                                             std::int64_t secondAttribute, double multiplier,
                                                             double constant) {
  return platform::make<LYLayoutConstraint>(firstItem, firstAttribute, relation, secondItem, secondAttribute,
                                            multiplier, constant);
}

LYViewConstraintPtr LYViewConstraint::initWithFirstViewAttribute(const LYViewAttributePtr& firstViewAttribute) {
  return platform::make<LYViewConstraint>(firstViewAttribute);
}

std::vector<LYViewConstraintPtr> LYViewConstraint::installedConstraintsForView(const platform::ViewPtr& view) {
  if (!view) return {};
  return ly_installedConstraints(*view)->allObjects();
}

LYViewConstraintPtr LYViewConstraint::self() { return std::static_pointer_cast<LYViewConstraint>(shared_from_this()); }

platform::ObjectPtr LYViewConstraint::copy() const {
  auto copy = initWithFirstViewAttribute(first_);
  copy->setLayoutConstant(constant_);
  copy->setLayoutRelation(relation_);
  copy->priority_ = priority_;
  copy->multiplier_ = multiplier_;
  copy->setDelegate(delegateWeak());
  return copy;
}

void LYViewConstraint::setSecondViewAttribute(const platform::Value& other) {
  if (other.isNumber() || other.as<platform::BoxedValue>()) {
    setLayoutConstantWithValue(other);
  } else if (auto view = other.as<platform::View>()) {
    second_ = LYViewAttribute::initWithView(view, first_->layoutAttribute());
  } else if (auto attribute = other.as<LYViewAttribute>()) {
    second_ = attribute;
  }
}

void LYViewConstraint::setLayoutRelation(std::int64_t relation) {
  relation_ = relation;
  hasLayoutRelation_ = true;
}

void LYViewConstraint::setLayoutConstant(double constant) {
  constant_ = constant;
  if (LYLayoutConstraintPtr constraint = layoutConstraint()) {
    if (useAnimator_) {
      constraint->animateConstant(constant);
    } else {
      constraint->setConstant(constant);
    }
  }
}

bool LYViewConstraint::isActive() const {
  LYLayoutConstraintPtr constraint = layoutConstraint();
  return constraint ? constraint->isActive() : true;
}

LYConstraint& LYViewConstraint::equalToWithRelation(const platform::Value& other, std::int64_t relation) {
  LYViewConstraintPtr keep = self();  // the container may let go of this constraint meanwhile
  if (other.isArray()) {
    std::vector<LYConstraintPtr> children;
    for (const platform::Value& element : other.asArray()) {
      auto child = std::static_pointer_cast<LYViewConstraint>(copy());
      child->setLayoutRelation(relation);
      child->setSecondViewAttribute(element);
      children.push_back(child);
    }
    auto group = LYCompositeConstraint::initWithChildren(std::move(children));
    group->setDelegate(delegateWeak());
    replacement_ = group;
    if (auto container = delegate()) container->constraintShouldBeReplacedWithConstraint(*this, group);
    return *group;
  }
  setLayoutRelation(relation);
  setSecondViewAttribute(other);
  return *this;
}

LYConstraint& LYViewConstraint::multipliedBy(double multiplier) {
  multiplier_ = multiplier;
  return *this;
}

LYConstraint& LYViewConstraint::dividedBy(double divider) {
  multiplier_ = 1.0 / divider;
  return *this;
}

LYConstraint& LYViewConstraint::priority(float priority) {
  priority_ = priority;
  return *this;
}

LYConstraint& LYViewConstraint::key(const platform::Value& key) {
  key_ = key;
  return *this;
}

void LYViewConstraint::setOffset(double offset) { setLayoutConstant(offset); }

void LYViewConstraint::setInsets(platform::EdgeInsets insets) {
  switch (first_->layoutAttribute()) {
    case platform::LayoutAttributeLeft:
    case platform::LayoutAttributeLeading:
      setLayoutConstant(insets.left);
      break;
    case platform::LayoutAttributeRight:
    case platform::LayoutAttributeTrailing:
      setLayoutConstant(-insets.right);
      break;
    case platform::LayoutAttributeTop:
      setLayoutConstant(insets.top);
      break;
    case platform::LayoutAttributeBottom:
      setLayoutConstant(-insets.bottom);
      break;
    default:
      break;
  }
}

void LYViewConstraint::setSizeOffset(platform::Size size) {
  if (first_->layoutAttribute() == platform::LayoutAttributeWidth) setLayoutConstant(size.width);
  if (first_->layoutAttribute() == platform::LayoutAttributeHeight) setLayoutConstant(size.height);
}

void LYViewConstraint::setCenterOffset(platform::Point point) {
  if (first_->layoutAttribute() == platform::LayoutAttributeCenterX) setLayoutConstant(point.x);
  if (first_->layoutAttribute() == platform::LayoutAttributeCenterY) setLayoutConstant(point.y);
}

LYConstraint& LYViewConstraint::animator() {
  useAnimator_ = true;
  return *this;
}

LYConstraint& LYViewConstraint::addConstraintWithLayoutAttribute(std::int64_t layoutAttribute) {
  auto container = delegate();
  if (!container)
    platform::Exception::raise(platform::kInternalInconsistencyException,
                               "A constraint outside a maker or group cannot name a further attribute.");
  LYViewConstraintPtr keep = self();
  return *container->constraintAddConstraintWithLayoutAttribute(this, layoutAttribute);
}

LYLayoutConstraintPtr LYViewConstraint::layoutConstraintSimilarTo(const LYLayoutConstraint& candidate) const {
  platform::ViewPtr view = installedView();
  if (!view) return nullptr;
  const auto& held = view->constraints();
  for (auto it = held.rbegin(); it != held.rend(); ++it) {
    auto existing = std::dynamic_pointer_cast<LYLayoutConstraint>(*it);
    if (!existing) continue;
    if (existing->firstItem() == candidate.firstItem() && existing->secondItem() == candidate.secondItem() &&
        existing->firstAttribute() == candidate.firstAttribute() &&
        existing->secondAttribute() == candidate.secondAttribute() && existing->relation() == candidate.relation() &&
        existing->multiplier() == candidate.multiplier() && existing->priority() == candidate.priority())
      return existing;
  }
  return nullptr;
}

void LYViewConstraint::install() {
  if (hasBeenInstalled()) return;
  LYViewConstraintPtr keep = self();
  platform::ViewPtr firstView = first_->view();

  // Installed before and deactivated since: the same platform constraint comes back.
  if (LYLayoutConstraintPtr existing = layoutConstraint()) {
    if (existing->setActive(true)) {
      if (firstView) ly_installedConstraints(*firstView)->addObject(keep);
    } else {
      ZORVEL_DIAGNOSTIC_ERROR(
          platform::format("LYViewConstraint: %@ could not be installed again: the view that held it "
                           "is gone or cannot hold it now.",
                           existing->description()));
    }
    return;
  }

  platform::ViewPtr firstItem = first_->item();
  std::int64_t firstAttribute = first_->layoutAttribute();
  platform::ViewPtr secondItem = second_ ? second_->item() : nullptr;
  std::int64_t secondAttribute = second_ ? second_->layoutAttribute() : platform::LayoutAttributeNotAnAttribute;
  if (!first_->isSizeAttribute() && !second_) {
    // Against the superview's same attribute: left equal to 10 means 10 from its left.
    secondItem = firstView ? firstView->superview() : nullptr;
    secondAttribute = firstAttribute;
  }

  auto constraint = LYLayoutConstraint::constraintWithItem(firstItem, firstAttribute, relation_, secondItem,
                                                           secondAttribute, multiplier_, constant_);
  constraint->setPriority(priority_);
  constraint->setLy_key(key_);

  platform::ViewPtr holder;
  if (second_ && second_->view()) {
    holder = ly_closestCommonSuperview(firstView, second_->view());
  } else if (first_->isSizeAttribute()) {
    holder = firstView;
  } else if (firstView) {
    holder = firstView->superview();
  }
  installedView_ = holder;

  if (updateExisting()) {
    if (LYLayoutConstraintPtr match = layoutConstraintSimilarTo(*constraint)) {
      match->setConstant(constraint->constant());
      layoutConstraint_ = match;
      return;
    }
  }

  platform::ErrorPtr error;
  if (!holder || !holder->addConstraint(constraint, &error)) {
    // Not installed, so not recorded as installed: the caller can tell from hasBeenInstalled().
    installedView_.reset();
    ZORVEL_DIAGNOSTIC_ERROR(platform::format(
        "LYViewConstraint: %@ is not installed: %@", constraint->description(),
        error ? error->localizedDescription()
              : std::string("no view can hold it (the view has no superview, or the views share no ancestor).")));
    return;
  }
  layoutConstraint_ = constraint;
  if (firstView) ly_installedConstraints(*firstView)->addObject(keep);
}

void LYViewConstraint::uninstall() {
  LYViewConstraintPtr keep = self();
  if (LYLayoutConstraintPtr constraint = layoutConstraint()) {
    constraint->setActive(false);  // kept by the reference for a later install while it exists
  } else {
    installedView_.reset();
  }
  if (platform::ViewPtr view = first_->view()) ly_installedConstraints(*view)->removeObject(keep);
}
