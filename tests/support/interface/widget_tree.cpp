#include "support/interface/widget_tree.h"

#include <cmath>
#include <cstdlib>

namespace zorvel::test {

namespace {

std::optional<std::string> widgetId(GtkWidget* widget) {
  if (const char* id = gtk_buildable_get_buildable_id(GTK_BUILDABLE(widget)); id && *id) return std::string(id);
  const char* name = gtk_widget_get_name(widget);
  if (name && *name && g_strcmp0(name, G_OBJECT_TYPE_NAME(widget)) != 0) return std::string(name);
  return std::nullopt;
}

std::optional<std::string> widgetText(GtkWidget* widget) {
  if (GTK_IS_LABEL(widget)) return std::string(gtk_label_get_text(GTK_LABEL(widget)));
  if (GTK_IS_BUTTON(widget)) {
    const char* label = gtk_button_get_label(GTK_BUTTON(widget));
    if (label) return std::string(label);
    return std::nullopt;
  }
  if (GTK_IS_CHECK_BUTTON(widget)) {
    const char* label = gtk_check_button_get_label(GTK_CHECK_BUTTON(widget));
    if (label) return std::string(label);
    return std::nullopt;
  }
  if (GTK_IS_EDITABLE(widget)) return std::string(gtk_editable_get_text(GTK_EDITABLE(widget)));
  return std::nullopt;
}

nlohmann::json dump(GtkWidget* widget, GtkWidget* root, bool includeHidden) {
  nlohmann::json node;
  node["type"] = G_OBJECT_TYPE_NAME(widget);
  if (auto id = widgetId(widget)) node["id"] = *id;
  if (auto text = widgetText(widget)) node["text"] = *text;
  const bool visible = gtk_widget_is_visible(widget);
  node["visible"] = visible;
  node["sensitive"] = static_cast<bool>(gtk_widget_is_sensitive(widget));
  graphene_rect_t bounds;
  if (gtk_widget_get_mapped(widget) && gtk_widget_compute_bounds(widget, root, &bounds)) {
    node["geometry"] = {{"x", std::lround(bounds.origin.x)},
                        {"y", std::lround(bounds.origin.y)},
                        {"width", std::lround(bounds.size.width)},
                        {"height", std::lround(bounds.size.height)}};
  }
  nlohmann::json children = nlohmann::json::array();
  if (visible || includeHidden) {
    for (GtkWidget* child = gtk_widget_get_first_child(widget); child; child = gtk_widget_get_next_sibling(child)) {
      // Popovers and other native children are surfaces of their own: shown only while mapped.
      if (GTK_IS_NATIVE(child) && !gtk_widget_get_mapped(child) && !includeHidden) continue;
      children.push_back(dump(child, root, includeHidden));
    }
  }
  if (!children.empty()) node["children"] = std::move(children);
  return node;
}

}  // namespace

nlohmann::json widgetTree(GtkWidget* root, bool includeHidden) { return dump(root, root, includeHidden); }

std::optional<nlohmann::json> findWidget(const nlohmann::json& tree, const std::string& id) {
  if (tree.contains("id") && tree["id"] == id) return tree;
  if (tree.contains("children")) {
    for (const nlohmann::json& child : tree["children"]) {
      if (auto found = findWidget(child, id)) return found;
    }
  }
  return std::nullopt;
}

std::optional<std::string> saveScreenshot(GtkWidget* widget, const std::string& name) {
  GtkNative* native = gtk_widget_get_native(widget);
  if (!native || !gtk_widget_get_mapped(widget)) return std::nullopt;
  GskRenderer* renderer = gtk_native_get_renderer(native);
  const int width = gtk_widget_get_width(widget);
  const int height = gtk_widget_get_height(widget);
  if (!renderer || width <= 0 || height <= 0) return std::nullopt;
  GdkPaintable* paintable = gtk_widget_paintable_new(widget);
  GtkSnapshot* snapshot = gtk_snapshot_new();
  gdk_paintable_snapshot(paintable, GDK_SNAPSHOT(snapshot), width, height);
  GskRenderNode* node = gtk_snapshot_free_to_node(snapshot);
  g_object_unref(paintable);
  if (!node) return std::nullopt;
  graphene_rect_t viewport = GRAPHENE_RECT_INIT(0, 0, static_cast<float>(width), static_cast<float>(height));
  GdkTexture* texture = gsk_renderer_render_texture(renderer, node, &viewport);
  gsk_render_node_unref(node);
  if (!texture) return std::nullopt;
  const char* folder = std::getenv("ZORVEL_TEST_ARTIFACTS");
  std::string path = std::string(folder && *folder ? folder : ".") + "/" + name + ".png";
  const bool saved = gdk_texture_save_to_png(texture, path.c_str());
  g_object_unref(texture);
  if (!saved) return std::nullopt;
  return path;
}

}  // namespace zorvel::test
