// The interface tests' environment (tests/support/run_with_display.sh and support/interface/):
// what every display test program can count on.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <pango/pangocairo.h>

#include <cstdlib>
#include <set>
#include <string>

#include "platform/dispatch/run_loop.h"
#include "support/interface/test_window.h"
#include "support/interface/widget_tree.h"

namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

TEST(DisplayHarness, GtkOpensTheDisplay) { ZORVEL_ASSERT_DISPLAY(); }

TEST(DisplayHarness, PinsTimeZoneLocaleRendererAndSettingsBackend) {
  struct Case {
    const char* variable;
    const char* expected;
  } cases[] = {
      {"TZ", "Europe/Berlin"},         {"LANG", "C.UTF-8"},    {"GSK_RENDERER", "cairo"},
      {"GSETTINGS_BACKEND", "memory"}, {"GDK_BACKEND", "x11"}, {"GTK_A11Y", "none"},
  };
  for (const Case& c : cases) EXPECT_EQ(env(c.variable), c.expected) << c.variable;
  EXPECT_EQ(env("LC_ALL"), "");
}

TEST(DisplayHarness, KeepsEveryXdgFolderInOneTemporaryFolder) {
  const std::string runtime = env("XDG_RUNTIME_DIR");
  ASSERT_FALSE(runtime.empty());
  const std::string work = runtime.substr(0, runtime.rfind('/'));
  EXPECT_NE(work.find("zorvel-display."), std::string::npos) << work;
  for (const char* variable : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
    EXPECT_EQ(env(variable).rfind(work + "/", 0), 0u) << variable << " = " << env(variable);
    EXPECT_TRUE(g_file_test(env(variable).c_str(), G_FILE_TEST_IS_DIR)) << variable;
  }
}

TEST(DisplayHarness, GivesEachProgramAPrivateSessionBusWithNoServicesOfItsOwn) {
  const std::string address = env("DBUS_SESSION_BUS_ADDRESS");
  ASSERT_FALSE(address.empty());
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  ASSERT_NE(bus, nullptr) << error->message;
  // Nothing on the bus can be started on demand: whatever a test talks to, it brings.
  GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus", "ListActivatableNames", nullptr,
                                                G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
  ASSERT_NE(reply, nullptr) << error->message;
  GVariantIter* names = nullptr;
  g_variant_get(reply, "(as)", &names);
  const char* name = nullptr;
  while (g_variant_iter_next(names, "&s", &name)) EXPECT_STREQ(name, "org.freedesktop.DBus");
  g_variant_iter_free(names);
  g_variant_unref(reply);
  // A test can own any name there.
  reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                      "RequestName", g_variant_new("(su)", "org.kde.StatusNotifierWatcher", 4u),
                                      G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
  ASSERT_NE(reply, nullptr) << error->message;
  guint32 result = 0;
  g_variant_get(reply, "(u)", &result);
  EXPECT_EQ(result, 1u);  // primary owner
  g_variant_unref(reply);
  g_object_unref(bus);
}

TEST(DisplayHarness, OnlyDejaVuFontsAreSeen) {
  ZORVEL_ASSERT_DISPLAY();
  PangoFontFamily** families = nullptr;
  int count = 0;
  pango_font_map_list_families(pango_cairo_font_map_get_default(), &families, &count);
  ASSERT_GT(count, 0);
  const std::set<std::string> generic = {"Sans", "Serif", "Monospace", "System-ui", "Cursive", "Fantasy", "Emoji"};
  for (int i = 0; i < count; ++i) {
    const std::string name = pango_font_family_get_name(families[i]);
    if (generic.count(name)) continue;
    EXPECT_EQ(name.rfind("DejaVu", 0), 0u) << name;
  }
  g_free(families);
  // The generic families are DejaVu's too.
  struct Case {
    const char* asked;
    const char* family;
  } cases[] = {{"Sans 10", "DejaVu Sans"}, {"Serif 10", "DejaVu Serif"}, {"Monospace 10", "DejaVu Sans Mono"}};
  PangoContext* context = pango_font_map_create_context(pango_cairo_font_map_get_default());
  for (const Case& c : cases) {
    PangoFontDescription* asked = pango_font_description_from_string(c.asked);
    PangoFont* font = pango_context_load_font(context, asked);
    ASSERT_NE(font, nullptr) << c.asked;
    PangoFontDescription* got = pango_font_describe(font);
    EXPECT_STREQ(pango_font_description_get_family(got), c.family) << c.asked;
    pango_font_description_free(got);
    g_object_unref(font);
    pango_font_description_free(asked);
  }
  g_object_unref(context);
}

TEST(DisplayHarness, GtkIsSetForStillPictures) {
  ZORVEL_ASSERT_DISPLAY();
  gboolean animations = TRUE, blink = TRUE;
  char* font = nullptr;
  g_object_get(gtk_settings_get_default(), "gtk-enable-animations", &animations, "gtk-cursor-blink", &blink,
               "gtk-font-name", &font, nullptr);
  EXPECT_FALSE(animations);
  EXPECT_FALSE(blink);
  EXPECT_STREQ(font, "DejaVu Sans 10");
  g_free(font);
}

const char* const kForm = R"(<interface>
  <object class="GtkBox" id="form">
    <property name="orientation">vertical</property>
    <child><object class="GtkLabel" id="title"><property name="label">Birthday</property></object></child>
    <child><object class="GtkButton" id="save"><property name="label">Save</property>
      <property name="sensitive">false</property></object></child>
    <child><object class="GtkEntry" id="name"><property name="text">Anna</property></object></child>
    <child><object class="GtkBox" id="hidden"><property name="visible">false</property>
      <child><object class="GtkLabel" id="inside"><property name="label">secret</property></object></child>
    </object></child>
  </object>
</interface>)";

TEST(DisplayHarness, TheWidgetTreeDumpShowsIdsTextsStatesAndGeometry) {
  ZORVEL_ASSERT_DISPLAY();
  GtkBuilder* builder = gtk_builder_new_from_string(kForm, -1);
  GtkWidget* form = GTK_WIDGET(gtk_builder_get_object(builder, "form"));
  GtkWidget* named = gtk_label_new("by name");
  gtk_widget_set_name(named, "namedLabel");
  gtk_box_append(GTK_BOX(form), named);
  GtkWidget* window = zorvel::test::showInWindow(form, 200, 150);
  ASSERT_TRUE(window);
  const nlohmann::json tree = zorvel::test::widgetTree(form);
  struct Case {
    const char* id;
    const char* type;
    const char* text;
    bool sensitive;
  } cases[] = {
      {"title", "GtkLabel", "Birthday", true},
      {"save", "GtkButton", "Save", false},
      {"name", "GtkEntry", "Anna", true},
      {"namedLabel", "GtkLabel", "by name", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    auto node = zorvel::test::findWidget(tree, c.id);
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ((*node)["type"], c.type);
    EXPECT_EQ((*node)["text"], c.text);
    EXPECT_EQ((*node)["visible"], true);
    EXPECT_EQ((*node)["sensitive"], c.sensitive);
    ASSERT_TRUE(node->contains("geometry"));
    EXPECT_EQ((*node)["geometry"]["width"], 200);
    EXPECT_GT((*node)["geometry"]["height"], 0);
  }
  // Stacked from the top, in order.
  EXPECT_EQ((*zorvel::test::findWidget(tree, "title"))["geometry"]["y"], 0);
  EXPECT_LT((*zorvel::test::findWidget(tree, "title"))["geometry"]["y"],
            (*zorvel::test::findWidget(tree, "save"))["geometry"]["y"]);
  // What is hidden is marked, and its content left out unless asked for.
  auto hidden = zorvel::test::findWidget(tree, "hidden");
  ASSERT_TRUE(hidden.has_value());
  EXPECT_EQ((*hidden)["visible"], false);
  EXPECT_FALSE(zorvel::test::findWidget(tree, "inside").has_value());
  auto inside = zorvel::test::findWidget(zorvel::test::widgetTree(form, true), "inside");
  ASSERT_TRUE(inside.has_value());
  EXPECT_EQ((*inside)["visible"], false);
  EXPECT_FALSE(inside->contains("geometry"));
  gtk_window_destroy(GTK_WINDOW(window));
  g_object_unref(builder);
}

TEST(DisplayHarness, AScreenshotIsAPngOfTheWidget) {
  ZORVEL_ASSERT_DISPLAY();
  GtkWidget* label = gtk_label_new("Screenshot");
  gtk_widget_set_size_request(label, 120, 40);
  GtkWidget* window = zorvel::test::showInWindow(label, 120, 40);
  ASSERT_TRUE(window);
  std::optional<std::string> path = zorvel::test::saveScreenshot(label, "display_harness_label");
  ASSERT_TRUE(path.has_value());
  GError* error = nullptr;
  GdkTexture* texture = gdk_texture_new_from_filename(path->c_str(), &error);
  ASSERT_NE(texture, nullptr) << error->message;
  EXPECT_EQ(gdk_texture_get_width(texture), 120);
  EXPECT_EQ(gdk_texture_get_height(texture), 40);
  g_object_unref(texture);
  // Nothing to render: no file.
  GtkWidget* unmapped = g_object_ref_sink(gtk_label_new("not shown"));
  EXPECT_FALSE(zorvel::test::saveScreenshot(unmapped, "never").has_value());
  g_object_unref(unmapped);
  gtk_window_destroy(GTK_WINDOW(window));
}

}  // namespace
