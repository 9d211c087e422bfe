// The event monitors on a real X server: outside clicks seen through raw presses (and not the
// clicks inside our own windows), the lasting loss of focus, key-downs in a window, start and stop;
// and the panel's outside-click rules.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/ui/ZRVEventMonitor.h"
#include "platform/dispatch/run_loop.h"
#include "support/interface/test_window.h"

// Xlib's macros stay below every other header.
#include <X11/Xlib.h>
#include <gdk/x11/gdkx.h>

namespace zorvel::test {
namespace {

// Sends input the way a person does, through the X server (XTEST).
void xdotool(const std::string& arguments) { ASSERT_EQ(std::system(("xdotool " + arguments).c_str()), 0) << arguments; }

// Runs the main loop for a while, so that anything that was going to arrive has arrived.
void settle(double seconds = 0.3) {
  platform::runMainLoopUntil([] { return false; }, seconds);
}

::Window xidOf(GtkWidget* window) { return gdk_x11_surface_get_xid(gtk_native_get_surface(GTK_NATIVE(window))); }

// Moves the X input focus, as a window manager would.
void focusWindow(::Window xid) {
  Display* display = gdk_x11_display_get_xdisplay(gdk_display_get_default());
  XSetInputFocus(display, xid, RevertToNone, CurrentTime);
  XFlush(display);
}

class EventMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(initGtk()) << "no display";
    // Without a window manager the undecorated window sits at the top-left corner of the screen.
    window = std::make_unique<TestWindow>(200, 150);
    ASSERT_TRUE(window->layout());
  }

  ZRVEventMonitor::Ptr globalMonitor(std::uint64_t mask, GtkWindow* focus = nullptr) {
    return ZRVEventMonitor::initGlobal(
        mask, [this](const ZRVMonitoredEvent& event) { events.push_back(event); }, focus);
  }
  bool waitForEvents(std::size_t count) {
    return platform::runMainLoopUntil([&] { return events.size() >= count; }, 5);
  }

  std::unique_ptr<TestWindow> window;
  std::vector<ZRVMonitoredEvent> events;
};

TEST_F(EventMonitorTest, DeliversOutsidePressesOfTheMaskOnlyWhileStarted) {
  auto monitor = globalMonitor(ZRVEventMaskLeftMouseDown | ZRVEventMaskRightMouseDown);
  monitor->stop();  // never started: nothing happens
  EXPECT_FALSE(monitor->isStarted());
  xdotool("mousemove 600 500 click 1");
  settle();
  EXPECT_TRUE(events.empty()) << "a monitor that was never started delivers nothing";

  monitor->start();
  ASSERT_TRUE(monitor->isStarted());
  struct Click {
    const char* label;
    int x, y, button;
    bool delivered;
    ZRVEventType type;
  };
  const Click clicks[] = {
      {"left click inside our window", 50, 50, 1, false, ZRVEventType::LeftMouseDown},
      {"left click on the desktop", 600, 500, 1, true, ZRVEventType::LeftMouseDown},
      {"right click on the desktop", 900, 300, 3, true, ZRVEventType::RightMouseDown},
      {"middle click on the desktop", 700, 700, 2, false, ZRVEventType::LeftMouseDown},
      {"right click inside our window", 150, 100, 3, false, ZRVEventType::RightMouseDown},
  };
  for (const Click& click : clicks) {
    SCOPED_TRACE(click.label);
    events.clear();
    xdotool("mousemove " + std::to_string(click.x) + " " + std::to_string(click.y) + " click " +
            std::to_string(click.button));
    if (click.delivered) {
      ASSERT_TRUE(waitForEvents(1));
      EXPECT_EQ(events[0].type, click.type);
      EXPECT_EQ(events[0].x, click.x);
      EXPECT_EQ(events[0].y, click.y);
    } else {
      settle();
    }
    EXPECT_EQ(events.size(), click.delivered ? 1u : 0u);
  }

  monitor->stop();
  events.clear();
  xdotool("mousemove 600 500 click 1");
  settle();
  EXPECT_TRUE(events.empty()) << "a stopped monitor delivers nothing";

  // Started again, it installs a new watch.
  monitor->start();
  monitor->start();  // a second start replaces the first: one delivery per press
  xdotool("mousemove 600 500 click 1");
  ASSERT_TRUE(waitForEvents(1));
  settle();
  EXPECT_EQ(events.size(), 1u);
}

TEST_F(EventMonitorTest, LeavesOutKindsNotInTheMask) {
  auto monitor = globalMonitor(ZRVEventMaskLeftMouseDown);
  monitor->start();
  xdotool("mousemove 600 500 click 3");
  settle();
  EXPECT_TRUE(events.empty());
  xdotool("click 1");
  ASSERT_TRUE(waitForEvents(1));
  EXPECT_EQ(events[0].type, ZRVEventType::LeftMouseDown);
}

TEST_F(EventMonitorTest, AStopFromTheHandlerEndsTheDeliveries) {
  ZRVEventMonitor::Ptr monitor;
  monitor = ZRVEventMonitor::initGlobal(ZRVEventMaskLeftMouseDown, [&](const ZRVMonitoredEvent& event) {
    events.push_back(event);
    monitor->stop();
  });
  monitor->start();
  xdotool("mousemove 600 500 click --repeat 3 --delay 1 1");
  ASSERT_TRUE(waitForEvents(1));
  settle();
  EXPECT_EQ(events.size(), 1u);
  EXPECT_FALSE(monitor->isStarted());
}

TEST_F(EventMonitorTest, ALastingLossOfFocusCountsAsAnOutsideClick) {
  GtkWindow* gtkWindow = GTK_WINDOW(window->window());
  focusWindow(xidOf(window->window()));
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return gtk_window_is_active(gtkWindow); }, 5));
  auto monitor = globalMonitor(ZRVEventMaskLeftMouseDown, gtkWindow);
  monitor->start();

  // Away and straight back (our own popover opening does this): not an outside click.
  Display* display = gdk_x11_display_get_xdisplay(gdk_display_get_default());
  const ::Window root = DefaultRootWindow(display);
  focusWindow(root);
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return !gtk_window_is_active(gtkWindow); }, 5));
  focusWindow(xidOf(window->window()));
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return gtk_window_is_active(gtkWindow); }, 5));
  settle();
  EXPECT_TRUE(events.empty());

  // Away for good.
  focusWindow(root);
  ASSERT_TRUE(waitForEvents(1));
  EXPECT_EQ(events[0].type, ZRVEventType::LeftMouseDown);
  EXPECT_EQ(events[0].x, -1);
}

TEST_F(EventMonitorTest, ALocalMonitorSeesKeysAndDecidesWhetherTheyGoOn) {
  GtkWidget* entry = gtk_entry_new();
  gtk_window_set_child(GTK_WINDOW(window->window()), entry);
  ASSERT_TRUE(window->layout());
  focusWindow(xidOf(window->window()));
  gtk_widget_grab_focus(entry);
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return gtk_window_is_active(GTK_WINDOW(window->window())); }, 5));

  std::vector<ZRVMonitoredEvent> keys;
  auto monitor = ZRVEventMonitor::initLocal(ZRVEventMaskKeyDown, window->window(),
                                            [&](const ZRVMonitoredEvent& event) -> std::optional<ZRVMonitoredEvent> {
                                              keys.push_back(event);
                                              if (event.keyval == GDK_KEY_b) return std::nullopt;  // swallowed
                                              return event;
                                            });
  xdotool("key a");
  settle();
  EXPECT_TRUE(keys.empty()) << "not started";
  monitor->start();
  xdotool("key a b c Return Escape");
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return keys.size() >= 5; }, 5));
  EXPECT_EQ(keys[3].keyCode, ZRVKeyCodeReturn);
  EXPECT_EQ(keys[4].keyCode, ZRVKeyCodeEscape);
  EXPECT_EQ(keys[0].keyCode, 0u);
  EXPECT_STREQ(gtk_editable_get_text(GTK_EDITABLE(entry)), "aac") << "b was swallowed, the rest went on";

  monitor->stop();
  xdotool("key d");
  settle();
  EXPECT_EQ(keys.size(), 5u);
  EXPECT_STREQ(gtk_editable_get_text(GTK_EDITABLE(entry)), "aacd");
}

TEST(OutsideClickRules, CloseThePanelOnlyWhenNothingHoldsItOpen) {
  struct Case {
    const char* label;
    bool addingOrEditing;
    bool keepWindowOpen;
    bool closes;
  };
  const Case cases[] = {
      {"outside click", false, false, true},
      {"outside click while an event is added or edited", true, false, false},
      {"outside click while the main view keeps the window open", false, true, false},
      {"outside click while both hold it open", true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(ZRVOutsideClickRules::shouldClose(c.addingOrEditing, c.keepWindowOpen), c.closes);
  }
}

TEST(OutsideClickRules, AClickOnTheStatusItemIsNotAlsoAnOutsideClick) {
  struct Case {
    const char* label;
    bool closedByOutsideClick;
    double activateAfter;
    bool toggles;
  };
  const Case cases[] = {
      {"activate with no outside click before", false, 0, true},
      {"activate right after the click on the item closed the panel", true, 0.05, false},
      {"activate just inside the window", true, 0.499, false},
      {"activate half a second later: a new click", true, 0.5, true},
      {"activate much later", true, 30, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ZRVOutsideClickRules rules;
    if (c.closedByOutsideClick) rules.panelClosedByOutsideClick(100);
    EXPECT_EQ(rules.activateTogglesPanel(100 + c.activateAfter), c.toggles);
  }
}

}  // namespace
}  // namespace zorvel::test
