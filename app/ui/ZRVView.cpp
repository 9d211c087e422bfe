#include "app/ui/ZRVView.h"

extern "C" {
typedef struct {
  GtkWidget parent_instance;
  ZRVView* owner;  // cleared when the owner goes
} ZrvView;

typedef struct {
  GtkWidgetClass parent_class;
} ZrvViewClass;
}

static GType zrv_view_get_type();
G_DEFINE_TYPE(ZrvView, zrv_view, GTK_TYPE_WIDGET)

struct ZRVView::Glue {
  static void snapshot(GtkWidget* widget, GtkSnapshot* snapshot) {
    ZRVView* owner = reinterpret_cast<ZrvView*>(widget)->owner;
    if (owner && owner->backgroundColor_) {
      graphene_rect_t bounds = GRAPHENE_RECT_INIT(0, 0, static_cast<float>(gtk_widget_get_width(widget)),
                                                  static_cast<float>(gtk_widget_get_height(widget)));
      gtk_snapshot_append_color(snapshot, &*owner->backgroundColor_, &bounds);
    }
    for (GtkWidget* child = gtk_widget_get_first_child(widget); child; child = gtk_widget_get_next_sibling(child))
      gtk_widget_snapshot_child(widget, child, snapshot);
  }
  // Only a view that swallows clicks is hit itself; otherwise presses fall through to what is beneath.
  static gboolean contains(GtkWidget* widget, double x, double y) {
    ZRVView* owner = reinterpret_cast<ZrvView*>(widget)->owner;
    if (owner && owner->userInteractionEnabled_) return FALSE;
    return x >= 0 && y >= 0 && x < gtk_widget_get_width(widget) && y < gtk_widget_get_height(widget);
  }
  static void pressed(GtkGestureClick* gesture, int, double, double, gpointer data) {
    auto* self = static_cast<ZRVView*>(data);
    if (self->userInteractionEnabled_) return;
    ++self->swallowed_;
    gtk_gesture_set_state(GTK_GESTURE(gesture), GTK_EVENT_SEQUENCE_CLAIMED);
  }
};

static void zrv_view_dispose(GObject* object) {
  GtkWidget* widget = GTK_WIDGET(object);
  while (GtkWidget* child = gtk_widget_get_first_child(widget)) gtk_widget_unparent(child);
  G_OBJECT_CLASS(zrv_view_parent_class)->dispose(object);
}

static void zrv_view_class_init(ZrvViewClass* cls) {
  G_OBJECT_CLASS(cls)->dispose = zrv_view_dispose;
  GtkWidgetClass* widget = GTK_WIDGET_CLASS(cls);
  widget->snapshot = ZRVView::Glue::snapshot;
  widget->contains = ZRVView::Glue::contains;
  gtk_widget_class_set_layout_manager_type(widget, GTK_TYPE_BIN_LAYOUT);
  gtk_widget_class_set_css_name(widget, "zrvview");
}

static void zrv_view_init(ZrvView*) {}

namespace {
const char kOwnerKey[] = "zrv-view-owner";
}

ZRVViewPtr ZRVView::make() {
  ZRVViewPtr view = platform::make<ZRVView>();
  g_object_set_data_full(G_OBJECT(view->widget()), kOwnerKey, new std::weak_ptr<ZRVView>(view),
                         [](gpointer data) { delete static_cast<std::weak_ptr<ZRVView>*>(data); });
  return view;
}

ZRVViewPtr ZRVView::forWidget(GtkWidget* widget) {
  if (!widget || !G_TYPE_CHECK_INSTANCE_TYPE(widget, zrv_view_get_type())) return nullptr;
  auto* weak = static_cast<std::weak_ptr<ZRVView>*>(g_object_get_data(G_OBJECT(widget), kOwnerKey));
  return weak ? weak->lock() : nullptr;
}

ZRVView::ZRVView() {
  GtkWidget* widget = GTK_WIDGET(g_object_new(zrv_view_get_type(), nullptr));
  view_ = platform::View::forWidget(widget);
  reinterpret_cast<ZrvView*>(widget)->owner = this;
  GtkGesture* click = gtk_gesture_click_new();
  gtk_gesture_single_set_button(GTK_GESTURE_SINGLE(click), 0);
  gtk_event_controller_set_propagation_phase(GTK_EVENT_CONTROLLER(click), GTK_PHASE_CAPTURE);
  g_signal_connect(click, "pressed", G_CALLBACK(Glue::pressed), this);
  gtk_widget_add_controller(widget, GTK_EVENT_CONTROLLER(click));
  setupDefaults();
}

ZRVView::~ZRVView() {
  GtkWidget* widget = view_->widget();
  reinterpret_cast<ZrvView*>(widget)->owner = nullptr;
  g_object_set_data(G_OBJECT(widget), kOwnerKey, nullptr);
  // The gesture's handler names this object: it goes with it.
  g_signal_handlers_disconnect_matched(widget, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, this);
  GListModel* controllers = gtk_widget_observe_controllers(widget);
  for (guint i = 0; i < g_list_model_get_n_items(controllers); ++i) {
    auto* controller = static_cast<GObject*>(g_list_model_get_item(controllers, i));
    g_signal_handlers_disconnect_matched(controller, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, this);
    g_object_unref(controller);
  }
  g_object_unref(controllers);
}

void ZRVView::setupDefaults() { userInteractionEnabled_ = true; }

void ZRVView::setBackgroundColor(std::optional<GdkRGBA> color) {
  backgroundColor_ = color;
  gtk_widget_queue_draw(view_->widget());
}

void ZRVView::setUserInteractionEnabled(bool enabled) { userInteractionEnabled_ = enabled; }
