#pragma once

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
