#include "app/ui/ZRVEventMonitor.h"

#include <glib-unix.h>

#include <utility>
#include <vector>

// Xlib's macros (None, Status, Bool...) stay below every other header.
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <gdk/x11/gdkx.h>

namespace {

// A focus loss must last this long to count as an outside click: opening or closing one of our own
// popovers takes the focus away for a fraction of a millisecond.
constexpr guint kFocusLossDebounceMilliseconds = 100;

using WeakMonitor = std::weak_ptr<ZRVEventMonitor>;

WeakMonitor* newWeakBox(ZRVEventMonitor& monitor) {
  return new WeakMonitor(std::static_pointer_cast<ZRVEventMonitor>(monitor.shared_from_this()));
}
void deleteWeakBox(gpointer box) { delete static_cast<WeakMonitor*>(box); }
void deleteWeakBoxClosure(gpointer box, GClosure*) { delete static_cast<WeakMonitor*>(box); }

// Whether a point of the screen lies inside one of the application's own visible windows.
bool insideOwnWindow(Display* display, int x, int y) {
  bool inside = false;
  GList* toplevels = gtk_window_list_toplevels();
  for (GList* item = toplevels; item && !inside; item = item->next) {
    GtkWidget* window = GTK_WIDGET(item->data);
    if (!gtk_widget_get_mapped(window)) continue;
    GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window));
    if (!surface || !GDK_IS_X11_SURFACE(surface)) continue;
    const ::Window xid = gdk_x11_surface_get_xid(surface);
    ::Window root = 0, child = 0;
    int wx = 0, wy = 0;
    unsigned width = 0, height = 0, border = 0, depth = 0;
    if (!XGetGeometry(display, xid, &root, &wx, &wy, &width, &height, &border, &depth)) continue;
    if (!XTranslateCoordinates(display, xid, root, 0, 0, &wx, &wy, &child)) continue;
    inside = x >= wx && y >= wy && x < wx + static_cast<int>(width) && y < wy + static_cast<int>(height);
  }
  g_list_free(toplevels);
  return inside;
}

// Whether any of the application's windows other than `except` is active.
bool anotherOwnWindowActive(GtkWindow* except) {
  bool active = false;
  GList* toplevels = gtk_window_list_toplevels();
  for (GList* item = toplevels; item; item = item->next) {
    if (item->data != except && gtk_window_is_active(GTK_WINDOW(item->data))) active = true;
  }
  g_list_free(toplevels);
  return active;
}

unsigned keyCodeForKeyval(guint keyval) {
  switch (keyval) {
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
      return ZRVKeyCodeReturn;
    case GDK_KEY_Escape:
      return ZRVKeyCodeEscape;
    default:
      return 0;
  }
}

}  // namespace

struct ZRVEventMonitor::Installation {
  // Global: the raw-press watch on a display connection of our own.
  Display* display = nullptr;
  int inputOpcode = 0;
  guint displaySource = 0;
  // Global: the focus-out trigger.
  GWeakRef focusWindow;
  gulong activeHandler = 0;
  guint debounceSource = 0;
  // Local: the key controller and the widget it is attached to.
  GWeakRef keyTarget;
  GtkEventController* keyController = nullptr;

  Installation() {
    g_weak_ref_init(&focusWindow, nullptr);
    g_weak_ref_init(&keyTarget, nullptr);
  }
  ~Installation() {
    if (displaySource) g_source_remove(displaySource);
    if (display) XCloseDisplay(display);
    if (debounceSource) g_source_remove(debounceSource);
    if (GObject* window = static_cast<GObject*>(g_weak_ref_get(&focusWindow))) {
      if (activeHandler) g_signal_handler_disconnect(window, activeHandler);
      g_object_unref(window);
    }
    if (GtkWidget* target = static_cast<GtkWidget*>(g_weak_ref_get(&keyTarget))) {
      if (keyController) gtk_widget_remove_controller(target, keyController);
      g_object_unref(target);
    }
    g_weak_ref_clear(&focusWindow);
    g_weak_ref_clear(&keyTarget);
  }
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;
};

namespace {

// Delivers an event to a global monitor's handler while that monitor is still installed as it was.
void deliverGlobal(const std::shared_ptr<ZRVEventMonitor>& monitor,
                   const std::function<void(const ZRVMonitoredEvent&)>& handler, const ZRVMonitoredEvent& event) {
  if (!monitor->isStarted() || !handler) return;
  if (monitor->mask() & ZRVEventMaskFor(event.type)) handler(event);
}

}  // namespace

ZRVEventMonitor::ZRVEventMonitor(Key, std::uint64_t mask, GlobalHandler global, LocalHandler local, GtkWidget* target)
    : mask_(mask), globalHandler_(std::move(global)), localHandler_(std::move(local)) {
  g_weak_ref_init(&target_, target);
}

ZRVEventMonitor::~ZRVEventMonitor() {
  installed_.reset();
  g_weak_ref_clear(&target_);
}

ZRVEventMonitor::Ptr ZRVEventMonitor::initGlobal(std::uint64_t mask, GlobalHandler handler, GtkWindow* focusWindow) {
  return platform::make<ZRVEventMonitor>(Key(), mask, std::move(handler), nullptr,
                                         focusWindow ? GTK_WIDGET(focusWindow) : nullptr);
}

ZRVEventMonitor::Ptr ZRVEventMonitor::initLocal(std::uint64_t mask, GtkWidget* window, LocalHandler handler) {
  return platform::make<ZRVEventMonitor>(Key(), mask, nullptr, std::move(handler), window);
}

void ZRVEventMonitor::stop() { installed_.reset(); }

void ZRVEventMonitor::start() {
  stop();
  auto installation = std::make_unique<Installation>();
  GtkWidget* target = static_cast<GtkWidget*>(g_weak_ref_get(&target_));

  if (globalHandler_) {
    // Raw presses on the root window, over a connection of our own (GTK's selects no raw events).
    GdkDisplay* gdkDisplay = gdk_display_get_default();
    if (gdkDisplay && GDK_IS_X11_DISPLAY(gdkDisplay)) {
      Display* display = XOpenDisplay(gdk_display_get_name(gdkDisplay));
      int event = 0, error = 0, major = 2, minor = 2;
      if (display && XQueryExtension(display, "XInputExtension", &installation->inputOpcode, &event, &error) &&
          XIQueryVersion(display, &major, &minor) == Success && (major > 2 || (major == 2 && minor >= 2))) {
        unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
        XIEventMask eventMask{XIAllMasterDevices, sizeof(bits), bits};
        XISetMask(bits, XI_RawButtonPress);
        XISelectEvents(display, DefaultRootWindow(display), &eventMask, 1);
        XFlush(display);
        installation->display = display;
        installation->displaySource = g_unix_fd_add_full(
            G_PRIORITY_DEFAULT, ConnectionNumber(display), G_IO_IN,
            [](int, GIOCondition, gpointer data) -> gboolean {
              std::shared_ptr<ZRVEventMonitor> self = static_cast<WeakMonitor*>(data)->lock();
              if (!self || !self->installed_) return G_SOURCE_CONTINUE;
              Installation* current = self->installed_.get();
              Display* d = current->display;
              // Read everything first: a handler may stop the monitor, which closes the connection.
              std::vector<ZRVMonitoredEvent> presses;
              while (XPending(d)) {
                XEvent xevent;
                XNextEvent(d, &xevent);
                XGenericEventCookie* cookie = &xevent.xcookie;
                if (cookie->type != GenericEvent || cookie->extension != current->inputOpcode) continue;
                if (!XGetEventData(d, cookie)) continue;
                if (cookie->evtype == XI_RawButtonPress) {
                  const int button = static_cast<const XIRawEvent*>(cookie->data)->detail;
                  if (button == 1 || button == 3) {
                    ::Window root = 0, child = 0;
                    int rootX = 0, rootY = 0, winX = 0, winY = 0;
                    unsigned buttons = 0;
                    XQueryPointer(d, DefaultRootWindow(d), &root, &child, &rootX, &rootY, &winX, &winY, &buttons);
                    if (!insideOwnWindow(d, rootX, rootY)) {
                      ZRVMonitoredEvent e;
                      e.type = button == 1 ? ZRVEventType::LeftMouseDown : ZRVEventType::RightMouseDown;
                      e.x = rootX;
                      e.y = rootY;
                      presses.push_back(e);
                    }
                  }
                }
                XFreeEventData(d, cookie);
              }
              for (const ZRVMonitoredEvent& e : presses) {
                if (self->installed_.get() != current) break;
                deliverGlobal(self, self->globalHandler_, e);
              }
              return G_SOURCE_CONTINUE;
            },
            newWeakBox(*this), deleteWeakBox);
      } else if (display) {
        XCloseDisplay(display);
      }
    }
    // The window's lasting loss of focus.
    if (target && GTK_IS_WINDOW(target)) {
      g_weak_ref_set(&installation->focusWindow, target);
      installation->activeHandler = g_signal_connect_data(
          target, "notify::is-active", G_CALLBACK(+[](GtkWindow* window, GParamSpec*, gpointer data) {
            std::shared_ptr<ZRVEventMonitor> self = static_cast<WeakMonitor*>(data)->lock();
            if (!self || !self->installed_) return;
            Installation* current = self->installed_.get();
            if (current->debounceSource) {
              g_source_remove(current->debounceSource);
              current->debounceSource = 0;
            }
            if (gtk_window_is_active(window)) return;
            current->debounceSource = g_timeout_add_full(
                G_PRIORITY_DEFAULT, kFocusLossDebounceMilliseconds,
                [](gpointer data) -> gboolean {
                  std::shared_ptr<ZRVEventMonitor> self = static_cast<WeakMonitor*>(data)->lock();
                  if (!self || !self->installed_) return G_SOURCE_REMOVE;
                  Installation* current = self->installed_.get();
                  current->debounceSource = 0;
                  GtkWindow* watched = static_cast<GtkWindow*>(g_weak_ref_get(&current->focusWindow));
                  if (!watched) return G_SOURCE_REMOVE;
                  const bool lost = gtk_widget_get_mapped(GTK_WIDGET(watched)) && !gtk_window_is_active(watched) &&
                                    !anotherOwnWindowActive(watched);
                  g_object_unref(watched);
                  if (lost) deliverGlobal(self, self->globalHandler_, ZRVMonitoredEvent{});
                  return G_SOURCE_REMOVE;
                },
                newWeakBox(*self), deleteWeakBox);
          }),
          newWeakBox(*this), deleteWeakBoxClosure, GConnectFlags(0));
    }
  } else if (localHandler_ && target) {
    GtkEventController* controller = gtk_event_controller_key_new();
    gtk_event_controller_set_propagation_phase(controller, GTK_PHASE_CAPTURE);
    g_signal_connect_data(
        controller, "key-pressed",
        G_CALLBACK(+[](GtkEventControllerKey*, guint keyval, guint, GdkModifierType, gpointer data) -> gboolean {
          std::shared_ptr<ZRVEventMonitor> self = static_cast<WeakMonitor*>(data)->lock();
          if (!self || !self->installed_ || !(self->mask_ & ZRVEventMaskKeyDown)) return FALSE;
          ZRVMonitoredEvent event;
          event.type = ZRVEventType::KeyDown;
          event.keyval = keyval;
          event.keyCode = keyCodeForKeyval(keyval);
          // An event handed back goes on to the window; none swallows the key.
          return self->localHandler_(event) ? FALSE : TRUE;
        }),
        newWeakBox(*this), deleteWeakBoxClosure, GConnectFlags(0));
    gtk_widget_add_controller(target, controller);
    g_weak_ref_set(&installation->keyTarget, target);
    installation->keyController = controller;
  }
  if (target) g_object_unref(target);
  installed_ = std::move(installation);
}
