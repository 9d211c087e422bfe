#include "app/ui/ZRVAboutViewController.h"

#include "app/ZRVAnalytics.h"
#include "app/ui/ZRVLayout.h"
#include "app/ui/ZRVVersion.h"

std::string ZRVAboutViewController::versionText(std::string_view version, std::string_view build) {
  return std::string(version) + " (" + std::string(build) + ")";
}

void ZRVOpenURLWithDesktop(const std::string& url) {
  GError* error = nullptr;
  if (!g_app_info_launch_default_for_uri(url.c_str(), nullptr, &error)) {
    g_warning("Could not open %s: %s", url.c_str(), error ? error->message : "unknown error");
    g_clear_error(&error);
  }
}

ZRVAboutViewController::ZRVAboutViewController(Key, OpenURL openURL)
    : openURL_(openURL ? std::move(openURL) : OpenURL(ZRVOpenURLWithDesktop)) {}

ZRVAboutViewController::~ZRVAboutViewController() {
  if (view_) g_object_unref(view_);
  if (builder_) g_object_unref(builder_);
}

ZRVAboutViewController::Ptr ZRVAboutViewController::create(OpenURL openURL) {
  return create(ZRVShortVersionString, ZRVBuildVersionString, std::move(openURL));
}

ZRVAboutViewController::Ptr ZRVAboutViewController::create(std::string_view version, std::string_view build,
                                                           OpenURL openURL) {
  auto controller = platform::make<ZRVAboutViewController>(Key{}, std::move(openURL));
  controller->builder_ = ZRVLoadLayout("ZRVAboutViewController");
  if (!controller->builder_) return nullptr;
  controller->view_ = GTK_WIDGET(g_object_ref(gtk_builder_get_object(controller->builder_, "view")));
  gtk_label_set_text(GTK_LABEL(controller->outlet("titleLabel")), std::string(kProductName).c_str());
  gtk_label_set_text(GTK_LABEL(controller->outlet("versionLabel")), versionText(version, build).c_str());
  std::weak_ptr<ZRVAboutViewController> weak = controller;
  using Holder = std::pair<std::weak_ptr<ZRVAboutViewController>, void (ZRVAboutViewController::*)()>;
  auto connect = [&](const char* outlet, void (ZRVAboutViewController::*action)()) {
    g_signal_connect_data(
        controller->outlet(outlet), "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
          auto* holder = static_cast<Holder*>(data);
          if (auto self = holder->first.lock()) ((*self).*(holder->second))();
        }),
        new Holder(weak, action), [](gpointer data, GClosure*) { delete static_cast<Holder*>(data); },
        GConnectFlags(0));
  };
  connect("facebookButton", &ZRVAboutViewController::facebookButtonDidTapped);
  connect("twitterButton", &ZRVAboutViewController::twitterButtonDidTapped);
  return controller;
}

void ZRVAboutViewController::facebookButtonDidTapped() {
  openURL_(std::string(kFacebookURL));
  ZRVAnalytics::sharedSink().logContentView("AppStore Version", "About Window", "Facebook Button Clicked", {});
}

void ZRVAboutViewController::twitterButtonDidTapped() {
  openURL_(std::string(kTwitterURL));
  ZRVAnalytics::sharedSink().logContentView("AppStore Version", "About Window", "Twitter Button Clicked", {});
}
