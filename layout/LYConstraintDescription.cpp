#include "layout/LYConstraintDescription.h"

#include <cmath>

#include "layout/LYViewAdditions.h"
#include "layout/LYViewConstraint.h"
#include "platform/runtime/format.h"
#include "platform/runtime/methods.h"

const std::map<std::int64_t, std::string>& layoutRelationDescriptionsByValue() {
  static const std::map<std::int64_t, std::string> table{{-1, "<="}, {0, "=="}, {1, ">="}};
  return table;
}

const std::map<std::int64_t, std::string>& layoutAttributeDescriptionsByValue() {
  static const std::map<std::int64_t, std::string> table{
      {1, "left"},  {2, "right"},  {3, "top"},     {4, "bottom"},   {5, "leading"},  {6, "trailing"},
      {7, "width"}, {8, "height"}, {9, "centerX"}, {10, "centerY"}, {11, "baseline"}};
  return table;
}

const std::map<float, std::string>& layoutPriorityDescriptionsByValue() {
  static const std::map<float, std::string> table{{1000, "required"},
                                                  {750, "high"},
                                                  {510, "drag can resize window"},
                                                  {501, "medium"},
                                                  {500, "window size stay put"},
                                                  {490, "drag cannot resize window"},
                                                  {250, "low"},
                                                  {50, "fitting size"}};
  return table;
}

std::string descriptionForObject(const platform::Value& object) {
  if (object.isNil()) return "(null)";
  if (auto view = object.as<platform::View>()) {
    platform::Value key = ly_key(*view);
    if (!key.isNil()) return platform::format("%@:%@", view->widgetTypeName(), key);
    return platform::format("%@:%p", view->widgetTypeName(), static_cast<const void*>(view->widget()));
  }
  platform::ObjectPtr target = object.asObject();
  if (!target) return object.description();
  if (auto constraint = std::dynamic_pointer_cast<LYLayoutConstraint>(target);
      constraint && !constraint->ly_key().isNil())
    return platform::format("%@:%@", target->objectClass().name(), constraint->ly_key());
  return platform::format("%@:%p", target->objectClass().name(), static_cast<const void*>(target.get()));
}

std::string layoutConstraintDescription(const platform::LayoutConstraint& constraint) {
  auto name = [](const std::map<std::int64_t, std::string>& table, std::int64_t value) {
    auto found = table.find(value);
    return found != table.end() ? found->second : std::to_string(value);
  };
  const platform::Value self(std::const_pointer_cast<platform::Object>(constraint.shared_from_this()));
  std::string text = "<" + descriptionForObject(self);
  text += " " + descriptionForObject(platform::Value(constraint.firstItem()));
  if (constraint.firstAttribute() != 0)
    text += "." + name(layoutAttributeDescriptionsByValue(), constraint.firstAttribute());
  text += " " + name(layoutRelationDescriptionsByValue(), constraint.relation());
  if (platform::ViewPtr second = constraint.secondItem()) text += " " + descriptionForObject(platform::Value(second));
  if (constraint.secondAttribute() != 0)
    text += "." + name(layoutAttributeDescriptionsByValue(), constraint.secondAttribute());
  if (constraint.multiplier() != 1) text += platform::format(" * %g", constraint.multiplier());
  const double constant = constraint.constant();
  if (constraint.secondAttribute() == 0) {
    text += platform::format(" %g", constant);
  } else if (constant != 0) {
    text += platform::format(" %@ %g", constant < 0 ? "-" : "+", std::fabs(constant));
  }
  if (constraint.priority() != 1000) {
    const auto& priorities = layoutPriorityDescriptionsByValue();
    auto found = priorities.find(constraint.priority());
    text +=
        " ^" + (found != priorities.end() ? found->second
                                          : platform::Value(static_cast<double>(constraint.priority())).description());
  }
  return text + ">";
}

std::string LYLayoutConstraint::description() const { return layoutConstraintDescription(*this); }

namespace {

// Every layout constraint describes itself in the language's form, as a category would make it.
const bool kDescriptionInstalled = [] {
  platform::LayoutConstraint::staticClass().addMethod(
      "description", [](platform::Object& self, const std::vector<platform::Value>&) {
        return platform::Value(layoutConstraintDescription(static_cast<platform::LayoutConstraint&>(self)));
      });
  return true;
}();

}  // namespace
