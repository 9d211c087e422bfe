#pragma once

// LYConstraintMaker: what a layout block receives. It belongs to one view, hands out a new
// constraint for each attribute the block names, keeps them in a list, and installs them all
// once the block has run: after uninstalling the view's earlier constraints (removeExisting, a
// remake) or updating matching ones (updateExisting, an update).
//
// Attribute masks name several attributes at once: attribute n is bit 1 << n.
//
// Threads: main thread only.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "layout/LYConstraint.h"
#include "platform/interface/view.h"

using LYAttributeMask = std::uint64_t;
inline constexpr LYAttributeMask kLYAttributeLeft = 1u << platform::LayoutAttributeLeft;
inline constexpr LYAttributeMask kLYAttributeRight = 1u << platform::LayoutAttributeRight;
inline constexpr LYAttributeMask kLYAttributeTop = 1u << platform::LayoutAttributeTop;
inline constexpr LYAttributeMask kLYAttributeBottom = 1u << platform::LayoutAttributeBottom;
inline constexpr LYAttributeMask kLYAttributeLeading = 1u << platform::LayoutAttributeLeading;
inline constexpr LYAttributeMask kLYAttributeTrailing = 1u << platform::LayoutAttributeTrailing;
inline constexpr LYAttributeMask kLYAttributeWidth = 1u << platform::LayoutAttributeWidth;
inline constexpr LYAttributeMask kLYAttributeHeight = 1u << platform::LayoutAttributeHeight;
inline constexpr LYAttributeMask kLYAttributeCenterX = 1u << platform::LayoutAttributeCenterX;
inline constexpr LYAttributeMask kLYAttributeCenterY = 1u << platform::LayoutAttributeCenterY;
inline constexpr LYAttributeMask kLYAttributeBaseline = 1u << platform::LayoutAttributeBaseline;
inline constexpr LYAttributeMask kLYAttributeEdges = 30;     // left, right, top, bottom
inline constexpr LYAttributeMask kLYAttributeSize = 384;     // width, height
inline constexpr LYAttributeMask kLYAttributeCenter = 1536;  // centerX, centerY

class LYConstraintMaker;
using LYConstraintMakerPtr = std::shared_ptr<LYConstraintMaker>;

class LYConstraintMaker : public platform::Object, public LYConstraintDelegate {
  ZORVEL_CLASS(LYConstraintMaker, platform::Object)
 public:
  static LYConstraintMakerPtr initWithView(const platform::ViewPtr& view);

  bool updateExisting() const { return updateExisting_; }
  void setUpdateExisting(bool update) { updateExisting_ = update; }
  bool removeExisting() const { return removeExisting_; }
  void setRemoveExisting(bool remove) { removeExisting_ = remove; }
  platform::ViewPtr view() const { return view_.lock(); }
  // The top-level constraints made so far.
  const std::vector<LYConstraintPtr>& constraints() const { return constraints_; }

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
  LYConstraint& edges() { return addConstraintWithAttributes(kLYAttributeEdges); }
  LYConstraint& size() { return addConstraintWithAttributes(kLYAttributeSize); }
  LYConstraint& center() { return addConstraintWithAttributes(kLYAttributeCenter); }
  LYConstraint& attributes(LYAttributeMask mask) { return addConstraintWithAttributes(mask); }
  // A group of one constraint per attribute in the mask, in the order left, right, top, bottom,
  // leading, trailing, width, height, centerX, centerY, baseline (empty for no known bit),
  // appended to the list.
  LYConstraint& addConstraintWithAttributes(LYAttributeMask mask);
  LYConstraint& addConstraintWithLayoutAttribute(std::int64_t layoutAttribute);
  // Runs the block (which makes constraints through this maker) and returns a group over what
  // it made, in order; the group is not added to the list, its members are there already.
  LYConstraintPtr group(const std::function<void()>& block);

  // Uninstalls the view's installed constraints first when removeExisting is set; installs each
  // constraint of the list in order with this maker's updateExisting; empties the list and
  // returns what it held.
  std::vector<LYConstraintPtr> install();

  void constraintShouldBeReplacedWithConstraint(LYConstraint& constraint, const LYConstraintPtr& replacement) override;
  LYConstraintPtr constraintAddConstraintWithLayoutAttribute(LYConstraint* constraint,
                                                             std::int64_t layoutAttribute) override;

 private:
  explicit LYConstraintMaker(const platform::ViewPtr& view) : view_(view) {}
  std::shared_ptr<LYConstraintMaker> self();

  bool updateExisting_ = false;
  bool removeExisting_ = false;
  std::weak_ptr<platform::View> view_;
  std::vector<LYConstraintPtr> constraints_;
};
