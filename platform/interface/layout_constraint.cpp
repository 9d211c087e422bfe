#include "platform/interface/layout_constraint.h"

#include <gtk/gtk.h>

#include <cmath>
#include <vector>

#include "platform/interface/interface_internal.h"
#include "platform/runtime/error.h"
#include "platform/runtime/format.h"
#include "platform/runtime/methods.h"

namespace platform {

int strengthForPriority(float priority) {
  if (priority >= kLayoutPriorityRequired) return GTK_CONSTRAINT_STRENGTH_REQUIRED;
  if (!(priority > 0)) return GTK_CONSTRAINT_STRENGTH_WEAK;
  const double p = priority;
  // Below 1000 this stays under 10^9 + 1000, short of required (1001001000).
  return static_cast<int>(std::floor(std::pow(10.0, 9.0 * p / 1000.0)) + std::floor(p));
}

struct LayoutConstraint::Animation {
  GtkWidget* widget = nullptr;
  guint tick = 0;
  double from = 0;
  double to = 0;
  double duration = 0;
  gint64 start = -1;  // frame time of the first frame, in microseconds
};

namespace {

bool isAttribute(std::int64_t attribute) {
  return attribute >= LayoutAttributeNotAnAttribute && attribute <= LayoutAttributeBaseline;
}

void deleteWeakConstraint(gpointer data) { delete static_cast<std::weak_ptr<LayoutConstraint>*>(data); }

const char* attributeName(std::int64_t attribute) {
  static constexpr const char* kNames[] = {"notAnAttribute", "left",  "right",  "top",     "bottom",  "leading",
                                           "trailing",       "width", "height", "centerX", "centerY", "baseline"};
  return isAttribute(attribute) ? kNames[attribute] : "?";
}

}  // namespace

LayoutConstraint::LayoutConstraint(const ViewPtr& firstItem, std::int64_t firstAttribute, std::int64_t relation,
                                   const ViewPtr& secondItem, std::int64_t secondAttribute, double multiplier,
                                   double constant)
    : first_(firstItem),
      second_(secondItem),
      hasSecondItem_(secondItem != nullptr),
      firstAttribute_(firstAttribute),
      secondAttribute_(secondItem ? secondAttribute : LayoutAttributeNotAnAttribute),
      relation_(relation),
      multiplier_(multiplier),
      constant_(constant),
      shownConstant_(constant) {
  if (!isAttribute(firstAttribute) || firstAttribute == LayoutAttributeNotAnAttribute || !isAttribute(secondAttribute))
    Exception::raiseFormat(kInvalidArgumentException, "Invalid layout attributes %lld and %lld",
                           static_cast<long long>(firstAttribute), static_cast<long long>(secondAttribute));
  if (relation < LayoutRelationLessThanOrEqual || relation > LayoutRelationGreaterThanOrEqual)
    Exception::raiseFormat(kInvalidArgumentException, "Invalid layout relation %lld", static_cast<long long>(relation));
}

LayoutConstraintPtr LayoutConstraint::constraintWithItem(const ViewPtr& firstItem, std::int64_t firstAttribute,
                                                         std::int64_t relation, const ViewPtr& secondItem,
                                                         std::int64_t secondAttribute, double multiplier,
                                                         double constant) {
  return platform::make<LayoutConstraint>(firstItem, firstAttribute, relation, secondItem, secondAttribute, multiplier,
                                          constant);
}

LayoutConstraint::~LayoutConstraint() { unsolve(); }

bool LayoutConstraint::isOnlyAbout(const View& view) const {
  ViewPtr first = firstItem();
  if (first.get() != &view) return false;
  return !hasSecondItem_ || secondItem().get() == &view;
}

void LayoutConstraint::setConstant(double constant) {
  stopAnimation();
  constant_ = constant;
  showConstant(constant);
}

void LayoutConstraint::animateConstant(double constant, double duration) {
  if (!gtk_ || !(duration > 0) || !gtk_widget_get_mapped(solvingWidget_)) {
    setConstant(constant);
    return;
  }
  const double from = shownConstant_;
  stopAnimation();
  constant_ = constant;
  animation_ = std::make_unique<Animation>();
  animation_->widget = solvingWidget_;
  animation_->from = from;
  animation_->to = constant;
  animation_->duration = duration;
  auto step = [](GtkWidget*, GdkFrameClock* clock, gpointer data) -> gboolean {
    LayoutConstraintPtr self = static_cast<std::weak_ptr<LayoutConstraint>*>(data)->lock();
    if (!self || !self->animation_) return G_SOURCE_REMOVE;
    Animation& a = *self->animation_;
    const gint64 now = gdk_frame_clock_get_frame_time(clock);
    if (a.start < 0) a.start = now;
    const double t = std::min(1.0, static_cast<double>(now - a.start) / 1e6 / a.duration);
    const double eased = t < 0.5 ? 2 * t * t : 1 - 2 * (1 - t) * (1 - t);
    const double value = t < 1 ? a.from + (a.to - a.from) * eased : a.to;
    if (t >= 1) self->animation_.reset();  // the callback goes with G_SOURCE_REMOVE
    self->showConstant(value);
    return t < 1 ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
  };
  animation_->tick = gtk_widget_add_tick_callback(
      solvingWidget_, step,
      new std::weak_ptr<LayoutConstraint>(std::static_pointer_cast<LayoutConstraint>(shared_from_this())),
      deleteWeakConstraint);
}

void LayoutConstraint::stopAnimation() {
  if (!animation_) return;
  std::unique_ptr<Animation> animation = std::move(animation_);
  gtk_widget_remove_tick_callback(animation->widget, animation->tick);
  shownConstant_ = constant_;
}

void LayoutConstraint::setPriority(float priority) {
  priority_ = priority;
  showConstant(shownConstant_);
}

bool LayoutConstraint::setActive(bool active) {
  auto self = std::static_pointer_cast<LayoutConstraint>(shared_from_this());
  if (!active) {
    if (ViewPtr holder = holder_.lock()) holder->removeConstraint(self);
    return true;
  }
  if (isActive()) return true;
  ViewPtr last = lastHolder_.lock();
  return last && last->addConstraint(self);
}

void LayoutConstraint::showConstant(double constant) {
  shownConstant_ = constant;
  if (!gtk_) return;
  GtkWidget* widget = solvingWidget_;
  dropGtk();
  solveIn(widget);  // same place: the hierarchy did not change
}

void LayoutConstraint::solveIn(GtkWidget* widget) {
  ViewPtr first = firstItem();
  ViewPtr second = secondItem();
  if (!first || (hasSecondItem_ && !second)) return;
  // The solving widget itself is GTK's "super" (no target); the others are its children.
  auto target = [widget](const ViewPtr& view) -> gpointer {
    return view && view->widget() != widget ? view->widget() : nullptr;
  };
  const auto firstAttribute = GtkConstraintAttribute(firstAttribute_);
  const auto relation = GtkConstraintRelation(relation_);
  const int strength = strengthForPriority(priority_);
  const bool constantOnly = !hasSecondItem_ || secondAttribute_ == LayoutAttributeNotAnAttribute;
  solvingWidget_ = widget;
  layout_ = GTK_CONSTRAINT_LAYOUT(g_object_ref(gtk_widget_get_layout_manager(widget)));
  auto add = [this](GtkConstraint* made) {
    gtk_constraint_layout_add_constraint(layout_, GTK_CONSTRAINT(g_object_ref(made)));  // takes one reference
    return made;
  };
  if (relation == GTK_CONSTRAINT_RELATION_EQ || strength >= GTK_CONSTRAINT_STRENGTH_REQUIRED) {
    gtk_ =
        add(constantOnly
                ? gtk_constraint_new_constant(target(first), firstAttribute, relation, shownConstant_, strength)
                : gtk_constraint_new(target(first), firstAttribute, relation, target(second),
                                     GtkConstraintAttribute(secondAttribute_), multiplier_, shownConstant_, strength));
    return;
  }
  // GTK 4.8's solver corrupts its memory when it removes an inequality that is not required. The
  // same constraint is posed through a free variable t (a guide's left edge), without one:
  // first <= t or first >= t, required, and t == second × multiplier + constant at the strength.
  // The solver then keeps t at the right side wherever the inequality allows and pays the
  // weighted distance where it does not, as it would for the inequality itself.
  guide_ = gtk_constraint_guide_new();
  gtk_constraint_layout_add_guide(layout_, GTK_CONSTRAINT_GUIDE(g_object_ref(guide_)));
  gtk_ = add(gtk_constraint_new(target(first), firstAttribute, relation, guide_, GTK_CONSTRAINT_ATTRIBUTE_LEFT, 1, 0,
                                GTK_CONSTRAINT_STRENGTH_REQUIRED));
  helper_ = add(constantOnly ? gtk_constraint_new_constant(guide_, GTK_CONSTRAINT_ATTRIBUTE_LEFT,
                                                           GTK_CONSTRAINT_RELATION_EQ, shownConstant_, strength)
                             : gtk_constraint_new(guide_, GTK_CONSTRAINT_ATTRIBUTE_LEFT, GTK_CONSTRAINT_RELATION_EQ,
                                                  target(second), GtkConstraintAttribute(secondAttribute_), multiplier_,
                                                  shownConstant_, strength));
}

void LayoutConstraint::dropGtk() {
  if (!gtk_) return;
  for (GtkConstraint** made : {&gtk_, &helper_}) {
    if (!*made) continue;
    removeFromLayout(layout_, *made);
    g_object_unref(*made);
    *made = nullptr;
  }
  if (guide_) {
    gtk_constraint_layout_remove_guide(layout_, guide_);
    g_object_unref(guide_);
    guide_ = nullptr;
  }
  g_object_unref(layout_);
  gtk_ = nullptr;
  layout_ = nullptr;
  solvingWidget_ = nullptr;
}

void LayoutConstraint::resolve() {
  unsolve();
  ViewPtr holder = holder_.lock();
  if (!holder) return;
  if (GtkWidget* widget = ViewGlue::solvingWidget(*this, *holder)) solveIn(widget);
}

void LayoutConstraint::removeFromLayout(GtkConstraintLayout* layout, GtkConstraint* constraint) {
  if (gtk_constraint_is_attached(constraint)) {
    gtk_constraint_layout_remove_constraint(layout, constraint);
    return;
  }
  // A layout outside a window keeps its constraints detached, and GTK removes only attached
  // ones: take them all out and put back all but this one.
  GListModel* model = gtk_constraint_layout_observe_constraints(layout);
  std::vector<GtkConstraint*> others;
  for (guint i = 0, n = g_list_model_get_n_items(model); i < n; ++i) {
    auto* item = static_cast<GtkConstraint*>(g_list_model_get_item(model, i));
    if (item == constraint) {
      g_object_unref(item);
    } else {
      others.push_back(item);
    }
  }
  g_object_unref(model);
  gtk_constraint_layout_remove_all_constraints(layout);
  for (GtkConstraint* other : others) gtk_constraint_layout_add_constraint(layout, other);  // takes the reference
}

void LayoutConstraint::unsolve() {
  stopAnimation();
  dropGtk();
}

std::string LayoutConstraint::description() const {
  // A higher layer may give every layout constraint its own form, by name, as a category would.
  if (MethodImp imp = actualClass().methodForSelector("description"))
    return imp(const_cast<LayoutConstraint&>(*this), {}).asString();
  auto item = [](const ViewPtr& view) {
    return view ? format("%s:%p", view->widgetTypeName(), static_cast<const void*>(view->widget()))
                : std::string("nil");
  };
  static constexpr const char* kRelations[] = {"<=", "==", ">="};
  std::string text = format("<%s: %p> %s.%s %s", objectClass().name(), static_cast<const void*>(this),
                            item(firstItem()), attributeName(firstAttribute_), kRelations[relation_ + 1]);
  if (hasSecondItem_) text += format(" %s.%s × %g +", item(secondItem()), attributeName(secondAttribute_), multiplier_);
  return text + format(" %g @%g", constant_, static_cast<double>(priority_));
}

}  // namespace platform
