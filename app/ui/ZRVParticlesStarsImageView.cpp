#include "app/ui/ZRVParticlesStarsImageView.h"

#include <cairo.h>

#include <algorithm>

#include "app/ui/ZRVImages.h"

namespace {

constexpr double kEmitterWidth = 375;
constexpr double kEmitterHeight = 175;
// Longest step taken from one frame to the next: after a stall the stars go on, not jump.
constexpr double kLongestStep = 0.1;

enum { kPropImageName = 1 };

// A texture as a cairo image surface (premultiplied ARGB32, as GDK downloads it).
cairo_surface_t* surfaceFromTexture(GdkTexture* texture) {
  if (!texture) return nullptr;
  const int width = gdk_texture_get_width(texture);
  const int height = gdk_texture_get_height(texture);
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  cairo_surface_flush(surface);
  gdk_texture_download(texture, cairo_image_surface_get_data(surface),
                       static_cast<gsize>(cairo_image_surface_get_stride(surface)));
  cairo_surface_mark_dirty(surface);
  return surface;
}

cairo_surface_t* starSurface(const std::string& name) {
  static cairo_surface_t* star = surfaceFromTexture(ZRVImageNamed(name));
  return star;
}

}  // namespace

struct ZRVParticlesStarsImageViewWidget {
  GtkWidget parent;
  ZRVParticlesStarsImageView* control;
};

struct ZRVParticlesStarsImageViewWidgetClass {
  GtkWidgetClass parentClass;
};

struct ZRVParticlesStarsImageViewGlue {
  static inline GObjectClass* parentClass = nullptr;

  static ZRVParticlesStarsImageView* control(gpointer instance) {
    return reinterpret_cast<ZRVParticlesStarsImageViewWidget*>(instance)->control;
  }

  static void init(GTypeInstance* instance, gpointer) {
    reinterpret_cast<ZRVParticlesStarsImageViewWidget*>(instance)->control =
        new ZRVParticlesStarsImageView(GTK_WIDGET(instance));
  }

  static void dispose(GObject* object) {
    control(object)->stop();
    parentClass->dispose(object);
  }

  static void finalize(GObject* object) {
    delete control(object);
    parentClass->finalize(object);
  }

  static void setProperty(GObject* object, guint id, const GValue* value, GParamSpec* spec) {
    if (id == kPropImageName) {
      const char* name = g_value_get_string(value);
      control(object)->setImage(name ? GDK_PAINTABLE(ZRVImageNamed(name)) : nullptr);
      return;
    }
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
  }

  static void measure(GtkWidget* widget, GtkOrientation orientation, int, int* minimum, int* natural, int*, int*) {
    GdkPaintable* image = control(widget)->image_;
    *minimum = 0;
    *natural = !image                                      ? 0
               : orientation == GTK_ORIENTATION_HORIZONTAL ? gdk_paintable_get_intrinsic_width(image)
                                                           : gdk_paintable_get_intrinsic_height(image);
  }

  static void snapshot(GtkWidget* widget, GtkSnapshot* snapshot) { control(widget)->snapshot(snapshot); }

  static void classInit(gpointer cls, gpointer) {
    parentClass = G_OBJECT_CLASS(g_type_class_peek_parent(cls));
    GObjectClass* objectClass = G_OBJECT_CLASS(cls);
    objectClass->dispose = dispose;
    objectClass->finalize = finalize;
    objectClass->set_property = setProperty;
    g_object_class_install_property(
        objectClass, kPropImageName,
        g_param_spec_string("image-name", nullptr, nullptr, nullptr,
                            GParamFlags(G_PARAM_WRITABLE | G_PARAM_STATIC_STRINGS | G_PARAM_EXPLICIT_NOTIFY)));
    GtkWidgetClass* widgetClass = GTK_WIDGET_CLASS(cls);
    widgetClass->measure = measure;
    widgetClass->snapshot = ZRVParticlesStarsImageViewGlue::snapshot;
  }
};

ZRVParticlesStarsImageView::ZRVParticlesStarsImageView(GtkWidget* widget) : widget_(widget) {}

ZRVParticlesStarsImageView::~ZRVParticlesStarsImageView() {
  g_clear_pointer(&pictureSurface_, cairo_surface_destroy);
  g_clear_object(&image_);
}

GType ZRVParticlesStarsImageView::widgetType() {
  static const GType type = g_type_register_static_simple(
      GTK_TYPE_WIDGET, "ZRVParticlesStarsImageView", sizeof(ZRVParticlesStarsImageViewWidgetClass),
      ZRVParticlesStarsImageViewGlue::classInit, sizeof(ZRVParticlesStarsImageViewWidget),
      ZRVParticlesStarsImageViewGlue::init, GTypeFlags(0));
  return type;
}

ZRVParticlesStarsImageView* ZRVParticlesStarsImageView::make() {
  return fromWidget(GTK_WIDGET(g_object_new(widgetType(), nullptr)));
}

ZRVParticlesStarsImageView* ZRVParticlesStarsImageView::fromWidget(GtkWidget* widget) {
  if (!widget || !G_TYPE_CHECK_INSTANCE_TYPE(widget, widgetType())) return nullptr;
  return ZRVParticlesStarsImageViewGlue::control(widget);
}

void ZRVParticlesStarsImageView::setImage(GdkPaintable* image) {
  if (image) g_object_ref(image);
  g_clear_object(&image_);
  g_clear_pointer(&pictureSurface_, cairo_surface_destroy);
  image_ = image;
  gtk_widget_queue_resize(widget_);
}

void ZRVParticlesStarsImageView::fire() { fire(g_random_int() % 4294967295u); }

void ZRVParticlesStarsImageView::fire(std::uint32_t seed) {
  stop();
  const double width = gtk_widget_get_width(widget_);
  const double height = gtk_widget_get_height(widget_);
  emitter_ = std::make_unique<ZRVStarEmitter>(ZRVEmitterCell::starParticle(gtk_widget_get_scale_factor(widget_)),
                                              width / 2, height / 2, kEmitterWidth, kEmitterHeight, seed);
  lastFrameTime_ = -1;
  // The widget owns the callback, which goes with it (dispose stops first).
  tickId_ = gtk_widget_add_tick_callback(
      widget_,
      +[](GtkWidget*, GdkFrameClock* clock, gpointer data) -> gboolean {
        static_cast<ZRVParticlesStarsImageView*>(data)->tick(gdk_frame_clock_get_frame_time(clock));
        return G_SOURCE_CONTINUE;
      },
      this, nullptr);
  gtk_widget_queue_draw(widget_);
}

void ZRVParticlesStarsImageView::stop() {
  if (tickId_) {
    gtk_widget_remove_tick_callback(widget_, tickId_);
    tickId_ = 0;
  }
  if (emitter_) {
    emitter_.reset();
    gtk_widget_queue_draw(widget_);
  }
}

void ZRVParticlesStarsImageView::tick(gint64 frameTime) {
  if (!emitter_) return;
  const double seconds = lastFrameTime_ < 0 ? 0 : static_cast<double>(frameTime - lastFrameTime_) / G_USEC_PER_SEC;
  lastFrameTime_ = frameTime;
  emitter_->step(std::min(seconds, kLongestStep));
  gtk_widget_queue_draw(widget_);
}

void ZRVParticlesStarsImageView::snapshot(GtkSnapshot* snapshot) {
  const double width = gtk_widget_get_width(widget_);
  const double height = gtk_widget_get_height(widget_);
  if (!emitter_) {
    if (image_) gdk_paintable_snapshot(image_, GDK_SNAPSHOT(snapshot), width, height);
    return;
  }
  // One cairo node, so that the stars add to the picture's pixels.
  const graphene_rect_t bounds = GRAPHENE_RECT_INIT(0, 0, static_cast<float>(width), static_cast<float>(height));
  cairo_t* cr = gtk_snapshot_append_cairo(snapshot, &bounds);
  if (!pictureSurface_ && image_ && GDK_IS_TEXTURE(image_)) pictureSurface_ = surfaceFromTexture(GDK_TEXTURE(image_));
  if (pictureSurface_) {
    cairo_save(cr);
    cairo_scale(cr, width / cairo_image_surface_get_width(pictureSurface_),
                height / cairo_image_surface_get_height(pictureSurface_));
    cairo_set_source_surface(cr, pictureSurface_, 0, 0);
    cairo_paint(cr);
    cairo_restore(cr);
  }
  const ZRVEmitterCell& cell = emitter_->cell();
  cairo_surface_t* star = starSurface(cell.contents);
  if (star) {
    const double starWidth = cairo_image_surface_get_width(star) * cell.contentsRect[2];
    const double starHeight = cairo_image_surface_get_height(star) * cell.contentsRect[3];
    cairo_set_operator(cr, CAIRO_OPERATOR_ADD);
    for (const ZRVParticle& particle : emitter_->particles()) {
      const double scale = particle.currentScale(cell) / cell.contentsScale;
      if (scale <= 0) continue;
      cairo_save(cr);
      cairo_translate(cr, particle.currentX(), particle.currentY());
      cairo_rotate(cr, particle.currentAngle());
      cairo_scale(cr, scale, scale);
      cairo_set_source_rgba(cr, particle.red(cell), particle.green(cell), particle.blue(cell), particle.alpha(cell));
      cairo_mask_surface(cr, star, -starWidth / 2, -starHeight / 2);
      cairo_restore(cr);
    }
  }
  cairo_destroy(cr);
}
