#pragma once

// Views: GTK 4 widgets seen as objects of our runtime. A View is the platform::Object that
// stands for one GtkWidget, so everything the object runtime offers (associated objects, weak
// references, deallocation hooks, descriptions) works on widgets. Code keeps using GTK's C API
// on View::widget() for everything else; this layer adds only what GTK lacks: identity, the
// constraints a view holds (see layout_constraint.h), and a plain container view.
//
// Identity and ownership:
// - View::forWidget(w) gives the one View of w, made on first use; the same View comes back for
//   as long as it lives, and it lives at least as long as its widget is in use.
// - The View holds a toggle reference on its widget. While anything else (a parent widget, GTK's
//   list of windows, any GObject reference) holds the widget too, the widget keeps its View
//   alive, so associated objects stay with the widget even when no code holds the View. Once
//   the View's reference is the widget's last, the View holds the widget alive for as long as code
//   holds the View, and both go when the last std::shared_ptr does. So a View made for a widget
//   nobody owns yet (a floating reference, taken over here) keeps it like any strong reference.
// - Parents own their children the GTK way (gtk_widget_set_parent, gtk_window_set_child, ...).
//
// Threads: GTK's rule applies: views and widgets belong to the main thread, which runs the main
// run loop (run_loop.h) on GLib's default main context, the same context GTK iterates, so main
// queue blocks, timers and GTK's frame clock all run there. gtk_init() must have been called on
// the main thread before any view is made. A View's last reference may be dropped on any thread:
// the widget and the GTK objects the view holds are then released on the main thread.

#include <memory>
#include <string>
#include <vector>

#include "platform/runtime/error.h"
#include "platform/runtime/object.h"

typedef struct _GtkWidget GtkWidget;

namespace platform {

class View;
class LayoutConstraint;
using ViewPtr = std::shared_ptr<View>;
using LayoutConstraintPtr = std::shared_ptr<LayoutConstraint>;

// Error domain of the interface layer; codes below.
inline constexpr std::string_view kInterfaceErrorDomain = "ZorvelInterfaceErrorDomain";
// The constraint names no view, or a view that is gone.
inline constexpr std::int64_t kInterfaceErrorMissingItem = 1;
// GTK cannot solve the constraint where the view holds it (see View::addConstraint).
inline constexpr std::int64_t kInterfaceErrorNotSolvableHere = 2;

class View : public Object {
  ZORVEL_CLASS(View, platform::Object)
 public:
  // The View of the widget (nullptr for nullptr).
  static ViewPtr forWidget(GtkWidget* widget);
  // A new plain view: an empty widget of type "ZorvelView" that lays out its children with a
  // GtkConstraintLayout and releases them when it goes.
  static ViewPtr make();
  ~View() override;

  GtkWidget* widget() const { return widget_; }
  // The widget's type name ("ZorvelView", "GtkLabel"): the class name a view goes by in texts.
  std::string widgetTypeName() const;
  // "<GtkLabel: 0x...>" with the widget's address.
  std::string description() const override;

  // --- Hierarchy ----------------------------------------------------------------------------------
  ViewPtr superview() const;
  std::vector<ViewPtr> subviews() const;
  // Makes the view a child of this one (gtk_widget_set_parent), taking it from its former parent
  // first. For widgets that lay out every child themselves (plain views, and any widget with a
  // layout manager); a window takes its content with gtk_window_set_child instead.
  void addSubview(const ViewPtr& view);
  void removeFromSuperview();
  // Whether this view's widget lays out its children by constraints (its layout manager is a
  // GtkConstraintLayout).
  bool laysOutByConstraints() const;

  // GTK has no autoresizing masks to turn into constraints: the flag (true until set) is kept
  // for callers that state how a view is placed.
  bool translatesAutoresizingMaskIntoConstraints() const { return translatesAutoresizingMask_; }
  void setTranslatesAutoresizingMaskIntoConstraints(bool translates) { translatesAutoresizingMask_ = translates; }

  // --- Constraints held by this view ---------------------------------------------------------------
  // GTK solves constraints in the GtkConstraintLayout of one widget, between that widget and its
  // direct children. A view therefore holds:
  // - constraints between itself and its children, or among its children, when it lays out by
  //   constraints;
  // - constraints on itself alone (a constant width or height). GTK solves those in the
  //   parent's layout when the parent lays out by constraints (beside the view's position),
  //   otherwise in the view's own layout, where they become its requested size (the content of a
  //   window); while neither is possible they wait, held, until the view gets such a parent.
  // Anything else cannot be solved by GTK: addConstraint then refuses it (false, with an Error of
  // kInterfaceErrorDomain) and changes nothing.
  //
  // A held constraint is active. When a view leaves its parent, the constraints that no longer
  // fit where they are held are removed, as the platform removes the constraints of a view
  // taken out of its superview.
  bool addConstraint(const LayoutConstraintPtr& constraint, ErrorPtr* error = nullptr);
  void removeConstraint(const LayoutConstraintPtr& constraint);
  // The constraints this view holds, in the order they were added.
  const std::vector<LayoutConstraintPtr>& constraints() const { return constraints_; }

 private:
  friend class LayoutConstraint;
  friend struct ViewGlue;
  explicit View(GtkWidget* widget);

  // Called when the widget's parent changed: constraints naming this view are checked again.
  void parentChanged();
  void noteReferrer(const LayoutConstraintPtr& constraint);

  GtkWidget* const widget_;
  unsigned long parentHandler_ = 0;
  bool translatesAutoresizingMask_ = true;
  std::vector<LayoutConstraintPtr> constraints_;
  // Active constraints (held here or elsewhere) that name this view as an item.
  std::vector<std::weak_ptr<LayoutConstraint>> referrers_;
};

}  // namespace platform
