#pragma once

// The colours the panel, its summary bar and the list items paint with, as GdkRGBA, and the
// helpers that put them on widgets. "Shadow" with a level mixes a colour with black by that level,
// "highlight" with white; the alpha stays.
//
// Threads: the colours are constants; the helpers touch widgets (main thread).

#include <gtk/gtk.h>

namespace ZRVMainViewColors {

constexpr GdkRGBA shadow(GdkRGBA c, float level) {
  return GdkRGBA{c.red * (1 - level), c.green * (1 - level), c.blue * (1 - level), c.alpha};
}
constexpr GdkRGBA highlight(GdkRGBA c, float level) {
  return GdkRGBA{c.red + (1 - c.red) * level, c.green + (1 - c.green) * level, c.blue + (1 - c.blue) * level, c.alpha};
}
constexpr GdkRGBA withAlpha(GdkRGBA c, float alpha) { return GdkRGBA{c.red, c.green, c.blue, alpha}; }

// clang-format off
inline constexpr GdkRGBA kMainBackground             {0.236f, 0.26f,  0.265f, 1.0f};
inline constexpr GdkRGBA kMainBackgroundAlt          = shadow(kMainBackground, 0.2f);
inline constexpr GdkRGBA kMainDimmed                 = withAlpha(kMainBackgroundAlt, 0.77f);
inline constexpr GdkRGBA kMainArchivedItemLabels     {0.486f, 0.59f,  0.613f, 1.0f};
inline constexpr GdkRGBA kMainArchivedItemLabelsAlt  = highlight(kMainArchivedItemLabels, 0.2f);
inline constexpr GdkRGBA kMainArchivedTitleLabel     {0.271f, 0.312f, 0.321f, 1.0f};
inline constexpr GdkRGBA kMainSummaryName            {0.388f, 0.503f, 0.528f, 1.0f};
inline constexpr GdkRGBA kMainSummaryValue           = highlight(kMainSummaryName, 0.2f);
// clang-format on

// Sets the text colour of a label (as its attributes; other attributes are replaced).
void setLabelTextColor(GtkWidget* label, const GdkRGBA& color);

}  // namespace ZRVMainViewColors
