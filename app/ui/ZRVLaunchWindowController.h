#pragma once

// The launch window: a borderless, transparent window in the middle of the screen showing the
// version ("v. 1.2 (34)") while the application starts. The application delegate shows it and
// closes it two seconds later.
//
// Failure: a layout file that does not build gives null.
// Threads: main thread only.

#include <gtk/gtk.h>

#include <memory>
#include <string>
#include <string_view>

#include "platform/runtime/object.h"

class ZRVLaunchWindowController : public platform::Object {
  ZORVEL_CLASS(ZRVLaunchWindowController, platform::Object)

 public:
  using Ptr = std::shared_ptr<ZRVLaunchWindowController>;

  // "v. <version> (<build>)".
  static std::string versionText(std::string_view version, std::string_view build);

  // The window with the application's own version and build, not yet shown.
  static Ptr create();
  static Ptr create(std::string_view version, std::string_view build);
  ~ZRVLaunchWindowController() override;

  GtkWindow* window() const { return window_; }
  GtkWidget* versionLabel() const { return GTK_WIDGET(gtk_builder_get_object(builder_, "versionLabel")); }
  void showWindow();
  void close();

 private:
  struct Key {
    explicit Key() = default;
  };

 public:
  explicit ZRVLaunchWindowController(Key) {}

 private:
  GtkBuilder* builder_ = nullptr;
  GtkWindow* window_ = nullptr;
};
