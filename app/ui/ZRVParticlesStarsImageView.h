// An image view that can play a burst of coloured stars over its picture.
//
// The widget type "ZRVParticlesStarsImageView" (layout files name it so; its "image-name"
// property names the picture, see ZRVImageNamed) draws its picture scaled to its size. fire()
// starts a star emitter (ZRVStarEmitter with the star cell) centred on the view, 375 x 175,
// seeded from GLib's random source unless a seed is given; the frame clock steps it while the
// view is mapped, and the stars are drawn over the picture additively (each star's colour adds to
// the pixels under it). Firing again replaces the running emitter; stop() (also
// removeAllSublayers()) removes it.
//
// Failure: a missing star image draws no stars (the emitter still runs).
// Threads: main thread only. The C++ object lives inside its widget (fromWidget) and goes with it.
#pragma once

#include <cairo.h>
#include <gtk/gtk.h>

#include <cstdint>
#include <memory>

#include "app/ui/ZRVStarEmitter.h"

class ZRVParticlesStarsImageView {
 public:
  static GType widgetType();
  static ZRVParticlesStarsImageView* make();
  static ZRVParticlesStarsImageView* fromWidget(GtkWidget* widget);

  ZRVParticlesStarsImageView(const ZRVParticlesStarsImageView&) = delete;
  ZRVParticlesStarsImageView& operator=(const ZRVParticlesStarsImageView&) = delete;

  GtkWidget* widget() const { return widget_; }
  GdkPaintable* image() const { return image_; }
  void setImage(GdkPaintable* image);

  void fire();
  void fire(std::uint32_t seed);
  void stop();
  void removeAllSublayers() { stop(); }

  // The running emitter; nullptr while stopped.
  const ZRVStarEmitter* emitter() const { return emitter_.get(); }

 private:
  friend struct ZRVParticlesStarsImageViewGlue;
  explicit ZRVParticlesStarsImageView(GtkWidget* widget);
  ~ZRVParticlesStarsImageView();

  void tick(gint64 frameTime);
  void snapshot(GtkSnapshot* snapshot);

  GtkWidget* widget_;
  GdkPaintable* image_ = nullptr;
  // The picture's pixels for cairo, made on the first frame with stars after the image changed.
  cairo_surface_t* pictureSurface_ = nullptr;
  std::unique_ptr<ZRVStarEmitter> emitter_;
  guint tickId_ = 0;
  gint64 lastFrameTime_ = -1;
};
