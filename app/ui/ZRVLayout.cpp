#include "app/ui/ZRVLayout.h"

#include "app/ui/PellDatePicker.h"
#include "app/ui/ZRVHoverControls.h"
#include "app/ui/ZRVParticlesStarsImageView.h"
#include "app/ui/ZRVUIResources.h"

void ZRVRegisterControlTypes() {
  g_type_ensure(ZRVHoverButton::widgetType());
  g_type_ensure(ZRVHoverImageView::widgetType());
  g_type_ensure(PellDatePicker::widgetType());
  g_type_ensure(ZRVParticlesStarsImageView::widgetType());
}

std::string ZRVLayoutPath(std::string_view name) { return ZRVResourcePath("ui/" + std::string(name) + ".ui"); }

GtkBuilder* ZRVLoadLayout(std::string_view name, GError** error) {
  ZRVRegisterUIResources();
  ZRVRegisterControlTypes();
  GtkBuilder* builder = gtk_builder_new();
  if (!gtk_builder_add_from_resource(builder, ZRVLayoutPath(name).c_str(), error)) {
    g_object_unref(builder);
    return nullptr;
  }
  return builder;
}
