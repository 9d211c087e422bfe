#include "app/ui/ZRVLaunchWindowController.h"

#include "app/ui/ZRVLayout.h"
#include "app/ui/ZRVVersion.h"

std::string ZRVLaunchWindowController::versionText(std::string_view version, std::string_view build) {
  return "v. " + std::string(version) + " (" + std::string(build) + ")";
}

ZRVLaunchWindowController::~ZRVLaunchWindowController() {
  if (window_) gtk_window_destroy(window_);
  if (builder_) g_object_unref(builder_);
}

ZRVLaunchWindowController::Ptr ZRVLaunchWindowController::create() {
  return create(ZRVShortVersionString, ZRVBuildVersionString);
}

ZRVLaunchWindowController::Ptr ZRVLaunchWindowController::create(std::string_view version, std::string_view build) {
  auto controller = platform::make<ZRVLaunchWindowController>(Key{});
  controller->builder_ = ZRVLoadLayout("Launch");
  if (!controller->builder_) return nullptr;
  controller->window_ = GTK_WINDOW(gtk_builder_get_object(controller->builder_, "window"));
  // Borderless and see-through: only the picture and the version show.
  gtk_window_set_decorated(controller->window_, false);
  gtk_widget_add_css_class(GTK_WIDGET(controller->window_), "launchWindow");
  gtk_label_set_text(GTK_LABEL(controller->versionLabel()), versionText(version, build).c_str());
  return controller;
}

void ZRVLaunchWindowController::showWindow() {
  if (window_) gtk_window_present(window_);
}

void ZRVLaunchWindowController::close() {
  if (window_) gtk_window_destroy(window_);
  window_ = nullptr;
}
