#pragma once

// LYConstraint: what a chain works on. Its subclasses are LYViewConstraint (one relation between
// two view attributes) and LYCompositeConstraint (a group that applies every operation to each
// member). A chain call returns the constraint to go on with, usually the receiver; naming an
// array as the other side makes a group take the receiver's place, and the chain goes on with
// the group.
//
// The other side of equalTo and its relatives is a platform::Value holding one of:
// - an LYViewAttribute: that attribute of that view;
// - a platform::View: the same attribute of that view as the constraint's own;
// - a number or a platform::BoxedValue (point, size, edge insets): no second view, the value
//   sets the constant (setLayoutConstantWithValue);
// - an array of these: one constraint per element, grouped.
// ly_equalTo and its relatives box plain C++ values first (numbers, Point, Size, EdgeInsets,
// Rect, views, view attributes).
//
// Constants follow the attribute: setOffset sets every attribute's; setInsets the edge facing
// the inset (left and leading +left, right and trailing -right, top +top, bottom -bottom);
// setSizeOffset a width or height; setCenterOffset a centerX or centerY. An inset, size or centre
// value that does not face the attribute changes nothing.
//
// Threads: main thread only.

#include <cstdint>
#include <memory>
#include <type_traits>

#include "platform/interface/layout_constraint.h"
#include "platform/runtime/geometry.h"
#include "platform/runtime/object.h"
#include "platform/runtime/value.h"

class LYConstraint;
using LYConstraintPtr = std::shared_ptr<LYConstraint>;

// The named priority levels of a chain.
inline constexpr float kLYPriorityLow = 250;
inline constexpr float kLYPriorityMedium = 501;
inline constexpr float kLYPriorityHigh = 750;

// The container of a constraint: the maker, or the group it belongs to.
class LYConstraintDelegate {
 public:
  virtual ~LYConstraintDelegate() = default;
  // Puts the replacement where the constraint stood in the container's list.
  virtual void constraintShouldBeReplacedWithConstraint(LYConstraint& constraint,
                                                        const LYConstraintPtr& replacement) = 0;
  // A further constraint on the container's view for the attribute, linked into the container;
  // `constraint` is the one that asks, or nullptr.
  virtual LYConstraintPtr constraintAddConstraintWithLayoutAttribute(LYConstraint* constraint,
                                                                     std::int64_t layoutAttribute) = 0;
};

// Boxes a plain C++ value as the other side of a constraint (what ly_equalTo accepts).
platform::Value LYBoxValue(const platform::Value& value);
platform::Value LYBoxValue(platform::Point point);
platform::Value LYBoxValue(platform::Size size);
platform::Value LYBoxValue(platform::Rect rect);
platform::Value LYBoxValue(platform::EdgeInsets insets);

class LYConstraint : public platform::Object {
  ZORVEL_CLASS(LYConstraint, platform::Object)
 public:
  // --- Relations -------------------------------------------------------------------------------
  LYConstraint& equalTo(const platform::Value& other);
  LYConstraint& greaterThanOrEqualTo(const platform::Value& other);
  LYConstraint& lessThanOrEqualTo(const platform::Value& other);
  template <class T>
  LYConstraint& ly_equalTo(const T& other) {
    return equalTo(LYBoxValue(other));
  }
  template <class T>
  LYConstraint& ly_greaterThanOrEqualTo(const T& other) {
    return greaterThanOrEqualTo(LYBoxValue(other));
  }
  template <class T>
  LYConstraint& ly_lessThanOrEqualTo(const T& other) {
    return lessThanOrEqualTo(LYBoxValue(other));
  }

  // --- Constants and priorities ----------------------------------------------------------------
  LYConstraint& offset(double offset);
  LYConstraint& valueOffset(const platform::Value& value);
  LYConstraint& insets(platform::EdgeInsets insets);
  LYConstraint& sizeOffset(platform::Size size);
  LYConstraint& centerOffset(platform::Point point);
  LYConstraint& priorityLow() { return priority(kLYPriorityLow); }
  LYConstraint& priorityMedium() { return priority(kLYPriorityMedium); }
  LYConstraint& priorityHigh() { return priority(kLYPriorityHigh); }

  // Words that only read well; they return the receiver.
  LYConstraint& with() { return *this; }
  LYConstraint& and_() { return *this; }  // "and" is taken in C++

  // --- Further attributes of the same view --------------------------------------------------------
  LYConstraint& left();
  LYConstraint& top();
  LYConstraint& right();
  LYConstraint& bottom();
  LYConstraint& leading();
  LYConstraint& trailing();
  LYConstraint& width();
  LYConstraint& height();
  LYConstraint& centerX();
  LYConstraint& centerY();
  LYConstraint& baseline();

  // A number sets the offset; a boxed point the centre offset; a boxed size the size offset;
  // boxed edge insets the insets; anything else nothing.
  void setLayoutConstantWithValue(const platform::Value& value);

  // --- Defined by the subclasses (here they raise NSInternalInconsistencyException) -------------
  virtual LYConstraint& equalToWithRelation(const platform::Value& other, std::int64_t relation);
  virtual LYConstraint& multipliedBy(double multiplier);
  virtual LYConstraint& dividedBy(double divider);
  virtual LYConstraint& priority(float priority);
  virtual LYConstraint& key(const platform::Value& key);
  virtual void setOffset(double offset);
  virtual void setInsets(platform::EdgeInsets insets);
  virtual void setSizeOffset(platform::Size size);
  virtual void setCenterOffset(platform::Point point);
  // Later constant changes are animated (platform::LayoutConstraint::animateConstant).
  virtual LYConstraint& animator();
  virtual LYConstraint& addConstraintWithLayoutAttribute(std::int64_t layoutAttribute);
  virtual void install();
  virtual void uninstall();
  virtual void activate();
  virtual void deactivate();

  // --- State -----------------------------------------------------------------------------------
  // When set at install time, an installed constraint that differs only in its constant takes
  // the new constant instead of a second constraint being added.
  bool updateExisting() const { return updateExisting_; }
  void setUpdateExisting(bool update) { updateExisting_ = update; }
  // The container (held weakly).
  std::shared_ptr<LYConstraintDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(const std::weak_ptr<LYConstraintDelegate>& delegate) { delegate_ = delegate; }

 protected:
  LYConstraint() = default;
  const std::weak_ptr<LYConstraintDelegate>& delegateWeak() const { return delegate_; }
  // The "must override" exception for the operation.
  [[noreturn]] static void mustOverride(const char* selector);

 private:
  bool updateExisting_ = false;
  std::weak_ptr<LYConstraintDelegate> delegate_;
};
