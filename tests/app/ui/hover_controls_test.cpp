#include <gtest/gtest.h>

#include "app/ui/ZRVHoverControls.h"
#include "app/ui/ZRVImages.h"
#include "app/ui/ZRVLayout.h"
#include "platform/dispatch/run_loop.h"
#include "support/interface/pointer.h"
#include "support/interface/test_window.h"

namespace {

using zorvel::test::movePointer;

int motionControllers(GtkWidget* widget) {
  GListModel* controllers = gtk_widget_observe_controllers(widget);
  int count = 0;
  for (guint i = 0; i < g_list_model_get_n_items(controllers); ++i) {
    GObject* controller = G_OBJECT(g_list_model_get_item(controllers, i));
    if (GTK_IS_EVENT_CONTROLLER_MOTION(controller)) ++count;
    g_object_unref(controller);
  }
  g_object_unref(controllers);
  return count;
}

// A hover control of each kind, made the way layout files make them: by type name with the image
// names as properties.
struct Kind {
  const char* label;
  const char* typeName;
  ZRVHoverControl* (*fromWidget)(GtkWidget*);
};
const Kind kKinds[] = {
    {"button", "ZRVHoverButton", [](GtkWidget* w) -> ZRVHoverControl* { return ZRVHoverButton::fromWidget(w); }},
    {"image view", "ZRVHoverImageView",
     [](GtkWidget* w) -> ZRVHoverControl* { return ZRVHoverImageView::fromWidget(w); }},
};

GtkWidget* makeByName(const char* typeName) {
  ZRVRegisterControlTypes();
  GType type = g_type_from_name(typeName);
  EXPECT_NE(type, G_TYPE_INVALID) << typeName;
  return GTK_WIDGET(g_object_new(type, "image-name", "zv_item_share_button", "hover-image-name",
                                 "zv_item_share_button_hover", nullptr));
}

TEST(HoverControls, ThePointerOverTheControlShowsTheHoverImageAndLeavingShowsTheNormalOne) {
  ZORVEL_ASSERT_DISPLAY();
  GdkPaintable* normal = GDK_PAINTABLE(ZRVImageNamed("zv_item_share_button"));
  GdkPaintable* hover = GDK_PAINTABLE(ZRVImageNamed("zv_item_share_button_hover"));
  ASSERT_TRUE(normal && hover);
  for (const Kind& kind : kKinds) {
    SCOPED_TRACE(kind.label);
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    GtkWidget* widget = makeByName(kind.typeName);
    gtk_widget_set_size_request(widget, 40, 40);
    gtk_widget_set_halign(widget, GTK_ALIGN_CENTER);
    gtk_widget_set_valign(widget, GTK_ALIGN_CENTER);
    gtk_box_append(GTK_BOX(box), widget);
    GtkWidget* window = zorvel::test::showInWindow(box, 200, 200);
    ASSERT_TRUE(window);
    ZRVHoverControl* control = kind.fromWidget(widget);
    ASSERT_NE(control, nullptr);
    // Loaded: the image from the layout file is the normal image, and shown.
    EXPECT_EQ(control->image(), normal);
    EXPECT_EQ(control->hoverImage(), hover);
    EXPECT_EQ(control->shownImage(), normal);

    ASSERT_TRUE(movePointer(widget, 20, 20));
    EXPECT_TRUE(platform::runMainLoopUntil([&] { return control->isHovered(); }, 5));
    EXPECT_EQ(control->shownImage(), hover);

    ASSERT_TRUE(movePointer(box, 5, 5));  // inside the window, outside the control
    EXPECT_TRUE(platform::runMainLoopUntil([&] { return !control->isHovered(); }, 5));
    EXPECT_EQ(control->shownImage(), normal);
    gtk_window_destroy(GTK_WINDOW(window));
  }
}

TEST(HoverControls, ANewNormalImageWaitsWhileThePointerIsOverTheControl) {
  ZORVEL_ASSERT_DISPLAY();
  ZRVHoverButton* button = ZRVHoverButton::make();
  g_object_ref_sink(button->widget());
  button->setImage(GDK_PAINTABLE(ZRVImageNamed("zv_add_button")));
  button->setHoverImage(GDK_PAINTABLE(ZRVImageNamed("zv_add_button_hover")));
  button->mouseEntered();
  button->setImage(GDK_PAINTABLE(ZRVImageNamed("zv_options_button")));
  EXPECT_EQ(button->shownImage(), GDK_PAINTABLE(ZRVImageNamed("zv_add_button_hover")));
  button->mouseExited();
  EXPECT_EQ(button->shownImage(), GDK_PAINTABLE(ZRVImageNamed("zv_options_button")));
  // Without a hover image the normal one stays.
  button->setHoverImage(nullptr);
  button->mouseEntered();
  EXPECT_EQ(button->shownImage(), GDK_PAINTABLE(ZRVImageNamed("zv_options_button")));
  g_object_unref(button->widget());
}

TEST(HoverControls, AControlMovedBetweenWindowsKeepsOneTrackerAndStillSwaps) {
  ZORVEL_ASSERT_DISPLAY();
  GtkWidget* first = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
  GtkWidget* second = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
  GtkWidget* windowA = zorvel::test::showInWindow(first, 120, 120);
  GtkWidget* windowB = zorvel::test::showInWindow(second, 120, 120);
  ASSERT_TRUE(windowA && windowB);
  GtkWidget* widget = makeByName("ZRVHoverButton");
  ZRVHoverButton* button = ZRVHoverButton::fromWidget(widget);
  gtk_widget_set_size_request(widget, 60, 60);
  g_object_ref(widget);
  gtk_box_append(GTK_BOX(first), widget);
  ASSERT_TRUE(zorvel::test::nextFrame(windowA));
  gtk_box_remove(GTK_BOX(first), widget);
  gtk_box_append(GTK_BOX(second), widget);
  ASSERT_TRUE(zorvel::test::nextFrame(windowB));
  g_object_unref(widget);
  EXPECT_EQ(motionControllers(widget), 1);
  gtk_window_destroy(GTK_WINDOW(windowA));  // the first window, no longer the control's, goes
  ASSERT_TRUE(movePointer(widget, 30, 30));
  EXPECT_TRUE(platform::runMainLoopUntil([&] { return button->isHovered(); }, 5));
  EXPECT_EQ(button->shownImage(), button->hoverImage());
  gtk_window_destroy(GTK_WINDOW(windowB));
}

TEST(HoverControls, AButtonTitleIsLaidOverItsImage) {
  ZORVEL_ASSERT_DISPLAY();
  ZRVRegisterControlTypes();
  GtkWidget* widget = GTK_WIDGET(g_object_new(ZRVHoverButton::widgetType(), "title", "Write a review", nullptr));
  g_object_ref_sink(widget);
  ZRVHoverButton* button = ZRVHoverButton::fromWidget(widget);
  EXPECT_STREQ(gtk_label_get_text(button->titleLabel()), "Write a review");
  EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(button->titleLabel())));
  GtkWidget* label = g_object_ref_sink(gtk_label_new("x"));
  EXPECT_EQ(ZRVHoverButton::fromWidget(label), nullptr);
  g_object_unref(label);
  g_object_unref(widget);
}

}  // namespace
