#pragma once

// Real pointer input for interface tests: moves the X server's pointer with xdotool (XTEST), so
// GTK sees the same crossing and motion events a user's mouse gives.
//
// Threads: main thread only.

#include <gtk/gtk.h>

namespace zorvel::test {

// Moves the pointer to (x, y) in the widget's coordinates; the widget must be mapped. Returns
// false when the move could not be made (no X11 surface, xdotool missing or failing).
[[nodiscard]] bool movePointer(GtkWidget* widget, double x, double y);

// Presses and releases button 1 at (x, y) in the widget's coordinates.
[[nodiscard]] bool click(GtkWidget* widget, double x, double y);

}  // namespace zorvel::test
