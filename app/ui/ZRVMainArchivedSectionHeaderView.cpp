#include "app/ui/ZRVMainArchivedSectionHeaderView.h"

#include <gtk/gtk.h>

#include <string>

#include "app/ui/ZRVLayout.h"
#include "app/ui/ZRVMainCollectionViewItem.h"
#include "app/ui/ZRVMainViewColors.h"
#include "app/ui/ZRVStyleKit.h"
#include "platform/runtime/format.h"
#include "platform/system/diagnostics.h"

std::shared_ptr<ZRVMainArchivedSectionHeaderView> ZRVMainArchivedSectionHeaderView::makeLoaded() {
  auto header = platform::make<ZRVMainArchivedSectionHeaderView>();
  GError* error = nullptr;
  GtkBuilder* builder = ZRVLoadLayout(ZRVMainArchivedSectionHeaderIdentifier, &error);
  GtkWidget* content = nullptr;
  if (builder) {
    GObject* root = gtk_builder_get_object(builder, "view");
    content = root && GTK_IS_WIDGET(root) ? GTK_WIDGET(root) : nullptr;
    GObject* title = gtk_builder_get_object(builder, "titleLabel");
    if (title && GTK_IS_WIDGET(title))
      ZRVMainViewColors::setLabelTextColor(GTK_WIDGET(title), ZRVStyleKit::mainArchivedTitleLabelColor());
  } else {
    ZORVEL_DIAGNOSTIC_ERROR(platform::format("The layout file %s cannot be loaded: %s",
                                             std::string(ZRVMainArchivedSectionHeaderIdentifier).c_str(),
                                             error ? error->message : "unknown error"));
    g_clear_error(&error);
    builder = gtk_builder_new();
  }
  if (!content) content = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
  header->setView(platform::View::forWidget(content));
  g_object_unref(builder);
  return header;
}
