#pragma once

// ZRVView: a plain view with a background colour and a switch that swallows clicks. While
// userInteractionEnabled is true (the default) the view lets presses through to what lies beneath
// it (its own children still take theirs); while it is false the view takes every press on it and
// claims it, so nothing beneath or around it reacts. The list items cover themselves with one to
// dim them.
//
// Threads: main thread only.

#include <gtk/gtk.h>

#include <memory>
#include <optional>

#include "platform/interface/view.h"
#include "platform/runtime/object.h"

class ZRVView;
using ZRVViewPtr = std::shared_ptr<ZRVView>;

class ZRVView : public platform::Object {
  ZORVEL_CLASS(ZRVView, platform::Object)

 public:
  static ZRVViewPtr make();
  // The ZRVView of a widget made by make() (nullptr for any other widget).
  static ZRVViewPtr forWidget(GtkWidget* widget);
  ~ZRVView() override;

  const platform::ViewPtr& view() const { return view_; }
  GtkWidget* widget() const { return view_->widget(); }

  std::optional<GdkRGBA> backgroundColor() const { return backgroundColor_; }
  // Fills the view's bounds with the colour (none: nothing painted).
  void setBackgroundColor(std::optional<GdkRGBA> color);
  bool userInteractionEnabled() const { return userInteractionEnabled_; }
  void setUserInteractionEnabled(bool enabled);
  // Presses taken and claimed so far (while interaction was off).
  int swallowedPresses() const { return swallowed_; }

  struct Glue;

 private:
  ZRVView();
  // Every initialiser ends here: interaction on.
  void setupDefaults();

  platform::ViewPtr view_;
  std::optional<GdkRGBA> backgroundColor_;
  bool userInteractionEnabled_ = true;
  int swallowed_ = 0;
};
