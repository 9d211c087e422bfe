#include "app/ui/ZRVMainView.h"

#include "app/ui/ZRVMainViewColors.h"
#include "app/ui/ZRVStyleKit.h"

extern "C" {
typedef struct {
  GtkWidget parent_instance;
} ZrvMainViewBackground;
typedef struct {
  GtkWidgetClass parent_class;
} ZrvMainViewBackgroundClass;
}

static GType zrv_main_view_background_get_type();
G_DEFINE_TYPE(ZrvMainViewBackground, zrv_main_view_background, GTK_TYPE_WIDGET)

static void zrv_main_view_background_snapshot(GtkWidget* widget, GtkSnapshot* snapshot) {
  graphene_rect_t bounds = GRAPHENE_RECT_INIT(0, 0, static_cast<float>(gtk_widget_get_width(widget)),
                                              static_cast<float>(gtk_widget_get_height(widget)));
  gtk_snapshot_append_color(snapshot, &ZRVStyleKit::mainBackgroundColor(), &bounds);
}

// Never hit: clicks reach the panel's content.
static gboolean zrv_main_view_background_contains(GtkWidget*, double, double) { return FALSE; }

static void zrv_main_view_background_class_init(ZrvMainViewBackgroundClass* cls) {
  GtkWidgetClass* widget = GTK_WIDGET_CLASS(cls);
  widget->snapshot = zrv_main_view_background_snapshot;
  widget->contains = zrv_main_view_background_contains;
  gtk_widget_class_set_css_name(widget, "zrvmainbackground");
}

static void zrv_main_view_background_init(ZrvMainViewBackground* self) {
  gtk_widget_set_can_target(GTK_WIDGET(self), FALSE);
}

// The main view's widget: every child gets the whole area, the first one drawn below the others.
extern "C" {
typedef struct {
  GtkWidget parent_instance;
} ZrvMainView;
typedef struct {
  GtkWidgetClass parent_class;
} ZrvMainViewClass;
}

static GType zrv_main_view_get_type();
G_DEFINE_TYPE(ZrvMainView, zrv_main_view, GTK_TYPE_WIDGET)

static void zrv_main_view_dispose(GObject* object) {
  while (GtkWidget* child = gtk_widget_get_first_child(GTK_WIDGET(object))) gtk_widget_unparent(child);
  G_OBJECT_CLASS(zrv_main_view_parent_class)->dispose(object);
}

static void zrv_main_view_class_init(ZrvMainViewClass* cls) {
  G_OBJECT_CLASS(cls)->dispose = zrv_main_view_dispose;
  gtk_widget_class_set_layout_manager_type(GTK_WIDGET_CLASS(cls), GTK_TYPE_BIN_LAYOUT);
  gtk_widget_class_set_css_name(GTK_WIDGET_CLASS(cls), "zrvmainview");
}

static void zrv_main_view_init(ZrvMainView*) {}

std::shared_ptr<ZRVMainViewBackground> ZRVMainViewBackground::make() { return platform::make<ZRVMainViewBackground>(); }

ZRVMainViewBackground::ZRVMainViewBackground()
    : view_(platform::View::forWidget(GTK_WIDGET(g_object_new(zrv_main_view_background_get_type(), nullptr)))) {}

ZRVMainViewPtr ZRVMainView::make() {
  ZRVMainViewPtr view = platform::make<ZRVMainView>();
  std::weak_ptr<ZRVMainView> weak = view;
  view->rootHandler_ = g_signal_connect_data(
      view->view_->widget(), "notify::root", G_CALLBACK(+[](GObject*, GParamSpec*, gpointer data) {
        if (auto self = static_cast<std::weak_ptr<ZRVMainView>*>(data)->lock()) self->viewDidMoveToWindow();
      }),
      new std::weak_ptr<ZRVMainView>(weak),
      [](gpointer data, GClosure*) { delete static_cast<std::weak_ptr<ZRVMainView>*>(data); }, GConnectFlags(0));
  return view;
}

ZRVMainView::ZRVMainView() {
  view_ = platform::View::forWidget(GTK_WIDGET(g_object_new(zrv_main_view_get_type(), nullptr)));
}

ZRVMainView::~ZRVMainView() {
  if (rootHandler_) g_signal_handler_disconnect(view_->widget(), rootHandler_);
}

void ZRVMainView::setContent(const platform::ViewPtr& content) {
  if (content_) gtk_widget_unparent(content_->widget());
  content_ = content;
  if (content_) gtk_widget_insert_before(content_->widget(), view_->widget(), nullptr);
}

void ZRVMainView::viewDidMoveToWindow() {
  if (background_) {
    gtk_widget_unparent(background_->view()->widget());
    background_ = nullptr;
  }
  if (!gtk_widget_get_root(view_->widget())) return;
  background_ = ZRVMainViewBackground::make();
  gtk_widget_insert_after(background_->view()->widget(), view_->widget(), nullptr);  // below all others
}
