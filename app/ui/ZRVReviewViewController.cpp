#include "app/ui/ZRVReviewViewController.h"

#include "app/ZRVAnalytics.h"
#include "app/ui/ZRVAboutViewController.h"
#include "app/ui/ZRVHoverControls.h"
#include "app/ui/ZRVLayout.h"
#include "app/ui/ZRVStyleKit.h"
#include "platform/services/notification_center.h"

namespace {

// The panel shown now, if any.
std::weak_ptr<ZRVReviewViewController>& shownPanel() {
  static auto* panel = new std::weak_ptr<ZRVReviewViewController>();
  return *panel;
}

// The button's text in the given colour, centred; the font stays the one the layout file gives.
void setTitle(GtkLabel* label, const std::string& text, const GdkRGBA& colour) {
  gtk_label_set_text(label, text.c_str());
  PangoAttrList* attributes = pango_attr_list_new();
  pango_attr_list_insert(attributes,
                         pango_attr_foreground_new(guint16(colour.red * 65535), guint16(colour.green * 65535),
                                                   guint16(colour.blue * 65535)));
  pango_attr_list_insert(attributes, pango_attr_foreground_alpha_new(guint16(colour.alpha * 65535)));
  gtk_label_set_attributes(label, attributes);
  pango_attr_list_unref(attributes);
  gtk_label_set_justify(label, GTK_JUSTIFY_CENTER);
  gtk_label_set_xalign(label, 0.5);
}

}  // namespace

ZRVReviewViewController::ZRVReviewViewController(Key, Delegate delegate) : delegate_(std::move(delegate)) {}

ZRVReviewViewController::~ZRVReviewViewController() {
  if (view_) g_object_unref(view_);
  if (builder_) g_object_unref(builder_);
}

GtkLabel* ZRVReviewViewController::titleLabelOf(const char* button) const {
  GtkWidget* widget = outlet(button);
  if (auto* hover = ZRVHoverButton::fromWidget(widget)) return hover->titleLabel();
  GtkWidget* child = gtk_button_get_child(GTK_BUTTON(widget));
  return GTK_IS_LABEL(child) ? GTK_LABEL(child) : nullptr;
}

ZRVReviewViewController::Ptr ZRVReviewViewController::create(Delegate delegate) {
  auto controller = platform::make<ZRVReviewViewController>(Key{}, std::move(delegate));
  controller->builder_ = ZRVLoadLayout("ZRVReviewViewController");
  if (!controller->builder_) return nullptr;
  controller->view_ = GTK_WIDGET(g_object_ref(gtk_builder_get_object(controller->builder_, "view")));
  gtk_label_set_text(GTK_LABEL(controller->outlet("titleLabel")), ZRVReviewManager::reviewRequestTitle().c_str());
  gtk_label_set_text(GTK_LABEL(controller->outlet("descriptionLabel")),
                     ZRVReviewManager::reviewRequestMessage().c_str());
  gtk_button_set_label(GTK_BUTTON(controller->outlet("noButton")), ZRVReviewManager::declineButtonTitle().c_str());
  setTitle(controller->titleLabelOf("writeButton"), ZRVReviewManager::reviewButtonTitle(),
           ZRVStyleKit::reviewWriteButtonLabelColor());
  setTitle(controller->titleLabelOf("remindButton"), ZRVReviewManager::delayButtonTitle(),
           ZRVStyleKit::reviewRemindButtonLabelColor());
  setTitle(controller->titleLabelOf("noButton"), ZRVReviewManager::declineButtonTitle(),
           ZRVStyleKit::reviewNoButtonLabelColor());
  std::weak_ptr<ZRVReviewViewController> weak = controller;
  for (auto [name, action] : {std::pair{"writeButton", ZRVReviewActionWrite},
                              {"remindButton", ZRVReviewActionRemind},
                              {"noButton", ZRVReviewActionNo}}) {
    using Holder = std::pair<std::weak_ptr<ZRVReviewViewController>, ZRVReviewAction>;
    g_signal_connect_data(
        controller->outlet(name), "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
          auto* holder = static_cast<Holder*>(data);
          if (auto self = holder->first.lock()) self->send(holder->second);
        }),
        new Holder(weak, action), [](gpointer data, GClosure*) { delete static_cast<Holder*>(data); },
        GConnectFlags(0));
  }
  return controller;
}

bool ZRVReviewViewController::isAnyShown() {
  auto panel = shownPanel().lock();
  return panel && panel->window_;
}

ZRVReviewViewController::Ptr ZRVReviewViewController::present(GtkWindow* parent, Delegate delegate) {
  if (isAnyShown()) return nullptr;
  auto controller = create(std::move(delegate));
  if (!controller) return nullptr;
  GtkWindow* window = GTK_WINDOW(gtk_window_new());
  gtk_window_set_decorated(window, false);
  if (parent) {
    gtk_window_set_transient_for(window, parent);
    gtk_window_set_modal(window, true);
  }
  gtk_window_set_child(window, controller->view_);
  controller->window_ = window;
  // The window keeps its panel; the panel forgets the window when it goes.
  g_object_set_data_full(G_OBJECT(window), "zorvel-review-panel", new Ptr(controller),
                         [](gpointer data) { delete static_cast<Ptr*>(data); });
  std::weak_ptr<ZRVReviewViewController> weak = controller;
  g_signal_connect_data(
      window, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer data) {
        if (auto self = static_cast<std::weak_ptr<ZRVReviewViewController>*>(data)->lock()) self->window_ = nullptr;
      }),
      new std::weak_ptr<ZRVReviewViewController>(weak),
      [](gpointer data, GClosure*) { delete static_cast<std::weak_ptr<ZRVReviewViewController>*>(data); },
      GConnectFlags(0));
  shownPanel() = controller;
  gtk_window_present(window);
  return controller;
}

void ZRVReviewViewController::close() {
  if (GtkWindow* window = window_) {
    window_ = nullptr;
    gtk_window_destroy(window);
  }
}

void ZRVReviewViewController::send(ZRVReviewAction action) {
  auto self = std::static_pointer_cast<ZRVReviewViewController>(shared_from_this());
  if (delegate_) delegate_(*this, action);
  close();
}

bool ZRVReviewViewController::performAction(ZRVReviewManager& manager, ZRVReviewAction action, const OpenURL& openURL) {
  auto& analytics = ZRVAnalytics::sharedSink();
  switch (action) {
    case ZRVReviewActionWrite: {
      const bool recorded = manager.userCompletedReview();
      (openURL ? openURL : OpenURL(ZRVOpenURLWithDesktop))(ZRVReviewManager::reviewURL());
      platform::NotificationCenter::defaultCenter()->post("close_main_window_notification");
      analytics.logContentView("AppStore Version", "Review Window", "Write Review Pressed", {});
      return recorded;
    }
    case ZRVReviewActionRemind: {
      const bool recorded = manager.userDelayedReview();
      analytics.logContentView("AppStore Version", "Review Window", "Remind Later Pressed", {});
      return recorded;
    }
    case ZRVReviewActionNo: {
      const bool recorded = manager.userDeclinedReview();
      analytics.logContentView("AppStore Version", "Review Window", "No Thanks Pressed", {});
      return recorded;
    }
  }
  return false;
}
