#include "app/ui/ZRVResizablePopover.h"

#include <algorithm>

#ifdef GDK_WINDOWING_X11
#include <gdk/x11/gdkx.h>
#endif

#include "platform/codecs/keyed_archiver.h"
#include "platform/system/diagnostics.h"

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
std::optional<double> firstMonitorVisibleHeight() {
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
  return area.height;
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

ZRVResizablePopover::~ZRVResizablePopover() { gtk_window_destroy(GTK_WINDOW(window_->widget())); }

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
