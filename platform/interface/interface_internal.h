#pragma once

#ifndef ZORVEL_INTERNAL_platform_interface
#error "platform/interface/interface_internal.h is internal to the interface toolkit glue"
#endif

// Internal to the interface layer (view.cpp, layout_constraint.cpp).

#include <gtk/gtk.h>

#include "platform/interface/layout_constraint.h"
#include "platform/interface/view.h"

namespace platform {

struct ViewGlue {
  // The widget whose constraint layout can solve the constraint while `holder` holds it, or
  // nullptr (see View::addConstraint).
  static GtkWidget* solvingWidget(const LayoutConstraint& constraint, const View& holder);
  static void onToggle(gpointer data, GObject* object, gboolean isLastRef);
  static void onParentNotify(GObject* object, GParamSpec* spec, gpointer data);
};

}  // namespace platform
