#include "app/ui/ZRVHoverControls.h"

#include "app/ui/ZRVImages.h"

// --- Shared behaviour ----------------------------------------------------------------------------------

ZRVHoverControl::ZRVHoverControl(GtkWidget* widget, GtkWidget* picture) : widget_(widget), picture_(picture) {
  GtkEventController* motion = gtk_event_controller_motion_new();
  g_signal_connect_swapped(motion, "enter",
                           G_CALLBACK(+[](ZRVHoverControl* self, double, double) { self->mouseEntered(); }), this);
  g_signal_connect_swapped(motion, "leave", G_CALLBACK(+[](ZRVHoverControl* self) { self->mouseExited(); }), this);
  // The widget owns the controller, so it goes before this object (see the types' finalize).
  gtk_widget_add_controller(widget, motion);
}

ZRVHoverControl::~ZRVHoverControl() {
  g_clear_object(&image_);
  g_clear_object(&hoverImage_);
}

void ZRVHoverControl::setImage(GdkPaintable* image) {
  if (image) g_object_ref(image);
  g_clear_object(&image_);
  image_ = image;
  show();
}

void ZRVHoverControl::setHoverImage(GdkPaintable* image) {
  if (image) g_object_ref(image);
  g_clear_object(&hoverImage_);
  hoverImage_ = image;
  show();
}

GdkPaintable* ZRVHoverControl::shownImage() const { return gtk_picture_get_paintable(GTK_PICTURE(picture_)); }

void ZRVHoverControl::mouseEntered() {
  hovered_ = true;
  show();
}

void ZRVHoverControl::mouseExited() {
  hovered_ = false;
  show();
}

void ZRVHoverControl::show() {
  GdkPaintable* shown = hovered_ && hoverImage_ ? hoverImage_ : image_;
  if (gtk_picture_get_paintable(GTK_PICTURE(picture_)) != shown)
    gtk_picture_set_paintable(GTK_PICTURE(picture_), shown);
}

namespace {

enum { kPropImageName = 1, kPropHoverImageName, kPropTitle };

GdkPaintable* namedImage(const GValue* value) {
  const char* name = g_value_get_string(value);
  return name ? GDK_PAINTABLE(ZRVImageNamed(name)) : nullptr;
}

void installImageProperties(GObjectClass* objectClass) {
  g_object_class_install_property(
      objectClass, kPropImageName,
      g_param_spec_string("image-name", nullptr, nullptr, nullptr,
                          GParamFlags(G_PARAM_WRITABLE | G_PARAM_STATIC_STRINGS | G_PARAM_EXPLICIT_NOTIFY)));
  g_object_class_install_property(
      objectClass, kPropHoverImageName,
      g_param_spec_string("hover-image-name", nullptr, nullptr, nullptr,
                          GParamFlags(G_PARAM_WRITABLE | G_PARAM_STATIC_STRINGS | G_PARAM_EXPLICIT_NOTIFY)));
}

bool setImageProperty(ZRVHoverControl* control, guint id, const GValue* value) {
  switch (id) {
    case kPropImageName:
      control->setImage(namedImage(value));
      return true;
    case kPropHoverImageName:
      control->setHoverImage(namedImage(value));
      return true;
    default:
      return false;
  }
}

GtkWidget* newPicture() {
  GtkWidget* picture = gtk_picture_new();
  gtk_picture_set_can_shrink(GTK_PICTURE(picture), FALSE);
  return picture;
}

}  // namespace

// --- ZRVHoverButton --------------------------------------------------------------------------------

struct ZRVHoverButtonWidget {
  GtkButton parent;
  ZRVHoverButton* control;
};

struct ZRVHoverButtonWidgetClass {
  GtkButtonClass parentClass;
};

struct ZRVHoverButtonGlue {
  static inline GObjectClass* parentClass = nullptr;

  static void init(GTypeInstance* instance, gpointer) {
    GtkWidget* widget = GTK_WIDGET(instance);
    GtkWidget* overlay = gtk_overlay_new();
    GtkWidget* picture = newPicture();
    GtkWidget* title = gtk_label_new(nullptr);
    gtk_label_set_justify(GTK_LABEL(title), GTK_JUSTIFY_CENTER);
    gtk_widget_set_halign(title, GTK_ALIGN_CENTER);
    gtk_widget_set_valign(title, GTK_ALIGN_CENTER);
    gtk_widget_set_visible(title, FALSE);
    gtk_overlay_set_child(GTK_OVERLAY(overlay), picture);
    gtk_overlay_add_overlay(GTK_OVERLAY(overlay), title);
    gtk_button_set_child(GTK_BUTTON(widget), overlay);
    reinterpret_cast<ZRVHoverButtonWidget*>(instance)->control = new ZRVHoverButton(widget, picture, title);
  }

  static void finalize(GObject* object) {
    delete reinterpret_cast<ZRVHoverButtonWidget*>(object)->control;
    parentClass->finalize(object);
  }

  static void setProperty(GObject* object, guint id, const GValue* value, GParamSpec* spec) {
    ZRVHoverButton* control = reinterpret_cast<ZRVHoverButtonWidget*>(object)->control;
    if (setImageProperty(control, id, value)) return;
    if (id == kPropTitle) {
      const char* title = g_value_get_string(value);
      control->setTitle(title ? title : "");
      return;
    }
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
  }

  static void classInit(gpointer cls, gpointer) {
    parentClass = G_OBJECT_CLASS(g_type_class_peek_parent(cls));
    GObjectClass* objectClass = G_OBJECT_CLASS(cls);
    objectClass->finalize = finalize;
    objectClass->set_property = setProperty;
    installImageProperties(objectClass);
    g_object_class_install_property(
        objectClass, kPropTitle,
        g_param_spec_string("title", nullptr, nullptr, nullptr,
                            GParamFlags(G_PARAM_WRITABLE | G_PARAM_STATIC_STRINGS | G_PARAM_EXPLICIT_NOTIFY)));
  }
};

ZRVHoverButton::ZRVHoverButton(GtkWidget* widget, GtkWidget* picture, GtkWidget* title)
    : ZRVHoverControl(widget, picture), title_(title) {}

GType ZRVHoverButton::widgetType() {
  static const GType type = g_type_register_static_simple(
      GTK_TYPE_BUTTON, "ZRVHoverButton", sizeof(ZRVHoverButtonWidgetClass), ZRVHoverButtonGlue::classInit,
      sizeof(ZRVHoverButtonWidget), ZRVHoverButtonGlue::init, GTypeFlags(0));
  return type;
}

ZRVHoverButton* ZRVHoverButton::make() { return fromWidget(GTK_WIDGET(g_object_new(widgetType(), nullptr))); }

ZRVHoverButton* ZRVHoverButton::fromWidget(GtkWidget* widget) {
  if (!widget || !G_TYPE_CHECK_INSTANCE_TYPE(widget, widgetType())) return nullptr;
  return reinterpret_cast<ZRVHoverButtonWidget*>(widget)->control;
}

void ZRVHoverButton::setTitle(const std::string& title) {
  gtk_label_set_text(GTK_LABEL(title_), title.c_str());
  gtk_widget_set_visible(title_, !title.empty());
}

// --- ZRVHoverImageView -----------------------------------------------------------------------------

struct ZRVHoverImageViewWidget {
  GtkWidget parent;
  ZRVHoverImageView* control;
};

struct ZRVHoverImageViewWidgetClass {
  GtkWidgetClass parentClass;
};

struct ZRVHoverImageViewGlue {
  static inline GObjectClass* parentClass = nullptr;

  static void init(GTypeInstance* instance, gpointer) {
    GtkWidget* widget = GTK_WIDGET(instance);
    GtkWidget* picture = newPicture();
    gtk_widget_set_parent(picture, widget);
    reinterpret_cast<ZRVHoverImageViewWidget*>(instance)->control = new ZRVHoverImageView(widget, picture);
  }

  static void dispose(GObject* object) {
    GtkWidget* widget = GTK_WIDGET(object);
    while (GtkWidget* child = gtk_widget_get_first_child(widget)) gtk_widget_unparent(child);
    parentClass->dispose(object);
  }

  static void finalize(GObject* object) {
    delete reinterpret_cast<ZRVHoverImageViewWidget*>(object)->control;
    parentClass->finalize(object);
  }

  static void setProperty(GObject* object, guint id, const GValue* value, GParamSpec* spec) {
    if (setImageProperty(reinterpret_cast<ZRVHoverImageViewWidget*>(object)->control, id, value)) return;
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
  }

  static void classInit(gpointer cls, gpointer) {
    parentClass = G_OBJECT_CLASS(g_type_class_peek_parent(cls));
    GObjectClass* objectClass = G_OBJECT_CLASS(cls);
    objectClass->dispose = dispose;
    objectClass->finalize = finalize;
    objectClass->set_property = setProperty;
    installImageProperties(objectClass);
    gtk_widget_class_set_layout_manager_type(GTK_WIDGET_CLASS(cls), GTK_TYPE_BIN_LAYOUT);
  }
};

ZRVHoverImageView::ZRVHoverImageView(GtkWidget* widget, GtkWidget* picture) : ZRVHoverControl(widget, picture) {}

GType ZRVHoverImageView::widgetType() {
  static const GType type = g_type_register_static_simple(
      GTK_TYPE_WIDGET, "ZRVHoverImageView", sizeof(ZRVHoverImageViewWidgetClass), ZRVHoverImageViewGlue::classInit,
      sizeof(ZRVHoverImageViewWidget), ZRVHoverImageViewGlue::init, GTypeFlags(0));
  return type;
}

ZRVHoverImageView* ZRVHoverImageView::make() { return fromWidget(GTK_WIDGET(g_object_new(widgetType(), nullptr))); }

ZRVHoverImageView* ZRVHoverImageView::fromWidget(GtkWidget* widget) {
  if (!widget || !G_TYPE_CHECK_INSTANCE_TYPE(widget, widgetType())) return nullptr;
  return reinterpret_cast<ZRVHoverImageViewWidget*>(widget)->control;
}
