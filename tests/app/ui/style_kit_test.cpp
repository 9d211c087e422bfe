#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "app/ui/ZRVStyleKit.h"
#include "platform/dispatch/run_loop.h"
#include "support/interface/test_window.h"

namespace {

struct ColorCase {
  const char* name;
  const GdkRGBA& (*color)();
  double red, green, blue, alpha;
  int red255, green255, blue255;  // rounded
};

// clang-format off
const ColorCase kColors[] = {
    {"mainBackgroundColor",            ZRVStyleKit::mainBackgroundColor,            0.236,  0.26,   0.265,  1.0,  60,  66,  68},
    {"mainBackgroundAltColor",         ZRVStyleKit::mainBackgroundAltColor,         0.1888, 0.208,  0.212,  1.0,  48,  53,  54},
    {"mainDimmedColor",                ZRVStyleKit::mainDimmedColor,                0.1888, 0.208,  0.212,  0.77, 48,  53,  54},
    {"mainArchivedItemLabelsColor",    ZRVStyleKit::mainArchivedItemLabelsColor,    0.486,  0.59,   0.613,  1.0, 124, 150, 156},
    {"mainArchivedItemLabelsAltColor", ZRVStyleKit::mainArchivedItemLabelsAltColor, 0.5888, 0.672,  0.6904, 1.0, 150, 171, 176},
    {"mainArchivedTitleLabelColor",    ZRVStyleKit::mainArchivedTitleLabelColor,    0.271,  0.312,  0.321,  1.0,  69,  80,  82},
    {"mainSummaryNameColor",           ZRVStyleKit::mainSummaryNameColor,           0.388,  0.503,  0.528,  1.0,  99, 128, 135},
    {"mainSummaryValueColor",          ZRVStyleKit::mainSummaryValueColor,          0.5104, 0.6024, 0.6224, 1.0, 130, 154, 159},
    {"reviewWriteButtonLabelColor",    ZRVStyleKit::reviewWriteButtonLabelColor,    0.203,  0.328,  0.055,  1.0,  52,  84,  14},
    {"reviewRemindButtonLabelColor",   ZRVStyleKit::reviewRemindButtonLabelColor,   0.469,  0.555,  0.625,  1.0, 120, 142, 159},
    {"reviewNoButtonLabelColor",       ZRVStyleKit::reviewNoButtonLabelColor,       0.208,  0.608,  0.969,  1.0,  53, 155, 247},
};
// clang-format on

constexpr double kFloat = 1e-6;

TEST(StyleKit, ColoursHaveTheirComponentsAndDerivedColoursFollowTheirBases) {
  for (const ColorCase& c : kColors) {
    SCOPED_TRACE(c.name);
    const GdkRGBA& color = c.color();
    EXPECT_NEAR(color.red, c.red, kFloat);
    EXPECT_NEAR(color.green, c.green, kFloat);
    EXPECT_NEAR(color.blue, c.blue, kFloat);
    EXPECT_NEAR(color.alpha, c.alpha, kFloat);
    EXPECT_EQ(std::lround(color.red * 255), c.red255);
    EXPECT_EQ(std::lround(color.green * 255), c.green255);
    EXPECT_EQ(std::lround(color.blue * 255), c.blue255);
    // The same colour every time.
    EXPECT_EQ(&c.color(), &color);
  }
}

TEST(StyleKit, EveryColourIsListedByItsNameInOrder) {
  const auto& all = ZRVStyleKit::allColors();
  ASSERT_EQ(all.size(), std::size(kColors));
  for (size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(all[i].name, kColors[i].name);
    EXPECT_EQ(all[i].color, &kColors[i].color());
  }
}

TEST(StyleKit, ShadowAndHighlightMixWithBlackAndWhiteAndKeepAlpha) {
  const GdkRGBA color{0.5f, 0.25f, 1.0f, 0.4f};
  struct Case {
    const char* label;
    GdkRGBA result;
    GdkRGBA expected;
  } cases[] = {
      {"shadow 0.2", ZRVStyleKit::shadowWithLevel(color, 0.2), {0.4f, 0.2f, 0.8f, 0.4f}},
      {"shadow 0", ZRVStyleKit::shadowWithLevel(color, 0), color},
      {"shadow 1", ZRVStyleKit::shadowWithLevel(color, 1), {0, 0, 0, 0.4f}},
      {"highlight 0.2", ZRVStyleKit::highlightWithLevel(color, 0.2), {0.6f, 0.4f, 1.0f, 0.4f}},
      {"highlight 1", ZRVStyleKit::highlightWithLevel(color, 1), {1, 1, 1, 0.4f}},
      {"alpha 0.77", ZRVStyleKit::colorWithAlphaComponent(color, 0.77), {0.5f, 0.25f, 1.0f, 0.77f}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_NEAR(c.result.red, c.expected.red, kFloat);
    EXPECT_NEAR(c.result.green, c.expected.green, kFloat);
    EXPECT_NEAR(c.result.blue, c.expected.blue, kFloat);
    EXPECT_NEAR(c.result.alpha, c.expected.alpha, kFloat);
  }
}

// The colour GTK computed for a label after the style sheet was installed.
GdkRGBA styledTextColor(GtkWidget* label) {
  GdkRGBA color;
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  gtk_style_context_get_color(gtk_widget_get_style_context(label), &color);
  G_GNUC_END_IGNORE_DEPRECATIONS
  return color;
}

// The colour of the pixel in the middle of a widget painted on its own.
GdkRGBA paintedColor(GtkWidget* widget) {
  GdkPaintable* paintable = gtk_widget_paintable_new(widget);
  GtkSnapshot* snapshot = gtk_snapshot_new();
  const int w = gtk_widget_get_width(widget), h = gtk_widget_get_height(widget);
  gdk_paintable_snapshot(paintable, GDK_SNAPSHOT(snapshot), w, h);
  GskRenderNode* node = gtk_snapshot_free_to_node(snapshot);
  g_object_unref(paintable);
  GdkRGBA color{0, 0, 0, 0};
  if (!node) return color;
  GskRenderer* renderer = gtk_native_get_renderer(gtk_widget_get_native(widget));
  graphene_rect_t viewport = GRAPHENE_RECT_INIT(0, 0, static_cast<float>(w), static_cast<float>(h));
  GdkTexture* texture = gsk_renderer_render_texture(renderer, node, &viewport);
  gsk_render_node_unref(node);
  std::vector<guchar> pixels(static_cast<size_t>(w) * h * 4);
  gdk_texture_download(texture, pixels.data(), static_cast<gsize>(w) * 4);
  g_object_unref(texture);
  // Premultiplied BGRA on little-endian machines.
  const guchar* p = &pixels[(static_cast<size_t>(h / 2) * w + w / 2) * 4];
  const double a = p[3] / 255.0;
  if (a > 0)
    color = {static_cast<float>(p[2] / 255.0 / a), static_cast<float>(p[1] / 255.0 / a),
             static_cast<float>(p[0] / 255.0 / a), static_cast<float>(a)};
  return color;
}

TEST(StyleKit, TheGeneratedStyleSheetGivesEveryColourToTextAndBackgrounds) {
  ZORVEL_ASSERT_DISPLAY();
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  GtkWidget* window = zorvel::test::showInWindow(box, 200, 300);
  ASSERT_TRUE(window);
  GdkDisplay* display = gtk_widget_get_display(window);
  ZRVStyleKit::installStyleSheet(display);
  ZRVStyleKit::installStyleSheet(display);  // once per display
  gboolean dark = TRUE;
  g_object_get(gtk_settings_get_for_display(display), "gtk-application-prefer-dark-theme", &dark, nullptr);
  EXPECT_FALSE(dark);

  const std::string css = ZRVStyleKit::styleSheet();
  for (const ColorCase& c : kColors) {
    SCOPED_TRACE(c.name);
    EXPECT_NE(css.find(std::string("@define-color ") + c.name + " rgba("), std::string::npos);
    const std::string name = c.name;
    GtkWidget* label = gtk_label_new("text");
    gtk_widget_add_css_class(label, name.c_str());
    GtkWidget* filled = gtk_label_new(nullptr);
    gtk_widget_set_size_request(filled, 20, 4);
    gtk_widget_add_css_class(filled, (name + "-background").c_str());
    gtk_box_append(GTK_BOX(box), label);
    gtk_box_append(GTK_BOX(box), filled);
    ASSERT_TRUE(zorvel::test::nextFrame(window));
    const GdkRGBA text = styledTextColor(label);
    EXPECT_NEAR(text.red, c.red, 1e-4);
    EXPECT_NEAR(text.green, c.green, 1e-4);
    EXPECT_NEAR(text.blue, c.blue, 1e-4);
    EXPECT_NEAR(text.alpha, c.alpha, 1e-4);
    // Painted: 8 bits per channel, the alpha of the dimmed colour included.
    const GdkRGBA painted = paintedColor(filled);
    EXPECT_NEAR(painted.red, c.red, 2.5 / 255);
    EXPECT_NEAR(painted.green, c.green, 2.5 / 255);
    EXPECT_NEAR(painted.blue, c.blue, 2.5 / 255);
    EXPECT_NEAR(painted.alpha, c.alpha, 1.5 / 255);
  }
  gtk_window_destroy(GTK_WINDOW(window));
}

}  // namespace
