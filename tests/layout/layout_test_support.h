#pragma once

// What the layout tests share: a window with two sibling views in a plain root view.

#include <gtest/gtest.h>

#include "layout/LYCompositeConstraint.h"
#include "layout/LYConstraintDescription.h"
#include "layout/LYConstraintMaker.h"
#include "layout/LYViewAdditions.h"
#include "layout/LYViewConstraint.h"
#include "support/interface/test_window.h"

namespace zorvel::test {

class LayoutTest : public testing::Test {
 protected:
  TestWindow window{400, 300};
  platform::ViewPtr root = window.root();
  platform::ViewPtr view = window.addView();
  platform::ViewPtr other = window.addView();

  LYViewConstraintPtr constraintOn(const platform::ViewPtr& v, std::int64_t attribute) {
    return LYViewConstraint::initWithFirstViewAttribute(LYViewAttribute::initWithView(v, attribute));
  }
  static LYViewConstraintPtr asView(const LYConstraintPtr& c) { return std::dynamic_pointer_cast<LYViewConstraint>(c); }
  static LYCompositeConstraintPtr asGroup(const LYConstraintPtr& c) {
    return std::dynamic_pointer_cast<LYCompositeConstraint>(c);
  }
};

}  // namespace zorvel::test
