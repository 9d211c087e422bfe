#pragma once

// Looking at an interface in tests without comparing pixels: a JSON dump of a widget tree that
// tests assert on, and screenshots of a widget saved as PNG for a person to look at (artefacts,
// never compared).
//
// Threads: main thread only, like every GTK call.

#include <gtk/gtk.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace zorvel::test {

// The widget and its descendants, each as
//   {"type": "GtkLabel", "id": "nameLabel", "text": "Birthday", "visible": true,
//    "sensitive": true, "geometry": {"x": 10, "y": 4, "width": 120, "height": 17},
//    "children": [...]}
// - "id": the id the widget had in its layout file (GtkBuilder), else the name set with
//   gtk_widget_set_name, else absent.
// - "text": a label's text, a button's or check button's label, an editable's text; absent
//   for other widgets.
// - "visible": whether the widget is drawn (it and all its ancestors are visible);
//   "sensitive": whether it takes input (it and its ancestors are sensitive).
// - "geometry": the widget's bounds in `root`'s coordinates, rounded to whole points; absent
//   while the widget has no allocation.
// A hidden widget is in the dump, marked, but its children are left out (the dump shows what is
// visible), and so are popovers that are not open; pass includeHidden to see them all.
nlohmann::json widgetTree(GtkWidget* root, bool includeHidden = false);

// The first node of the dump (depth first) whose "id" is `id`.
std::optional<nlohmann::json> findWidget(const nlohmann::json& tree, const std::string& id);

// Renders the widget with its window's renderer and saves it as `name`.png in the folder named
// by ZORVEL_TEST_ARTIFACTS (the current folder when unset). The widget must be mapped and laid
// out. Returns the file's path, or nullopt when nothing could be rendered or saved.
[[nodiscard]] std::optional<std::string> saveScreenshot(GtkWidget* widget, const std::string& name);

}  // namespace zorvel::test
