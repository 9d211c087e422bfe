#include "layout/LYViewAdditions.h"

#include <algorithm>

namespace {

// Keys of the view's associated objects.
const char kInstalledConstraintsKey = 0;
const char kKeyKey = 0;

std::vector<LYConstraintPtr> makeWith(const platform::ViewPtr& view, const LYMakerBlock& block, bool update,
                                      bool remove) {
  if (!view) return {};
  view->setTranslatesAutoresizingMaskIntoConstraints(false);
  auto maker = LYConstraintMaker::initWithView(view);
  maker->setUpdateExisting(update);
  maker->setRemoveExisting(remove);
  block(*maker);
  return maker->install();
}

std::vector<LYConstraintPtr> eachView(const std::vector<platform::ViewPtr>& views, const LYMakerBlock& block,
                                      bool update, bool remove) {
  std::vector<LYConstraintPtr> all;
  for (const platform::ViewPtr& view : views) {
    std::vector<LYConstraintPtr> made = makeWith(view, block, update, remove);
    all.insert(all.end(), made.begin(), made.end());
  }
  return all;
}

}  // namespace

std::vector<LYConstraintPtr> ly_makeConstraints(const platform::ViewPtr& view, const LYMakerBlock& block) {
  return makeWith(view, block, false, false);
}
std::vector<LYConstraintPtr> ly_updateConstraints(const platform::ViewPtr& view, const LYMakerBlock& block) {
  return makeWith(view, block, true, false);
}
std::vector<LYConstraintPtr> ly_remakeConstraints(const platform::ViewPtr& view, const LYMakerBlock& block) {
  return makeWith(view, block, false, true);
}

LYViewAttributePtr ly_left(const platform::ViewPtr& view) {
  return LYViewAttribute::initWithView(view, platform::LayoutAttributeLeft);
}
LYViewAttributePtr ly_top(const platform::ViewPtr& view) {
  return LYViewAttribute::initWithView(view, platform::LayoutAttributeTop);
}
LYViewAttributePtr ly_right(const platform::ViewPtr& view) {
  return LYViewAttribute::initWithView(view, platform::LayoutAttributeRight);
}
LYViewAttributePtr ly_bottom(const platform::ViewPtr& view) {
  return LYViewAttribute::initWithView(view, platform::LayoutAttributeBottom);
}
LYViewAttributePtr ly_leading(const platform::ViewPtr& view) {
  return LYViewAttribute::initWithView(view, platform::LayoutAttributeLeading);
}
LYViewAttributePtr ly_trailing(const platform::ViewPtr& view) {
  return LYViewAttribute::initWithView(view, platform::LayoutAttributeTrailing);
}
LYViewAttributePtr ly_width(const platform::ViewPtr& view) {
  return LYViewAttribute::initWithView(view, platform::LayoutAttributeWidth);
}
LYViewAttributePtr ly_height(const platform::ViewPtr& view) {
  return LYViewAttribute::initWithView(view, platform::LayoutAttributeHeight);
}
LYViewAttributePtr ly_centerX(const platform::ViewPtr& view) {
  return LYViewAttribute::initWithView(view, platform::LayoutAttributeCenterX);
}
LYViewAttributePtr ly_centerY(const platform::ViewPtr& view) {
  return LYViewAttribute::initWithView(view, platform::LayoutAttributeCenterY);
}
LYViewAttributePtr ly_baseline(const platform::ViewPtr& view) {
  return LYViewAttribute::initWithView(view, platform::LayoutAttributeBaseline);
}

std::function<LYViewAttributePtr(std::int64_t)> ly_attribute(const platform::ViewPtr& view) {
  std::weak_ptr<platform::View> weak = view;
  return [weak](std::int64_t attribute) { return LYViewAttribute::initWithView(weak.lock(), attribute); };
}

platform::Value ly_key(const platform::View& view) { return view.associatedObject(&kKeyKey); }

void setLy_key(platform::View& view, const platform::Value& key) { view.setAssociatedObject(&kKeyKey, key); }

void LYInstalledConstraints::addObject(const LYViewConstraintPtr& constraint) {
  if (constraint && !containsObject(constraint)) members_.push_back(constraint);
}

void LYInstalledConstraints::removeObject(const LYViewConstraintPtr& constraint) { std::erase(members_, constraint); }

bool LYInstalledConstraints::containsObject(const LYViewConstraintPtr& constraint) const {
  return std::find(members_.begin(), members_.end(), constraint) != members_.end();
}

std::shared_ptr<LYInstalledConstraints> ly_installedConstraints(platform::View& view) {
  if (auto set = view.associatedObject(&kInstalledConstraintsKey).as<LYInstalledConstraints>()) return set;
  auto set = platform::make<LYInstalledConstraints>();
  view.setAssociatedObject(&kInstalledConstraintsKey, platform::Value(set));
  return set;
}

platform::ViewPtr ly_closestCommonSuperview(const platform::ViewPtr& view, const platform::ViewPtr& other) {
  if (!view || !other) return nullptr;
  for (platform::ViewPtr x = other; x; x = x->superview()) {
    for (platform::ViewPtr y = view; y; y = y->superview()) {
      if (x == y) return x;
    }
  }
  return nullptr;
}

std::vector<LYConstraintPtr> ly_makeConstraints(const std::vector<platform::ViewPtr>& views,
                                                const LYMakerBlock& block) {
  return eachView(views, block, false, false);
}
std::vector<LYConstraintPtr> ly_updateConstraints(const std::vector<platform::ViewPtr>& views,
                                                  const LYMakerBlock& block) {
  return eachView(views, block, true, false);
}
std::vector<LYConstraintPtr> ly_remakeConstraints(const std::vector<platform::ViewPtr>& views,
                                                  const LYMakerBlock& block) {
  return eachView(views, block, false, true);
}

platform::ViewPtr ly_commonSuperviewOfViews(const std::vector<platform::ViewPtr>& views) {
  platform::ViewPtr common;
  bool first = true;
  for (const platform::ViewPtr& view : views) {
    if (!view) continue;
    common = first ? view : ly_closestCommonSuperview(view, common);
    first = false;
  }
  return common;
}

namespace {

struct AxisAttributes {
  LYViewAttributePtr (*start)(const platform::ViewPtr&);
  LYViewAttributePtr (*end)(const platform::ViewPtr&);
  LYViewAttributePtr (*length)(const platform::ViewPtr&);
  std::int64_t startAttribute;
  std::int64_t endAttribute;
  std::int64_t lengthAttribute;
};

AxisAttributes axisAttributes(unsigned axis) {
  if (axis == LYAxisTypeHorizontal)
    return {ly_left,
            ly_right,
            ly_width,
            platform::LayoutAttributeLeft,
            platform::LayoutAttributeRight,
            platform::LayoutAttributeWidth};
  return {ly_top,
          ly_bottom,
          ly_height,
          platform::LayoutAttributeTop,
          platform::LayoutAttributeBottom,
          platform::LayoutAttributeHeight};
}

}  // namespace

void ly_distributeViewsAlongAxisWithFixedSpacing(const std::vector<platform::ViewPtr>& views, unsigned axis,
                                                 double spacing, double leadSpacing, double tailSpacing) {
  if (views.size() < 2) return;
  platform::ViewPtr container = ly_commonSuperviewOfViews(views);
  const AxisAttributes a = axisAttributes(axis);
  for (std::size_t i = 0; i < views.size(); ++i) {
    ly_makeConstraints(views[i], [&](LYConstraintMaker& make) {
      if (i == 0) {
        make.addConstraintWithLayoutAttribute(a.startAttribute).equalTo(a.start(container)).offset(leadSpacing);
        return;
      }
      const platform::ViewPtr& previous = views[i - 1];
      make.addConstraintWithLayoutAttribute(a.lengthAttribute).equalTo(a.length(previous));
      make.addConstraintWithLayoutAttribute(a.startAttribute).equalTo(a.end(previous)).offset(spacing);
      if (i == views.size() - 1)
        make.addConstraintWithLayoutAttribute(a.endAttribute).equalTo(a.end(container)).offset(-tailSpacing);
    });
  }
}

void ly_distributeViewsAlongAxisWithFixedItemLength(const std::vector<platform::ViewPtr>& views, unsigned axis,
                                                    double itemLength, double leadSpacing, double tailSpacing) {
  if (views.size() < 2) return;
  platform::ViewPtr container = ly_commonSuperviewOfViews(views);
  const AxisAttributes a = axisAttributes(axis);
  const double last = static_cast<double>(views.size()) - 1;
  for (std::size_t index = 0; index < views.size(); ++index) {
    const auto i = static_cast<std::int32_t>(index);
    const double q = i / last;
    ly_makeConstraints(views[index], [&](LYConstraintMaker& make) {
      make.addConstraintWithLayoutAttribute(a.lengthAttribute).equalTo(platform::Value(itemLength));
      if (i == 0) {
        make.addConstraintWithLayoutAttribute(a.startAttribute).equalTo(a.start(container)).offset(leadSpacing);
      } else if (index + 1 < views.size()) {
        const double c = (itemLength + leadSpacing) * (1 - q) - i * tailSpacing / last;
        make.addConstraintWithLayoutAttribute(a.endAttribute).equalTo(a.end(container)).multipliedBy(q).offset(c);
      } else {
        make.addConstraintWithLayoutAttribute(a.endAttribute).equalTo(a.end(container)).offset(-tailSpacing);
      }
    });
  }
}
