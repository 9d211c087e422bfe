#include "platform/interface/view.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <utility>

#include "platform/dispatch/dispatch.h"
#include "platform/interface/interface_internal.h"
#include "platform/interface/layout_constraint.h"
#include "platform/runtime/format.h"
#include "platform/runtime/thread.h"

// The plain view's widget: no content of its own, children laid out by a GtkConstraintLayout.
struct ZorvelView {
  GtkWidget parent_instance;
};
struct ZorvelViewClass {
  GtkWidgetClass parent_class;
};
G_DEFINE_TYPE(ZorvelView, zorvel_view, GTK_TYPE_WIDGET)

static void zorvel_view_dispose(GObject* object) {
  while (GtkWidget* child = gtk_widget_get_first_child(GTK_WIDGET(object))) gtk_widget_unparent(child);
  G_OBJECT_CLASS(zorvel_view_parent_class)->dispose(object);
}

static void zorvel_view_class_init(ZorvelViewClass* cls) {
  G_OBJECT_CLASS(cls)->dispose = zorvel_view_dispose;
  gtk_widget_class_set_layout_manager_type(GTK_WIDGET_CLASS(cls), GTK_TYPE_CONSTRAINT_LAYOUT);
}

static void zorvel_view_init(ZorvelView*) {}

namespace platform {

namespace {

GQuark viewQuark() {
  static const GQuark quark = g_quark_from_static_string("zorvel-view");
  return quark;
}

// Kept on the widget (as GObject data) from its first View on.
struct ViewLink {
  std::weak_ptr<View> weak;
  // Set while something besides the View holds the widget: the widget then keeps its View.
  std::shared_ptr<View> strong;
};

void deleteLink(gpointer data) { delete static_cast<ViewLink*>(data); }

ViewLink* linkOf(GtkWidget* widget) {
  return static_cast<ViewLink*>(g_object_get_qdata(G_OBJECT(widget), viewQuark()));
}

void deleteWeakView(gpointer data, GClosure*) { delete static_cast<std::weak_ptr<View>*>(data); }

}  // namespace

void ViewGlue::onToggle(gpointer, GObject* object, gboolean isLastRef) {
  ViewLink* link = static_cast<ViewLink*>(g_object_get_qdata(object, viewQuark()));
  if (!link) return;
  if (isLastRef) {
    // Only the View holds the widget now. Dropping the widget's hold may end the View, and with
    // it the widget and this link: nothing touches them afterwards.
    std::shared_ptr<View> released = std::move(link->strong);
  } else {
    link->strong = link->weak.lock();
  }
}

void ViewGlue::onParentNotify(GObject*, GParamSpec*, gpointer data) {
  if (ViewPtr view = static_cast<std::weak_ptr<View>*>(data)->lock()) view->parentChanged();
}

GtkWidget* ViewGlue::solvingWidget(const LayoutConstraint& constraint, const View& holder) {
  ViewPtr first = constraint.firstItem();
  ViewPtr second = constraint.secondItem();
  if (!first || (constraint.hasSecondItem_ && !second)) return nullptr;
  auto fits = [&](GtkWidget* widget) {
    if (!widget || !GTK_IS_CONSTRAINT_LAYOUT(gtk_widget_get_layout_manager(widget))) return false;
    for (const ViewPtr& item : {first, second}) {
      if (item && item->widget() != widget && gtk_widget_get_parent(item->widget()) != widget) return false;
    }
    return true;
  };
  if (constraint.isOnlyAbout(holder)) {
    if (GtkWidget* parent = gtk_widget_get_parent(holder.widget()); fits(parent)) return parent;
  }
  return fits(holder.widget()) ? holder.widget() : nullptr;
}

View::View(GtkWidget* widget) : widget_(widget) {}

ViewPtr View::forWidget(GtkWidget* widget) {
  if (!widget) return nullptr;
  ViewLink* link = linkOf(widget);
  if (link) {
    if (ViewPtr view = link->weak.lock()) return view;
  } else {
    link = new ViewLink;
    g_object_set_qdata_full(G_OBJECT(widget), viewQuark(), link, deleteLink);
  }
  ViewPtr view = platform::make<View>(widget);
  link->weak = view;
  view->parentHandler_ = g_signal_connect_data(widget, "notify::parent", G_CALLBACK(ViewGlue::onParentNotify),
                                               new std::weak_ptr<View>(view), deleteWeakView, GConnectFlags(0));
  GObject* object = G_OBJECT(widget);
  const bool floating = g_object_is_floating(object);
  if (floating) g_object_ref_sink(object);
  g_object_add_toggle_ref(object, ViewGlue::onToggle, view.get());
  if (floating) {
    g_object_unref(object);  // nobody owned it: the View's reference is now its only one
  } else {
    link->strong = view;
  }
  return view;
}

ViewPtr View::make() { return forWidget(GTK_WIDGET(g_object_new(zorvel_view_get_type(), nullptr))); }

View::~View() {
  // GTK objects are released on the main thread, whichever thread lets the View go.
  auto release = [widget = widget_, data = static_cast<void*>(this), handler = parentHandler_,
                  held = std::move(constraints_)]() mutable {
    for (const LayoutConstraintPtr& constraint : held) constraint->unsolve();
    held.clear();
    g_signal_handler_disconnect(widget, handler);
    // Held across the removal so that a View made for the widget meanwhile learns whether the
    // widget is still held by others (the unref below then tells it, as a toggle notification).
    g_object_ref(widget);
    g_object_remove_toggle_ref(G_OBJECT(widget), ViewGlue::onToggle, data);
    if (ViewLink* link = linkOf(widget)) link->strong = link->weak.lock();
    g_object_unref(widget);
  };
  if (isMainThread()) {
    release();
  } else {
    DispatchQueue::main()->async(std::move(release));
  }
}

std::string View::widgetTypeName() const { return G_OBJECT_TYPE_NAME(widget_); }

std::string View::description() const {
  return format("<%s: %p>", widgetTypeName(), static_cast<const void*>(widget_));
}

ViewPtr View::superview() const { return forWidget(gtk_widget_get_parent(widget_)); }

std::vector<ViewPtr> View::subviews() const {
  std::vector<ViewPtr> views;
  for (GtkWidget* child = gtk_widget_get_first_child(widget_); child; child = gtk_widget_get_next_sibling(child))
    views.push_back(forWidget(child));
  return views;
}

void View::addSubview(const ViewPtr& view) {
  if (!view || view.get() == this) return;
  if (gtk_widget_get_parent(view->widget_) == widget_) return;
  view->removeFromSuperview();
  gtk_widget_set_parent(view->widget_, widget_);
}

void View::removeFromSuperview() {
  if (gtk_widget_get_parent(widget_)) gtk_widget_unparent(widget_);
}

bool View::laysOutByConstraints() const { return GTK_IS_CONSTRAINT_LAYOUT(gtk_widget_get_layout_manager(widget_)); }

bool View::addConstraint(const LayoutConstraintPtr& constraint, ErrorPtr* error) {
  if (!constraint) return false;
  if (constraint->holder().get() == this) return true;
  auto fail = [&](std::int64_t code, std::string text) {
    if (error) *error = Error::withDescription(std::string(kInterfaceErrorDomain), code, std::move(text));
    return false;
  };
  ViewPtr first = constraint->firstItem();
  ViewPtr second = constraint->secondItem();
  if (!first || (constraint->hasSecondItem_ && !second))
    return fail(kInterfaceErrorMissingItem, "The constraint names no view, or a view that is gone.");
  if (!constraint->isOnlyAbout(*this) && !ViewGlue::solvingWidget(*constraint, *this))
    return fail(kInterfaceErrorNotSolvableHere,
                format("%@ cannot hold %@: GTK solves a constraint in the layout of one widget that lays out by "
                       "constraints, between it and its direct children.",
                       description(), constraint->description()));
  if (ViewPtr previous = constraint->holder()) previous->removeConstraint(constraint);
  auto self = std::static_pointer_cast<View>(shared_from_this());
  constraints_.push_back(constraint);
  constraint->holder_ = self;
  constraint->lastHolder_ = self;
  first->noteReferrer(constraint);
  if (second && second != first) second->noteReferrer(constraint);
  constraint->resolve();
  return true;
}

void View::removeConstraint(const LayoutConstraintPtr& constraint) {
  auto found = std::find(constraints_.begin(), constraints_.end(), constraint);
  if (found == constraints_.end()) return;
  LayoutConstraintPtr keep = *found;
  constraints_.erase(found);
  keep->unsolve();
  keep->holder_.reset();
}

void View::noteReferrer(const LayoutConstraintPtr& constraint) {
  std::erase_if(referrers_, [&](const std::weak_ptr<LayoutConstraint>& weak) {
    LayoutConstraintPtr c = weak.lock();
    return !c || !c->isActive() || c == constraint;
  });
  referrers_.push_back(constraint);
}

void View::parentChanged() {
  std::vector<LayoutConstraintPtr> naming;
  for (const auto& weak : referrers_) {
    if (LayoutConstraintPtr c = weak.lock(); c && c->isActive()) naming.push_back(c);
  }
  for (const LayoutConstraintPtr& constraint : naming) {
    ViewPtr holder = constraint->holder();
    if (!holder) continue;
    if (constraint->isOnlyAbout(*holder) || ViewGlue::solvingWidget(*constraint, *holder)) {
      constraint->resolve();
    } else {
      holder->removeConstraint(constraint);
    }
  }
}

}  // namespace platform
