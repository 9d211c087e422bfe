#include "app/ui/ZRVResizablePopover.h"

#include <algorithm>
#include <cmath>

#include "platform/codecs/keyed_archiver.h"
#include "platform/system/diagnostics.h"

// Last: Xlib's macros (Bool, Status, ...) would break the headers above.
#ifdef GDK_WINDOWING_X11
#include <X11/Xlib.h>
#include <gdk/x11/gdkx.h>
#endif

void ZRVResizablePopoverContentSize::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeDouble(size_.width, "width");
  coder.encodeDouble(size_.height, "height");
}

bool ZRVResizablePopoverContentSize::initWithCoder(platform::KeyedUnarchiver& coder) {
  if (!coder.containsValue("width") || !coder.containsValue("height")) return false;
  size_ = {coder.decodeDouble("width"), coder.decodeDouble("height")};
  return true;
}

namespace {

// The work area of the display's first monitor (the whole monitor where the backend has none).
std::optional<platform::Rect> firstMonitorWorkArea() {
  GdkDisplay* display = gdk_display_get_default();
  if (!display) return std::nullopt;
  GListModel* monitors = gdk_display_get_monitors(display);
  if (g_list_model_get_n_items(monitors) == 0) return std::nullopt;
  auto* monitor = static_cast<GdkMonitor*>(g_list_model_get_item(monitors, 0));
  GdkRectangle area{};
#ifdef GDK_WINDOWING_X11
  if (GDK_IS_X11_MONITOR(monitor)) {
    gdk_x11_monitor_get_workarea(monitor, &area);
  } else {
    gdk_monitor_get_geometry(monitor, &area);
  }
#else
  gdk_monitor_get_geometry(monitor, &area);
#endif
  g_object_unref(monitor);
  return platform::Rect{{static_cast<double>(area.x), static_cast<double>(area.y)},
                        {static_cast<double>(area.width), static_cast<double>(area.height)}};
}

std::optional<double> firstMonitorVisibleHeight() {
  auto area = firstMonitorWorkArea();
  return area ? std::optional<double>(area->size.height) : std::nullopt;
}

// The y of a point of the gesture's widget in its window. The pointer is followed in window
// coordinates: the window's top edge stays where it is while it grows or shrinks downward, so they
// do not move with the corner.
bool pointInWindow(GtkGesture* gesture, double x, double y, double* out) {
  GtkWidget* widget = gtk_event_controller_get_widget(GTK_EVENT_CONTROLLER(gesture));
  GtkWidget* root = GTK_WIDGET(gtk_widget_get_root(widget));
  double wx = 0, wy = 0;
  if (!root || !gtk_widget_translate_coordinates(widget, root, x, y, &wx, &wy)) return false;
  *out = wy;
  return true;
}

}  // namespace

ZRVResizablePopoverPtr ZRVResizablePopover::make(platform::UserDefaultsPtr defaults, VisibleHeight visibleHeight) {
  return platform::make<ZRVResizablePopover>(
      defaults ? std::move(defaults) : platform::UserDefaults::standardUserDefaults(),
      visibleHeight ? std::move(visibleHeight) : VisibleHeight(firstMonitorVisibleHeight));
}

ZRVResizablePopover::ZRVResizablePopover(platform::UserDefaultsPtr defaults, VisibleHeight visibleHeight)
    : defaults_(std::move(defaults)), visibleHeight_(std::move(visibleHeight)) {
  GtkWidget* window = gtk_window_new();
  gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
  gtk_window_set_resizable(GTK_WINDOW(window), TRUE);
  window_ = platform::View::forWidget(window);
  // Kept out of the taskbar and pager once it has a surface.
  g_signal_connect(window, "realize", G_CALLBACK(+[](GtkWidget* widget, gpointer) {
#ifdef GDK_WINDOWING_X11
                     GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(widget));
                     if (GDK_IS_X11_SURFACE(surface)) {
                       gdk_x11_surface_set_skip_taskbar_hint(surface, TRUE);
                       gdk_x11_surface_set_skip_pager_hint(surface, TRUE);
                     }
#else
                     (void)widget;
#endif
                   }),
                   nullptr);
}

ZRVResizablePopover::~ZRVResizablePopover() {
  if (mapHandler_) g_signal_handler_disconnect(window_->widget(), mapHandler_);
  gtk_window_destroy(GTK_WINDOW(window_->widget()));
}

platform::Rect ZRVResizablePopover::frameForPoint(platform::Point p, platform::Size size, platform::Rect area) {
  constexpr double kGap = 4;
  double x = std::round(p.x - size.width / 2);
  const bool upperHalf = p.y < area.origin.y + area.size.height / 2;
  double y = upperHalf ? p.y + kGap : p.y - kGap - size.height;
  x = std::max(area.origin.x, std::min(x, area.origin.x + area.size.width - size.width));
  y = std::max(area.origin.y, std::min(y, area.origin.y + area.size.height - size.height));
  return {{x, y}, size};
}

void ZRVResizablePopover::showAtPoint(std::optional<platform::Point> point) {
  GtkWidget* window = window_->widget();
  GdkDisplay* display = gtk_widget_get_display(window);
#ifdef GDK_WINDOWING_X11
  if (GDK_IS_X11_DISPLAY(display)) {
    if (!point || (point->x == 0 && point->y == 0)) {
      // The pointer's position on the root window.
      Display* xdisplay = gdk_x11_display_get_xdisplay(display);
      Window root = 0, child = 0;
      int rootX = 0, rootY = 0, winX = 0, winY = 0;
      unsigned int mask = 0;
      if (XQueryPointer(xdisplay, DefaultRootWindow(xdisplay), &root, &child, &rootX, &rootY, &winX, &winY, &mask))
        point = platform::Point{static_cast<double>(rootX), static_cast<double>(rootY)};
    }
    const auto area = firstMonitorWorkArea();
    if (point && area) {
      platform::Size size = contentSize();
      if (size.width <= 0 || size.height <= 0) {
        int minimum = 0, natural = 0;
        gtk_widget_measure(window, GTK_ORIENTATION_HORIZONTAL, -1, &minimum, &natural, nullptr, nullptr);
        size.width = natural;
        gtk_widget_measure(window, GTK_ORIENTATION_VERTICAL, natural, &minimum, &natural, nullptr, nullptr);
        size.height = natural;
      }
      placedFrame_ = frameForPoint(*point, size, *area);
      // Moved when mapped, before its first frame, so nothing visibly jumps.
      if (!mapHandler_) {
        mapHandler_ = g_signal_connect_swapped(
            window, "map", G_CALLBACK(+[](ZRVResizablePopover* self) { self->moveToPlacedFrame(); }), this);
      }
      if (gtk_widget_get_mapped(window)) moveToPlacedFrame();
    }
  }
#else
  (void)display;
  (void)point;
#endif
  gtk_window_present(GTK_WINDOW(window));
}

void ZRVResizablePopover::moveToPlacedFrame() {
#ifdef GDK_WINDOWING_X11
  GtkWidget* window = window_->widget();
  GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window));
  if (!placedFrame_ || !surface || !GDK_IS_X11_SURFACE(surface)) return;
  Display* xdisplay = gdk_x11_display_get_xdisplay(gtk_widget_get_display(window));
  XMoveWindow(xdisplay, gdk_x11_surface_get_xid(surface), static_cast<int>(placedFrame_->origin.x),
              static_cast<int>(placedFrame_->origin.y));
  XFlush(xdisplay);
#endif
}

void ZRVResizablePopover::setContentView(const platform::ViewPtr& content) {
  gtk_window_set_child(GTK_WINDOW(window_->widget()), content ? content->widget() : nullptr);
}

platform::Size ZRVResizablePopover::contentSize() const {
  int width = 0, height = 0;
  gtk_window_get_default_size(GTK_WINDOW(window_->widget()), &width, &height);
  if (width <= 0) width = gtk_widget_get_width(window_->widget());
  if (height <= 0) height = gtk_widget_get_height(window_->widget());
  return {static_cast<double>(width), static_cast<double>(height)};
}

void ZRVResizablePopover::setContentSize(platform::Size size) {
  gtk_window_set_default_size(GTK_WINDOW(window_->widget()), static_cast<int>(size.width),
                              static_cast<int>(size.height));
}

double ZRVResizablePopover::maxHeight() {
  const std::optional<double> visible = visibleHeight_ ? visibleHeight_() : std::nullopt;
  return visible.value_or(0) - kScreenMargin;
}

double ZRVResizablePopover::clampedHeight(double height) {
  // The minimum wins over a screen too short for it (or none): the panel never gets a height below
  // its minimum, let alone a negative one.
  return std::max(std::min(height, maxHeight()), minHeight());
}

platform::Size ZRVResizablePopover::archivedContentSize() const {
  const platform::Value stored = defaults_->objectForKey(kContentSizeKey);
  if (!stored.isData()) return {};
  platform::AllowedClasses allowed({&ZRVResizablePopoverContentSize::staticClass()});
  const platform::Value root = platform::KeyedUnarchiver::unarchivedObjectOfClasses(allowed, stored.asData());
  auto size = root.isObject() ? std::dynamic_pointer_cast<ZRVResizablePopoverContentSize>(root.asObject()) : nullptr;
  return size ? size->size() : platform::Size{};
}

void ZRVResizablePopover::loadContentSizeFromUserDefaults() {
  platform::Size size = archivedContentSize();
  if (!(size.height > 0)) return;
  // Too tall for the screen is cut down, too short to use is raised; either way the result is
  // stored again.
  const double height = clampedHeight(size.height);
  if (height != size.height) {
    size.height = height;
    if (!saveContentSize(size)) ZORVEL_DIAGNOSTIC_WARNING("The panel's clamped size could not be stored");
  }
  setContentSize(size);
}

bool ZRVResizablePopover::saveContentSize(platform::Size size) {
  const platform::Bytes data =
      platform::KeyedArchiver::archivedData(platform::Value(platform::make<ZRVResizablePopoverContentSize>(size)));
  if (!defaults_->setObject(platform::Value(data), kContentSizeKey)) return false;
  return defaults_->synchronize();
}

void ZRVResizablePopover::didStartResizing() {
  savedAnimates_ = animates_;
  animates_ = false;
}

void ZRVResizablePopover::didChangedContentSize(platform::Size size) { setContentSize(size); }

void ZRVResizablePopover::didEndResizing() {
  animates_ = savedAnimates_;
  if (!saveContentSize(contentSize())) ZORVEL_DIAGNOSTIC_WARNING("The panel's size could not be stored");
}

void ZRVResizablePopover::installResizeCorner(GtkWidget* corner) {
  gtk_widget_set_cursor_from_name(corner, "ns-resize");
  GtkGesture* drag = gtk_gesture_drag_new();
  std::weak_ptr<ZRVResizablePopover> weak = std::static_pointer_cast<ZRVResizablePopover>(shared_from_this());
  using Weak = std::weak_ptr<ZRVResizablePopover>;
  auto destroy = [](gpointer data, GClosure*) { delete static_cast<Weak*>(data); };
  g_signal_connect_data(drag, "drag-begin", G_CALLBACK(+[](GtkGestureDrag* gesture, double x, double y, gpointer data) {
                          auto self = static_cast<Weak*>(data)->lock();
                          if (!self || !pointInWindow(GTK_GESTURE(gesture), x, y, &self->dragStartY_)) return;
                          self->dragStartHeight_ = self->contentSize().height;
                          self->didStartResizing();
                        }),
                        new Weak(weak), destroy, GConnectFlags(0));
  g_signal_connect_data(drag, "drag-update",
                        G_CALLBACK(+[](GtkGestureDrag* gesture, double dx, double dy, gpointer data) {
                          auto self = static_cast<Weak*>(data)->lock();
                          if (!self) return;
                          double startX = 0;
                          double startY = 0;
                          double y = 0;
                          gtk_gesture_drag_get_start_point(gesture, &startX, &startY);
                          if (!pointInWindow(GTK_GESTURE(gesture), startX + dx, startY + dy, &y)) return;
                          const double height = self->clampedHeight(self->dragStartHeight_ + (y - self->dragStartY_));
                          self->didChangedContentSize({self->contentSize().width, height});
                        }),
                        new Weak(weak), destroy, GConnectFlags(0));
  g_signal_connect_data(drag, "drag-end", G_CALLBACK(+[](GtkGestureDrag*, double, double, gpointer data) {
                          if (auto self = static_cast<Weak*>(data)->lock()) self->didEndResizing();
                        }),
                        new Weak(weak), destroy, GConnectFlags(0));
  gtk_widget_add_controller(corner, GTK_EVENT_CONTROLLER(drag));
}
