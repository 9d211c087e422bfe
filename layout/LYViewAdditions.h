#pragma once

// The language's entry points on views and arrays of views: make, update and remake a view's
// constraints through a block that receives an LYConstraintMaker; a view's attributes to relate
// to; debug keys; the installed set; the closest common superview (where a constraint between two
// views is held); and distributing a row or column of views inside their common superview.
//
// Threads: main thread only.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "layout/LYConstraintMaker.h"
#include "layout/LYViewAttribute.h"
#include "layout/LYViewConstraint.h"
#include "platform/interface/view.h"

using LYMakerBlock = std::function<void(LYConstraintMaker& make)>;

// Turns the view's autoresizing-mask translation off, runs the block with a new maker for the
// view and installs what it made; returns the constraints installed (the maker's list).
std::vector<LYConstraintPtr> ly_makeConstraints(const platform::ViewPtr& view, const LYMakerBlock& block);
// The same, updating constraints that differ only in their constants.
std::vector<LYConstraintPtr> ly_updateConstraints(const platform::ViewPtr& view, const LYMakerBlock& block);
// The same, after uninstalling every constraint installed with the view as first view.
std::vector<LYConstraintPtr> ly_remakeConstraints(const platform::ViewPtr& view, const LYMakerBlock& block);

LYViewAttributePtr ly_left(const platform::ViewPtr& view);
LYViewAttributePtr ly_top(const platform::ViewPtr& view);
LYViewAttributePtr ly_right(const platform::ViewPtr& view);
LYViewAttributePtr ly_bottom(const platform::ViewPtr& view);
LYViewAttributePtr ly_leading(const platform::ViewPtr& view);
LYViewAttributePtr ly_trailing(const platform::ViewPtr& view);
LYViewAttributePtr ly_width(const platform::ViewPtr& view);
LYViewAttributePtr ly_height(const platform::ViewPtr& view);
LYViewAttributePtr ly_centerX(const platform::ViewPtr& view);
LYViewAttributePtr ly_centerY(const platform::ViewPtr& view);
LYViewAttributePtr ly_baseline(const platform::ViewPtr& view);
// A block giving the view's attribute of any number.
std::function<LYViewAttributePtr(std::int64_t)> ly_attribute(const platform::ViewPtr& view);

// The view's debug key, shown in constraint descriptions (an associated object of the view).
platform::Value ly_key(const platform::View& view);
void setLy_key(platform::View& view, const platform::Value& key);

// The set of view constraints installed with the view as first view (made on first use).
class LYInstalledConstraints : public platform::Object {
  ZORVEL_CLASS(LYInstalledConstraints, platform::Object)
 public:
  void addObject(const LYViewConstraintPtr& constraint);
  void removeObject(const LYViewConstraintPtr& constraint);
  bool containsObject(const LYViewConstraintPtr& constraint) const;
  std::size_t count() const { return members_.size(); }
  // In the order they were added.
  const std::vector<LYViewConstraintPtr>& allObjects() const { return members_; }

 private:
  std::vector<LYViewConstraintPtr> members_;
};
std::shared_ptr<LYInstalledConstraints> ly_installedConstraints(platform::View& view);

// The nearest of `other`'s ancestors (itself included) that is also `view` or one of its
// ancestors; nullptr when they share none or either is missing.
platform::ViewPtr ly_closestCommonSuperview(const platform::ViewPtr& view, const platform::ViewPtr& other);

// --- Arrays of views ---------------------------------------------------------------------------
// The view operation on every element in order; the installed constraints, concatenated.
std::vector<LYConstraintPtr> ly_makeConstraints(const std::vector<platform::ViewPtr>& views, const LYMakerBlock& block);
std::vector<LYConstraintPtr> ly_updateConstraints(const std::vector<platform::ViewPtr>& views,
                                                  const LYMakerBlock& block);
std::vector<LYConstraintPtr> ly_remakeConstraints(const std::vector<platform::ViewPtr>& views,
                                                  const LYMakerBlock& block);
// The closest common superview of all the views (empty elements skipped): the view itself for
// one view, nullptr for none or once a view shares no ancestor with the rest.
platform::ViewPtr ly_commonSuperviewOfViews(const std::vector<platform::ViewPtr>& views);

// Axis of a distribution: horizontal, or (any other value) vertical.
enum LYAxisType : unsigned { LYAxisTypeHorizontal = 0, LYAxisTypeVertical = 1 };

// Lays two or more views out in a row (columns for the vertical axis) filling their common
// superview S between `leadSpacing` and `tailSpacing`: equal lengths, `spacing` apart. Fewer than
// two views: nothing.
void ly_distributeViewsAlongAxisWithFixedSpacing(const std::vector<platform::ViewPtr>& views, unsigned axis,
                                                 double spacing, double leadSpacing, double tailSpacing);
// The same with each view `itemLength` long and the spaces between them equal.
void ly_distributeViewsAlongAxisWithFixedItemLength(const std::vector<platform::ViewPtr>& views, unsigned axis,
                                                    double itemLength, double leadSpacing, double tailSpacing);
