#include "layout/LYViewAttribute.h"

#include <climits>

LYViewAttribute::LYViewAttribute(const platform::ViewPtr& view, const platform::ViewPtr& item,
                                 std::int64_t layoutAttribute)
    : view_(view), item_(item), viewHash_(view ? view->hash() : 0), layoutAttribute_(layoutAttribute) {}

LYViewAttributePtr LYViewAttribute::initWithView(const platform::ViewPtr& view, std::int64_t layoutAttribute) {
  return initWithView(view, view, layoutAttribute);
}

LYViewAttributePtr LYViewAttribute::initWithView(const platform::ViewPtr& view, const platform::ViewPtr& item,
                                                 std::int64_t layoutAttribute) {
  return platform::make<LYViewAttribute>(view, item, layoutAttribute);
}

bool LYViewAttribute::isSizeAttribute() const {
  return layoutAttribute_ == platform::LayoutAttributeWidth || layoutAttribute_ == platform::LayoutAttributeHeight;
}

bool LYViewAttribute::isEqual(const platform::Object& other) const {
  if (const auto* attribute = dynamic_cast<const LYViewAttribute*>(&other))
    return !attribute->view_.owner_before(view_) && !view_.owner_before(attribute->view_) &&
           attribute->layoutAttribute_ == layoutAttribute_;
  return this == &other;
}

std::size_t LYViewAttribute::hash() const {
  constexpr int kHalf = sizeof(std::size_t) * CHAR_BIT / 2;
  const std::size_t swapped = (viewHash_ << kHalf) | (viewHash_ >> kHalf);
  return swapped ^ static_cast<std::size_t>(layoutAttribute_);
}
