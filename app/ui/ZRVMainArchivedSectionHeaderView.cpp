#include "app/ui/ZRVMainArchivedSectionHeaderView.h"

#include <gtk/gtk.h>

#include <string>

#include "app/ui/ZRVMainCollectionViewItem.h"
#include "app/ui/ZRVMainViewColors.h"
#include "app/ui/ZRVUIResources.h"
#include "platform/runtime/format.h"
#include "platform/system/diagnostics.h"

std::shared_ptr<ZRVMainArchivedSectionHeaderView> ZRVMainArchivedSectionHeaderView::makeLoaded() {
  auto header = platform::make<ZRVMainArchivedSectionHeaderView>();
  ZRVRegisterUIResources();
  const std::string path = ZRVResourcePath("ui/" + std::string(ZRVMainArchivedSectionHeaderIdentifier) + ".ui");
  GtkBuilder* builder = gtk_builder_new();
  GError* error = nullptr;
  GtkWidget* content = nullptr;
  if (gtk_builder_add_from_resource(builder, path.c_str(), &error)) {
    content = GTK_WIDGET(gtk_builder_get_object(builder, "view"));
    ZRVMainViewColors::setLabelTextColor(GTK_WIDGET(gtk_builder_get_object(builder, "titleLabel")),
                                         ZRVMainViewColors::kMainArchivedTitleLabel);
  } else {
    ZORVEL_DIAGNOSTIC_ERROR(platform::format("The layout file %s cannot be loaded: %s", path.c_str(),
                                             error ? error->message : "unknown error"));
    g_clear_error(&error);
  }
  if (!content) content = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
  header->setView(platform::View::forWidget(content));
  g_object_unref(builder);
  return header;
}
