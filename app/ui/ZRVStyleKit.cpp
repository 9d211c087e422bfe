#include "app/ui/ZRVStyleKit.h"

#include <gtk/gtk.h>

#include <cstdio>

#include "platform/system/diagnostics.h"
#include "platform/system/this_thread.h"
#include "platform/system/thread_safety.h"

namespace {

GdkRGBA components(double red, double green, double blue, double alpha) {
  return GdkRGBA{static_cast<float>(red), static_cast<float>(green), static_cast<float>(blue),
                 static_cast<float>(alpha)};
}

// Made once, in dependency order: a derived colour after the colour it derives from.
struct Palette {
  GdkRGBA mainBackground = components(0.236, 0.26, 0.265, 1.0);
  GdkRGBA mainBackgroundAlt = ZRVStyleKit::shadowWithLevel(mainBackground, 0.2);
  GdkRGBA mainDimmed = ZRVStyleKit::colorWithAlphaComponent(mainBackgroundAlt, 0.77);
  GdkRGBA mainArchivedItemLabels = components(0.486, 0.59, 0.613, 1.0);
  GdkRGBA mainArchivedItemLabelsAlt = ZRVStyleKit::highlightWithLevel(mainArchivedItemLabels, 0.2);
  GdkRGBA mainArchivedTitleLabel = components(0.271, 0.312, 0.321, 1.0);
  GdkRGBA mainSummaryName = components(0.388, 0.503, 0.528, 1.0);
  GdkRGBA mainSummaryValue = ZRVStyleKit::highlightWithLevel(mainSummaryName, 0.2);
  GdkRGBA reviewWriteButtonLabel = components(0.203, 0.328, 0.055, 1.0);
  GdkRGBA reviewRemindButtonLabel = components(0.469, 0.555, 0.625, 1.0);
  GdkRGBA reviewNoButtonLabel = components(0.208, 0.608, 0.969, 1.0);
};

const Palette& palette() {
  static const Palette p;
  return p;
}

float mix(float value, float with, double level) { return static_cast<float>(value * (1.0 - level) + with * level); }

void appendColor(std::string& css, const GdkRGBA& c) {
  char text[96];
  std::snprintf(text, sizeof text, "rgba(%.4f, %.4f, %.4f, %.4f)", c.red * 255.0, c.green * 255.0, c.blue * 255.0,
                static_cast<double>(c.alpha));
  css += text;
}

}  // namespace

const GdkRGBA& ZRVStyleKit::mainBackgroundColor() { return palette().mainBackground; }
const GdkRGBA& ZRVStyleKit::mainBackgroundAltColor() { return palette().mainBackgroundAlt; }
const GdkRGBA& ZRVStyleKit::mainDimmedColor() { return palette().mainDimmed; }
const GdkRGBA& ZRVStyleKit::mainArchivedItemLabelsColor() { return palette().mainArchivedItemLabels; }
const GdkRGBA& ZRVStyleKit::mainArchivedItemLabelsAltColor() { return palette().mainArchivedItemLabelsAlt; }
const GdkRGBA& ZRVStyleKit::mainArchivedTitleLabelColor() { return palette().mainArchivedTitleLabel; }
const GdkRGBA& ZRVStyleKit::mainSummaryNameColor() { return palette().mainSummaryName; }
const GdkRGBA& ZRVStyleKit::mainSummaryValueColor() { return palette().mainSummaryValue; }
const GdkRGBA& ZRVStyleKit::reviewWriteButtonLabelColor() { return palette().reviewWriteButtonLabel; }
const GdkRGBA& ZRVStyleKit::reviewRemindButtonLabelColor() { return palette().reviewRemindButtonLabel; }
const GdkRGBA& ZRVStyleKit::reviewNoButtonLabelColor() { return palette().reviewNoButtonLabel; }

const std::vector<ZRVStyleKit::NamedColor>& ZRVStyleKit::allColors() {
  static const std::vector<NamedColor> colors = {
      {"mainBackgroundColor", &mainBackgroundColor()},
      {"mainBackgroundAltColor", &mainBackgroundAltColor()},
      {"mainDimmedColor", &mainDimmedColor()},
      {"mainArchivedItemLabelsColor", &mainArchivedItemLabelsColor()},
      {"mainArchivedItemLabelsAltColor", &mainArchivedItemLabelsAltColor()},
      {"mainArchivedTitleLabelColor", &mainArchivedTitleLabelColor()},
      {"mainSummaryNameColor", &mainSummaryNameColor()},
      {"mainSummaryValueColor", &mainSummaryValueColor()},
      {"reviewWriteButtonLabelColor", &reviewWriteButtonLabelColor()},
      {"reviewRemindButtonLabelColor", &reviewRemindButtonLabelColor()},
      {"reviewNoButtonLabelColor", &reviewNoButtonLabelColor()},
  };
  return colors;
}

GdkRGBA ZRVStyleKit::shadowWithLevel(const GdkRGBA& color, double level) {
  return GdkRGBA{mix(color.red, 0, level), mix(color.green, 0, level), mix(color.blue, 0, level), color.alpha};
}

GdkRGBA ZRVStyleKit::highlightWithLevel(const GdkRGBA& color, double level) {
  return GdkRGBA{mix(color.red, 1, level), mix(color.green, 1, level), mix(color.blue, 1, level), color.alpha};
}

GdkRGBA ZRVStyleKit::colorWithAlphaComponent(const GdkRGBA& color, double alpha) {
  return GdkRGBA{color.red, color.green, color.blue, static_cast<float>(alpha)};
}

std::string ZRVStyleKit::styleSheet() {
  std::string css;
  for (const NamedColor& named : allColors()) {
    const std::string name(named.name);
    css += "@define-color " + name + " ";
    appendColor(css, *named.color);
    css += ";\n";
  }
  for (const NamedColor& named : allColors()) {
    const std::string name(named.name);
    css += "." + name + " { color: @" + name + "; }\n";
    css += "." + name + "-background { background-color: @" + name + "; }\n";
  }
  return css;
}

void ZRVStyleKit::installStyleSheet(GdkDisplay* display) {
  ZORVEL_ASSERT_THREAD(platform::isMainThread(), "the style sheet is installed on the main thread");
  static const GQuark installed = g_quark_from_static_string("zorvel-style-kit-installed");
  if (!display || g_object_get_qdata(G_OBJECT(display), installed)) return;
  GtkCssProvider* provider = gtk_css_provider_new();
  g_signal_connect(
      provider, "parsing-error", G_CALLBACK(+[](GtkCssProvider*, GtkCssSection*, const GError* error, gpointer) {
        ZORVEL_DIAGNOSTIC_ERROR(std::string("style kit: the generated style sheet does not parse: ") + error->message);
      }),
      nullptr);
  const std::string css = styleSheet();
  gtk_css_provider_load_from_data(provider, css.data(), static_cast<gssize>(css.size()));
  gtk_style_context_add_provider_for_display(display, GTK_STYLE_PROVIDER(provider),
                                             GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  // The display keeps the provider for as long as it lives.
  g_object_set_qdata_full(G_OBJECT(display), installed, provider, g_object_unref);
  if (GtkSettings* settings = gtk_settings_get_for_display(display)) {
    g_object_set(settings, "gtk-application-prefer-dark-theme", FALSE, nullptr);
  }
}
