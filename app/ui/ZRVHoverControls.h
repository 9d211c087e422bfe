// Controls that show a second image while the pointer is over them: ZRVHoverButton (a button
// with an image and an optional title laid over it) and ZRVHoverImageView (an image on its own).
//
// Each is a widget type that layout files name by the class name ("ZRVHoverButton",
// "ZRVHoverImageView", see ZRVRegisterControlTypes), with string properties naming images of
// the interface (ZRVImageNamed):
//   "image-name"        the normal image: the control's image when it is loaded;
//   "hover-image-name"  the image shown while the pointer is over the control;
//   "title"             (button only) a text laid over the image.
// One pointer-motion controller per control, added when the control is made, follows the pointer
// for as long as the control lives, in whichever window it is: moving the control to another
// window keeps exactly one. The C++ object of a control lives inside its widget:
// fromWidget(widget) finds it, and it goes with the widget.
//
// Failure: an image name the interface lacks leaves that image unset (nothing is shown for it).
// Threads: main thread only.
#pragma once

#include <gtk/gtk.h>

#include <string>

class ZRVHoverControl {
 public:
  ZRVHoverControl(const ZRVHoverControl&) = delete;
  ZRVHoverControl& operator=(const ZRVHoverControl&) = delete;

  GtkWidget* widget() const { return widget_; }

  // The normal image. Setting it shows it unless the pointer is over the control.
  GdkPaintable* image() const { return image_; }
  void setImage(GdkPaintable* image);
  GdkPaintable* hoverImage() const { return hoverImage_; }
  void setHoverImage(GdkPaintable* image);
  // The image on screen now.
  GdkPaintable* shownImage() const;
  bool isHovered() const { return hovered_; }

  // The pointer entered (shows the hover image) or left (shows the normal image).
  void mouseEntered();
  void mouseExited();

 protected:
  ZRVHoverControl(GtkWidget* widget, GtkWidget* picture);
  ~ZRVHoverControl();

 private:
  void show();

  GtkWidget* widget_;
  GtkWidget* picture_;
  GdkPaintable* image_ = nullptr;
  GdkPaintable* hoverImage_ = nullptr;
  bool hovered_ = false;
};

class ZRVHoverButton : public ZRVHoverControl {
 public:
  // The widget type "ZRVHoverButton", a GtkButton.
  static GType widgetType();
  // A new control (its widget floating, to be taken by a parent).
  static ZRVHoverButton* make();
  // The control of a ZRVHoverButton widget; nullptr for any other widget.
  static ZRVHoverButton* fromWidget(GtkWidget* widget);

  // The label laid over the image; its text is the "title" property.
  GtkLabel* titleLabel() const { return GTK_LABEL(title_); }
  void setTitle(const std::string& title);

 private:
  friend struct ZRVHoverButtonGlue;
  ZRVHoverButton(GtkWidget* widget, GtkWidget* picture, GtkWidget* title);
  GtkWidget* title_;
};

class ZRVHoverImageView : public ZRVHoverControl {
 public:
  // The widget type "ZRVHoverImageView", a plain widget showing one picture. Clicks on it act
  // even while its window is not active (GTK delivers them either way).
  static GType widgetType();
  static ZRVHoverImageView* make();
  static ZRVHoverImageView* fromWidget(GtkWidget* widget);

 private:
  friend struct ZRVHoverImageViewGlue;
  ZRVHoverImageView(GtkWidget* widget, GtkWidget* picture);
};
