// The panel: its saved height restored within the screen's limits, resizing from its corner, the
// main view's background, the click-swallowing view and the summary bar, on real windows.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/model/ZRVEventsSummary.h"
#include "app/ui/ZRVMainSummaryStackView.h"
#include "app/ui/ZRVMainView.h"
#include "app/ui/ZRVResizablePopover.h"
#include "app/ui/ZRVView.h"
#include "platform/codecs/keyed_archiver.h"
#include "platform/dispatch/run_loop.h"
#include "platform/services/user_defaults.h"
#include "support/interface/test_window.h"
#include "support/temp_dir.h"

namespace {

using platform::Size;
using platform::Value;
using zorvel::test::TempDir;

void xdotool(const std::string& arguments) { ASSERT_EQ(std::system(("xdotool " + arguments).c_str()), 0) << arguments; }

std::string screenPoint(GtkWidget* widget, double x, double y) {
  graphene_point_t at;
  const graphene_point_t from = GRAPHENE_POINT_INIT(static_cast<float>(x), static_cast<float>(y));
  if (!gtk_widget_compute_point(widget, GTK_WIDGET(gtk_widget_get_root(widget)), &from, &at)) return "0 0";
  return std::to_string(static_cast<int>(at.x)) + " " + std::to_string(static_cast<int>(at.y));
}

bool waitForSize(GtkWidget* window, int height) {
  return platform::runMainLoopUntil(
      [&] { return gtk_widget_get_mapped(window) && gtk_widget_get_height(window) == height; }, 5);
}

class Panel : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(zorvel::test::initGtk());
    g_object_set(gtk_settings_get_default(), "gtk-enable-animations", FALSE, nullptr);
  }
  TempDir dir_{"zorvel-panel-test"};
  platform::UserDefaultsPtr defaults_ = platform::UserDefaults::withFile(dir_.file("Preferences.plist"));

  void store(Size size) {
    defaults_->setObject(
        Value(platform::KeyedArchiver::archivedData(Value(platform::make<ZRVResizablePopoverContentSize>(size)))),
        ZRVResizablePopover::kContentSizeKey);
    ASSERT_TRUE(defaults_->synchronize());
  }
  // The size stored on disk (a fresh reader of the file).
  Size storedOnDisk() {
    auto popover = ZRVResizablePopover::make(platform::UserDefaults::withFile(dir_.file("Preferences.plist")),
                                             [] { return 1000.0; });
    return popover->archivedContentSize();
  }
};

TEST_F(Panel, RestoredHeightIsClampedToTheScreenAndTheMinimumAndStoredAgain) {
  struct Case {
    const char* label;
    std::optional<double> stored;  // none: nothing stored
    std::optional<double> visibleHeight;
    int height;                         // of the panel afterwards
    std::optional<double> storedAfter;  // none: nothing stored
  };
  const Case cases[] = {
      {"too tall for the screen", 5000, 1000, 970, 970},
      {"too short to use", 100, 1000, 235, 235},
      {"within the limits", 600, 1000, 600, 600},
      {"exactly the maximum", 970, 1000, 970, 970},
      {"nothing stored: the content's size", std::nullopt, 1000, 429, std::nullopt},
      {"a height of 0: the content's size", 0, 1000, 429, 0},
      {"no screen: never below the minimum", 5000, std::nullopt, 235, 235},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    defaults_->removeObjectForKey(ZRVResizablePopover::kContentSizeKey);
    ASSERT_TRUE(defaults_->synchronize());
    if (c.stored) store({400, *c.stored});
    auto visible = c.visibleHeight;
    auto popover = ZRVResizablePopover::make(defaults_, [visible] { return visible; });
    popover->setContentSize({375, 429});
    popover->loadContentSizeFromUserDefaults();
    EXPECT_EQ(popover->contentSize().height, c.height);
    EXPECT_EQ(popover->contentSize().width, c.stored && *c.stored > 0 ? 400 : 375);
    if (c.storedAfter) {
      EXPECT_EQ(storedOnDisk().height, *c.storedAfter);
    } else {
      EXPECT_EQ(storedOnDisk(), Size{});
    }
  }
}

TEST_F(Panel, AnUnreadableStoredSizeReadsAsNothing) {
  const Value unreadable[] = {Value(platform::Bytes{1, 2, 3}), Value("400x600"),
                              Value(platform::KeyedArchiver::archivedData(Value(std::string("not a size"))))};
  for (const Value& value : unreadable) {
    defaults_->setObject(value, ZRVResizablePopover::kContentSizeKey);
    auto popover = ZRVResizablePopover::make(defaults_, [] { return 1000.0; });
    EXPECT_EQ(popover->archivedContentSize(), Size{});
    popover->setContentSize({375, 429});
    popover->loadContentSizeFromUserDefaults();
    EXPECT_EQ(popover->contentSize(), (Size{375, 429}));
  }
}

TEST_F(Panel, DraggingTheCornerResizesWithinTheLimitsAndStoresTheSize) {
  auto popover = ZRVResizablePopover::make(defaults_, [] { return 600.0; });  // heights 235 to 570
  GtkWidget* content = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  GtkWidget* filler = gtk_label_new("list");
  gtk_widget_set_vexpand(filler, TRUE);
  GtkWidget* corner = gtk_label_new("corner");
  gtk_widget_set_halign(corner, GTK_ALIGN_END);
  gtk_box_append(GTK_BOX(content), filler);
  gtk_box_append(GTK_BOX(content), corner);
  popover->setContentView(platform::View::forWidget(content));
  popover->installResizeCorner(corner);
  popover->setContentSize({375, 400});
  popover->setAnimates(true);
  gtk_window_present(GTK_WINDOW(popover->window()));
  ASSERT_TRUE(waitForSize(popover->window(), 400));
  EXPECT_STREQ(gtk_widget_get_cursor(corner) ? gdk_cursor_get_name(gtk_widget_get_cursor(corner)) : "", "ns-resize");

  struct Step {
    const char* label;
    int dy;
    int height;
  };
  const Step steps[] = {
      {"down 100", 100, 500}, {"far down: the maximum", 400, 570}, {"far up: the minimum", -600, 235}};
  for (const Step& s : steps) {
    SCOPED_TRACE(s.label);
    const std::string start = screenPoint(corner, 5, 5);
    const int x = std::stoi(start.substr(0, start.find(' ')));
    const int y = std::stoi(start.substr(start.find(' ') + 1));
    xdotool("mousemove " + start + " mousedown 1");
    platform::RunLoop::main().runFor(0.05);
    // In steps, as a hand moves.
    for (int i = 1; i <= 4; ++i) {
      xdotool("mousemove " + std::to_string(x) + " " + std::to_string(std::max(0, y + s.dy * i / 4)));
      platform::RunLoop::main().runFor(0.05);
    }
    xdotool("mouseup 1");
    EXPECT_TRUE(waitForSize(popover->window(), s.height)) << gtk_widget_get_height(popover->window());
    // The drag's end restores the animation flag and stores the size.
    EXPECT_TRUE(platform::runMainLoopUntil([&] { return popover->animates(); }, 5));
    EXPECT_EQ(storedOnDisk().height, s.height);
  }
}

TEST_F(Panel, ThePanelIsPlacedNextToTheClickedPointWithinTheWorkArea) {
  using platform::Point;
  using platform::Rect;
  struct Case {
    const char* label;
    Point point;
    Point origin;
  };
  const Rect area{{0, 0}, {1280, 800}};
  const Size size{375, 429};
  const Case cases[] = {
      {"top edge: centred below", {640, 0}, {453, 4}},
      {"lower half: above", {640, 790}, {453, 790 - 4 - 429}},
      {"near the left edge", {20, 10}, {0, 14}},
      {"near the right edge", {1275, 10}, {1280 - 375, 14}},
      {"too low to fit below: moved up", {640, 390}, {453, 800 - 429}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(ZRVResizablePopover::frameForPoint(c.point, size, area), (Rect{c.origin, size}));
  }
  // With the work area under the top bar (x 0, y 30).
  EXPECT_EQ(ZRVResizablePopover::frameForPoint({640, 0}, size, Rect{{0, 30}, {1280, 770}}).origin, (Point{453, 30}));
}

TEST_F(Panel, TheShownPanelStandsWhereItWasPlaced) {
  auto popover = ZRVResizablePopover::make(defaults_);
  gtk_window_set_title(GTK_WINDOW(popover->window()), "zorvel-placed-panel");
  popover->setContentView(platform::View::forWidget(gtk_label_new("panel")));
  popover->setContentSize({375, 429});
  popover->showAtPoint(platform::Point{640, 0});
  ASSERT_TRUE(waitForSize(popover->window(), 429));
  ASSERT_TRUE(popover->placedFrame().has_value());
  EXPECT_EQ(popover->placedFrame()->origin, (platform::Point{453, 4}));
  platform::RunLoop::main().runFor(0.1);
  FILE* out = popen("xdotool search --name zorvel-placed-panel getwindowgeometry", "r");
  ASSERT_NE(out, nullptr);
  char buffer[256] = {};
  std::string geometry;
  while (fgets(buffer, sizeof buffer, out)) geometry += buffer;
  pclose(out);
  EXPECT_THAT(geometry, ::testing::HasSubstr("Position: 453,4"));
}

TEST_F(Panel, TheResizingDelegateTurnsAnimationOffWhileDragging) {
  auto popover = ZRVResizablePopover::make(defaults_, [] { return 800.0; });
  EXPECT_EQ(popover->minHeight(), 235);
  EXPECT_EQ(popover->maxHeight(), 770);
  popover->setAnimates(true);
  popover->didStartResizing();
  EXPECT_FALSE(popover->animates());
  popover->didChangedContentSize({380, 300});
  EXPECT_EQ(popover->contentSize(), (Size{380, 300}));
  popover->didEndResizing();
  EXPECT_TRUE(popover->animates());
  EXPECT_EQ(storedOnDisk(), (Size{380, 300}));
}

TEST_F(Panel, TheMainViewPaintsItsBackgroundUnderTheContentAndClicksPassThroughIt) {
  zorvel::test::TestWindow other(50, 50);
  auto main = ZRVMainView::make();
  GtkWidget* button = gtk_button_new_with_label("content");
  gtk_widget_set_halign(button, GTK_ALIGN_CENTER);
  gtk_widget_set_valign(button, GTK_ALIGN_CENTER);
  main->setContent(platform::View::forWidget(button));
  EXPECT_EQ(main->background(), nullptr);  // not in a window: nothing added

  GtkWidget* window = gtk_window_new();
  gtk_window_set_default_size(GTK_WINDOW(window), 200, 150);
  gtk_window_set_child(GTK_WINDOW(window), main->view()->widget());
  gtk_window_present(GTK_WINDOW(window));
  ASSERT_TRUE(waitForSize(window, 150));
  ASSERT_NE(main->background(), nullptr);
  GtkWidget* background = main->background()->view()->widget();
  EXPECT_EQ(gtk_widget_get_first_child(main->view()->widget()), background);  // below everything else
  EXPECT_EQ(gtk_widget_get_width(background), 200);
  EXPECT_EQ(gtk_widget_get_height(background), 150);
  // Over the content a click reaches the content; elsewhere it never reaches the background.
  GtkWidget* picked = gtk_widget_pick(window, 100, 75, GTK_PICK_DEFAULT);
  EXPECT_TRUE(picked == button || gtk_widget_is_ancestor(picked, button));
  picked = gtk_widget_pick(window, 2, 2, GTK_PICK_DEFAULT);
  EXPECT_NE(picked, background);

  // Placed in a window again: one background, the new one.
  g_object_ref(main->view()->widget());
  gtk_window_set_child(GTK_WINDOW(window), nullptr);
  EXPECT_EQ(main->background(), nullptr);
  gtk_window_set_child(GTK_WINDOW(other.window()), main->view()->widget());
  g_object_unref(main->view()->widget());
  ASSERT_NE(main->background(), nullptr);
  int backgrounds = 0;
  for (GtkWidget* c = gtk_widget_get_first_child(main->view()->widget()); c; c = gtk_widget_get_next_sibling(c))
    backgrounds += c != button;
  EXPECT_EQ(backgrounds, 1);
  gtk_window_destroy(GTK_WINDOW(window));
}

TEST_F(Panel, AViewWithoutInteractionSwallowsClicksAndOneWithItLetsThemThrough) {
  zorvel::test::TestWindow window(200, 100);
  GtkWidget* overlay = gtk_overlay_new();
  GtkWidget* button = gtk_button_new_with_label("beneath");
  gtk_overlay_set_child(GTK_OVERLAY(overlay), button);
  auto cover = ZRVView::make();
  cover->setBackgroundColor(GdkRGBA{0, 0, 0, 0.5f});
  gtk_overlay_add_overlay(GTK_OVERLAY(overlay), cover->widget());
  gtk_window_set_child(GTK_WINDOW(window.window()), overlay);
  int clicks = 0;
  g_signal_connect_swapped(button, "clicked", G_CALLBACK(+[](int* n) { ++*n; }), &clicks);
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return gtk_widget_get_width(button) > 0; }, 5));
  platform::RunLoop::main().runFor(0.1);
  const std::string point = screenPoint(button, 20, 10);

  struct Case {
    const char* label;
    bool interaction;
    int clicks;
    int swallowed;
  };
  const Case cases[] = {{"interaction off", false, 0, 1}, {"interaction on", true, 1, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    cover->setUserInteractionEnabled(c.interaction);
    xdotool("mousemove " + point + " click 1");
    platform::RunLoop::main().runFor(0.2);
    EXPECT_EQ(clicks, c.clicks);
    EXPECT_EQ(cover->swallowedPresses(), c.swallowed);
  }
  EXPECT_EQ(ZRVView::forWidget(cover->widget()), cover);
  EXPECT_EQ(ZRVView::forWidget(button), nullptr);
  xdotool("mousemove 1000 1000");
}

constexpr const char* kSummaryLayout = R"(<?xml version="1.0" encoding="UTF-8"?>
<interface>
  <object class="GtkBox" id="summaryView">
    <child><object class="GtkBox" id="completeStackView">
      <child><object class="GtkLabel" id="completeNameLabel"><property name="label">Complete</property></object></child>
      <child><object class="GtkLabel" id="completeValueLabel"/></child>
    </object></child>
    <child><object class="GtkBox" id="activeStackView">
      <child><object class="GtkLabel" id="activeNameLabel"><property name="label">Active</property></object></child>
      <child><object class="GtkLabel" id="activeValueLabel"/></child>
    </object></child>
    <child><object class="GtkBox" id="archivedStackView">
      <child><object class="GtkLabel" id="archivedNameLabel"><property name="label">Archived</property></object></child>
      <child><object class="GtkLabel" id="archivedValueLabel"/></child>
    </object></child>
  </object>
</interface>)";

TEST_F(Panel, TheSummaryBarShowsOnlyTheGroupsWithEventsInOrder) {
  GtkBuilder* builder = gtk_builder_new_from_string(kSummaryLayout, -1);
  auto summary = ZRVMainSummaryStackView::fromBuilder(builder, "summaryView");
  ASSERT_NE(summary, nullptr);
  ASSERT_EQ(summary->allViews().size(), 3u);

  struct Case {
    const char* label;
    std::int64_t complete, active, archived;
    std::vector<std::string> shown;  // "stack=value"
  };
  const Case cases[] = {
      {"active and archived", 0, 3, 1, {"activeStackView=3", "archivedStackView=1"}},
      {"nothing", 0, 0, 0, {}},
      {"all three", 12, 5, 2, {"completeStackView=12", "activeStackView=5", "archivedStackView=2"}},
      {"complete only", 7, 0, 0, {"completeStackView=7"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto counts = platform::make<ZRVEventsSummary>();
    counts->setCompleteEventsCount(c.complete);
    counts->setActiveEventsCount(c.active);
    counts->setArchiveEventsCount(c.archived);
    summary->updateWithSummary(*counts);
    std::vector<std::string> shown;
    for (GtkWidget* stack = gtk_widget_get_first_child(summary->view()->widget()); stack;
         stack = gtk_widget_get_next_sibling(stack)) {
      GtkWidget* value = gtk_widget_get_last_child(stack);
      shown.push_back(std::string(gtk_buildable_get_buildable_id(GTK_BUILDABLE(stack))) + "=" +
                      gtk_label_get_text(GTK_LABEL(value)));
    }
    EXPECT_EQ(shown, c.shown);
  }
  g_object_unref(builder);

  GtkBuilder* incomplete =
      gtk_builder_new_from_string(R"(<interface><object class="GtkBox" id="bar"/></interface>)", -1);
  EXPECT_EQ(ZRVMainSummaryStackView::fromBuilder(incomplete, "bar"), nullptr);
  g_object_unref(incomplete);
}

}  // namespace
