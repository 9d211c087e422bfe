#include "layout/LYConstraint.h"

#include <cstring>

#include "platform/runtime/error.h"

platform::Value LYBoxValue(const platform::Value& value) { return value; }
platform::Value LYBoxValue(platform::Point point) {
  return platform::Value(platform::BoxedValue::valueWithPoint(point));
}
platform::Value LYBoxValue(platform::Size size) { return platform::Value(platform::BoxedValue::valueWithSize(size)); }
platform::Value LYBoxValue(platform::Rect rect) { return platform::Value(platform::BoxedValue::valueWithRect(rect)); }
platform::Value LYBoxValue(platform::EdgeInsets insets) {
  return platform::Value(platform::BoxedValue::valueWithEdgeInsets(insets));
}

void LYConstraint::mustOverride(const char* selector) {
  platform::Exception::raiseFormat(platform::kInternalInconsistencyException, "You must override %@ in a subclass.",
                                   selector);
}

LYConstraint& LYConstraint::equalTo(const platform::Value& other) {
  return equalToWithRelation(other, platform::LayoutRelationEqual);
}
LYConstraint& LYConstraint::greaterThanOrEqualTo(const platform::Value& other) {
  return equalToWithRelation(other, platform::LayoutRelationGreaterThanOrEqual);
}
LYConstraint& LYConstraint::lessThanOrEqualTo(const platform::Value& other) {
  return equalToWithRelation(other, platform::LayoutRelationLessThanOrEqual);
}

LYConstraint& LYConstraint::offset(double offset) {
  setOffset(offset);
  return *this;
}
LYConstraint& LYConstraint::valueOffset(const platform::Value& value) {
  setLayoutConstantWithValue(value);
  return *this;
}
LYConstraint& LYConstraint::insets(platform::EdgeInsets insets) {
  setInsets(insets);
  return *this;
}
LYConstraint& LYConstraint::sizeOffset(platform::Size size) {
  setSizeOffset(size);
  return *this;
}
LYConstraint& LYConstraint::centerOffset(platform::Point point) {
  setCenterOffset(point);
  return *this;
}

LYConstraint& LYConstraint::left() { return addConstraintWithLayoutAttribute(platform::LayoutAttributeLeft); }
LYConstraint& LYConstraint::top() { return addConstraintWithLayoutAttribute(platform::LayoutAttributeTop); }
LYConstraint& LYConstraint::right() { return addConstraintWithLayoutAttribute(platform::LayoutAttributeRight); }
LYConstraint& LYConstraint::bottom() { return addConstraintWithLayoutAttribute(platform::LayoutAttributeBottom); }
LYConstraint& LYConstraint::leading() { return addConstraintWithLayoutAttribute(platform::LayoutAttributeLeading); }
LYConstraint& LYConstraint::trailing() { return addConstraintWithLayoutAttribute(platform::LayoutAttributeTrailing); }
LYConstraint& LYConstraint::width() { return addConstraintWithLayoutAttribute(platform::LayoutAttributeWidth); }
LYConstraint& LYConstraint::height() { return addConstraintWithLayoutAttribute(platform::LayoutAttributeHeight); }
LYConstraint& LYConstraint::centerX() { return addConstraintWithLayoutAttribute(platform::LayoutAttributeCenterX); }
LYConstraint& LYConstraint::centerY() { return addConstraintWithLayoutAttribute(platform::LayoutAttributeCenterY); }
LYConstraint& LYConstraint::baseline() { return addConstraintWithLayoutAttribute(platform::LayoutAttributeBaseline); }

void LYConstraint::setLayoutConstantWithValue(const platform::Value& value) {
  if (value.isNumber()) {
    setOffset(value.asDouble());
    return;
  }
  auto box = value.as<platform::BoxedValue>();
  if (!box) return;
  const char* encoding = box->typeEncoding();
  if (std::strcmp(encoding, platform::kPointTypeEncoding) == 0) {
    setCenterOffset(box->pointValue());
  } else if (std::strcmp(encoding, platform::kSizeTypeEncoding) == 0) {
    setSizeOffset(box->sizeValue());
  } else if (std::strcmp(encoding, platform::kEdgeInsetsTypeEncoding) == 0) {
    setInsets(box->edgeInsetsValue());
  }
}

LYConstraint& LYConstraint::equalToWithRelation(const platform::Value&, std::int64_t) {
  mustOverride("equalToWithRelation");
}
LYConstraint& LYConstraint::multipliedBy(double) { mustOverride("multipliedBy"); }
LYConstraint& LYConstraint::dividedBy(double) { mustOverride("dividedBy"); }
LYConstraint& LYConstraint::priority(float) { mustOverride("priority"); }
LYConstraint& LYConstraint::key(const platform::Value&) { mustOverride("key"); }
void LYConstraint::setOffset(double) { mustOverride("setOffset:"); }
void LYConstraint::setInsets(platform::EdgeInsets) { mustOverride("setInsets:"); }
void LYConstraint::setSizeOffset(platform::Size) { mustOverride("setSizeOffset:"); }
void LYConstraint::setCenterOffset(platform::Point) { mustOverride("setCenterOffset:"); }
LYConstraint& LYConstraint::animator() { mustOverride("animator"); }
LYConstraint& LYConstraint::addConstraintWithLayoutAttribute(std::int64_t) {
  mustOverride("addConstraintWithLayoutAttribute:");
}
void LYConstraint::install() { mustOverride("install"); }
void LYConstraint::uninstall() { mustOverride("uninstall"); }
void LYConstraint::activate() { mustOverride("activate"); }
void LYConstraint::deactivate() { mustOverride("deactivate"); }
