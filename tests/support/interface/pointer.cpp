#include "support/interface/pointer.h"

#include <gdk/x11/gdkx.h>

#include <cmath>
#include <string>
#include <vector>

namespace zorvel::test {

namespace {

bool xdotool(GtkWidget* widget, double x, double y, bool press) {
  GtkNative* native = gtk_widget_get_native(widget);
  if (!native || !gtk_widget_get_mapped(widget)) return false;
  GdkSurface* surface = gtk_native_get_surface(native);
  if (!surface || !GDK_IS_X11_SURFACE(surface)) return false;
  graphene_point_t point;
  const graphene_point_t local = GRAPHENE_POINT_INIT(static_cast<float>(x), static_cast<float>(y));
  if (!gtk_widget_compute_point(widget, GTK_WIDGET(native), &local, &point)) return false;
  double offsetX = 0, offsetY = 0;
  gtk_native_get_surface_transform(native, &offsetX, &offsetY);
  const std::string window = std::to_string(gdk_x11_surface_get_xid(surface));
  const std::string px = std::to_string(std::lround(point.x + offsetX));
  const std::string py = std::to_string(std::lround(point.y + offsetY));
  std::vector<std::string> args = {"xdotool", "mousemove", "--window", window, px, py};
  if (press) args.insert(args.end(), {"click", "1"});
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  gint status = -1;
  if (!g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr, nullptr, &status,
                    nullptr)) {
    return false;
  }
  return g_spawn_check_wait_status(status, nullptr);
}

}  // namespace

bool movePointer(GtkWidget* widget, double x, double y) { return xdotool(widget, x, y, false); }

bool click(GtkWidget* widget, double x, double y) { return xdotool(widget, x, y, true); }

}  // namespace zorvel::test
