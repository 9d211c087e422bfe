#pragma once

// An event monitor that can be started and stopped: global (mouse-downs outside the application's
// own windows, which closes the panel) or local (key-downs in one of the application's windows,
// which the event editor uses for Return and Escape).
//
// On X11 the global monitor selects XInput 2.2 raw button presses on the root window over a second
// display connection of its own, so it sees clicks that go to other applications and the desktop.
// A press inside one of the application's own visible windows is not an outside click and is not
// delivered. Where a watched window is given, the monitor also delivers an outside mouse-down when
// that window loses focus and is still inactive 100 ms later while none of the application's other
// windows is active (the only trigger where there is no X11 display, e.g. under Wayland).
//
// The local monitor is a capture-phase key controller on the window it is given; the handler's
// answer decides whether the key goes on to the window (an event) or is swallowed (none).
//
// Failure: a global monitor started without an X11 display (or without XInput 2.2) delivers only
// the focus-out trigger; start() still succeeds.
// Threads: main thread only: monitors are made, started, stopped and called there.

#include <gtk/gtk.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/runtime/object.h"

// The kinds of event, and event masks as sets of kinds (bit 1 << kind).
enum class ZRVEventType : std::uint8_t { LeftMouseDown = 1, RightMouseDown = 3, KeyDown = 10 };
inline constexpr std::uint64_t ZRVEventMaskFor(ZRVEventType type) {
  return std::uint64_t{1} << static_cast<unsigned>(type);
}
inline constexpr std::uint64_t ZRVEventMaskLeftMouseDown = ZRVEventMaskFor(ZRVEventType::LeftMouseDown);    // 2
inline constexpr std::uint64_t ZRVEventMaskRightMouseDown = ZRVEventMaskFor(ZRVEventType::RightMouseDown);  // 8
inline constexpr std::uint64_t ZRVEventMaskKeyDown = ZRVEventMaskFor(ZRVEventType::KeyDown);                // 1024

// Key codes the application reacts to.
inline constexpr unsigned ZRVKeyCodeReturn = 36;
inline constexpr unsigned ZRVKeyCodeEscape = 53;

struct ZRVMonitoredEvent {
  ZRVEventType type = ZRVEventType::LeftMouseDown;
  // Mouse-downs: the pointer on the screen (root coordinates); -1 for the focus-out trigger.
  double x = -1;
  double y = -1;
  // Key-downs: the key code (ZRVKeyCodeReturn, ZRVKeyCodeEscape; 0 for any other key) and the
  // keyval.
  unsigned keyCode = 0;
  unsigned keyval = 0;
};

class ZRVEventMonitor : public platform::Object {
  ZORVEL_CLASS(ZRVEventMonitor, platform::Object)

 public:
  using Ptr = std::shared_ptr<ZRVEventMonitor>;
  using GlobalHandler = std::function<void(const ZRVMonitoredEvent&)>;
  // Returns the event to pass it on, or none to swallow it.
  using LocalHandler = std::function<std::optional<ZRVMonitoredEvent>(const ZRVMonitoredEvent&)>;

  // A global monitor of the kinds in `mask`; `focusWindow` (may be null) is the window whose lasting
  // loss of focus also counts as an outside click. Nothing is installed until start().
  static Ptr initGlobal(std::uint64_t mask, GlobalHandler handler, GtkWindow* focusWindow = nullptr);
  // A local monitor of the kinds in `mask` on `window`'s events. Nothing is installed until start().
  static Ptr initLocal(std::uint64_t mask, GtkWidget* window, LocalHandler handler);
  ~ZRVEventMonitor() override;

  std::uint64_t mask() const { return mask_; }
  // Installs the monitor; a monitor already installed is removed first, so there is never more than one.
  void start();
  // Removes the installed monitor; nothing when none is installed.
  void stop();
  bool isStarted() const { return installed_ != nullptr; }

  // The installation (defined in the source).
  struct Installation;

 private:
  struct Key {
    explicit Key() = default;
  };

 public:
  ZRVEventMonitor(Key, std::uint64_t mask, GlobalHandler global, LocalHandler local, GtkWidget* target);

 private:
  std::uint64_t mask_;
  GlobalHandler globalHandler_;
  LocalHandler localHandler_;
  // The watched window (global) or the window listened to (local); weak: GTK owns it.
  GWeakRef target_;
  std::unique_ptr<Installation> installed_;
};

// The outside-click rules of the panel: what a mouse-down outside it, or an activation of the status
// item, does.
//
// Threads: main thread.
class ZRVOutsideClickRules {
 public:
  // An Activate of the status item that arrives this soon after an outside click closed the panel is
  // the same click (the status item belongs to another process): it must not open the panel again.
  static constexpr double kActivateAfterCloseWindow = 0.5;

  // Whether an outside mouse-down closes the panel: not while an event is being added or edited, nor
  // while the main view asks to keep the window open.
  static bool shouldClose(bool addingOrEditingEvent, bool keepWindowOpen) {
    return !addingOrEditingEvent && !keepWindowOpen;
  }

  // The panel was closed by an outside click at `now` (seconds on a monotonic clock).
  void panelClosedByOutsideClick(double now) { lastOutsideClose_ = now; }
  // Whether an activation of the status item at `now` toggles the panel.
  bool activateTogglesPanel(double now) const {
    return !lastOutsideClose_ || now - *lastOutsideClose_ >= kActivateAfterCloseWindow || now < *lastOutsideClose_;
  }

 private:
  std::optional<double> lastOutsideClose_;
};
