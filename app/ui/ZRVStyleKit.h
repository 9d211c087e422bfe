// The application's named colours, and the style sheet made from them.
//
// Colours are GdkRGBA values made once, on first use, and kept for the life of the process. The
// derived ones follow their bases: a shadow of level l mixes a colour with black by l, a
// highlight mixes it with white by l; both keep the colour's alpha.
//
// The style sheet gives every colour to CSS: `@define-color <name> ...;` for each, plus two
// classes per colour, `.<name>` (text colour) and `.<name>-background` (background colour), e.g.
// `.mainSummaryNameColor` and `.mainDimmedColor-background`. installStyleSheet() adds it to a
// display once, above the theme, and turns the dark theme preference off: the interface is light
// and sets every colour it shows.
//
// Failure: none; a display that refuses the sheet is a programming error reported through
// diagnostics.
// Threads: the colours may be read from any thread; installStyleSheet() only on the main thread.
#pragma once

#include <gdk/gdk.h>

#include <string>
#include <string_view>
#include <vector>

class ZRVStyleKit {
 public:
  static const GdkRGBA& mainBackgroundColor();
  static const GdkRGBA& mainBackgroundAltColor();
  static const GdkRGBA& mainDimmedColor();
  static const GdkRGBA& mainArchivedItemLabelsColor();
  static const GdkRGBA& mainArchivedItemLabelsAltColor();
  static const GdkRGBA& mainArchivedTitleLabelColor();
  static const GdkRGBA& mainSummaryNameColor();
  static const GdkRGBA& mainSummaryValueColor();
  static const GdkRGBA& reviewWriteButtonLabelColor();
  static const GdkRGBA& reviewRemindButtonLabelColor();
  static const GdkRGBA& reviewNoButtonLabelColor();

  struct NamedColor {
    std::string_view name;
    const GdkRGBA* color;
  };
  // Every colour with its name, in the order above.
  static const std::vector<NamedColor>& allColors();

  // The colour mixed with black by `level` (0 to 1); alpha kept.
  static GdkRGBA shadowWithLevel(const GdkRGBA& color, double level);
  // The colour mixed with white by `level` (0 to 1); alpha kept.
  static GdkRGBA highlightWithLevel(const GdkRGBA& color, double level);
  static GdkRGBA colorWithAlphaComponent(const GdkRGBA& color, double alpha);

  // The CSS made from the colours (see above).
  static std::string styleSheet();
  // Adds the style sheet to the display (once per display) and asks for the light theme.
  static void installStyleSheet(GdkDisplay* display);
};
