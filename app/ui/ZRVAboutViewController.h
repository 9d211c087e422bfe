#pragma once

// The about screen, the launch window and their texts: the product's name, its version and build
// ("1.2 (34)" in the about screen, "v. 1.2 (34)" in the launch window), and the about screen's two
// buttons to the product's pages on social networks.
//
// Failure: a layout file that does not build gives null.
// Threads: main thread only.

#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/runtime/object.h"

class ZRVAboutViewController : public platform::Object {
  ZORVEL_CLASS(ZRVAboutViewController, platform::Object)

 public:
  using Ptr = std::shared_ptr<ZRVAboutViewController>;
  // Opens an address in the user's browser.
  using OpenURL = std::function<void(const std::string& url)>;

  static constexpr std::string_view kProductName = "Zorvel";
  static constexpr std::string_view kFacebookURL = "https://www.facebook.com/zorvelapp";
  static constexpr std::string_view kTwitterURL = "https://twitter.com/zorvelapp";

  // "<version> (<build>)".
  static std::string versionText(std::string_view version, std::string_view build);

  // The screen with the application's own version and build; `openURL` opens the social pages
  // (the desktop's default handler when empty).
  static Ptr create(OpenURL openURL = nullptr);
  // The same with the given version and build.
  static Ptr create(std::string_view version, std::string_view build, OpenURL openURL = nullptr);
  ~ZRVAboutViewController() override;

  GtkWidget* view() const { return view_; }
  GtkWidget* outlet(const char* name) const { return GTK_WIDGET(gtk_builder_get_object(builder_, name)); }

  void facebookButtonDidTapped();
  void twitterButtonDidTapped();

 private:
  struct Key {
    explicit Key() = default;
  };

 public:
  ZRVAboutViewController(Key, OpenURL openURL);

 private:
  OpenURL openURL_;
  GtkBuilder* builder_ = nullptr;
  GtkWidget* view_ = nullptr;
};

// Opens an address with the desktop's default handler.
void ZRVOpenURLWithDesktop(const std::string& url);
