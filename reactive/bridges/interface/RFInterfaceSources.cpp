#include "reactive/bridges/interface/RFInterfaceSources.h"

#include <gtk/gtk.h>

#include "platform/dispatch/dispatch.h"
#include "platform/runtime/error.h"
#include "platform/runtime/thread.h"
#include "platform/system/console.h"
#include "reactive/RFDescription.h"

namespace {

// The object whose "changed" tells of a new text: the editable itself, or the text view's buffer.
GObject* textSource(GtkWidget* widget) {
  if (GTK_IS_EDITABLE(widget)) return G_OBJECT(widget);
  if (GTK_IS_TEXT_VIEW(widget)) return G_OBJECT(gtk_text_view_get_buffer(GTK_TEXT_VIEW(widget)));
  return nullptr;
}

std::string textOf(GObject* source) {
  if (GTK_IS_EDITABLE(source)) return gtk_editable_get_text(GTK_EDITABLE(source));
  GtkTextIter start, end;
  gtk_text_buffer_get_bounds(GTK_TEXT_BUFFER(source), &start, &end);
  char* text = gtk_text_buffer_get_text(GTK_TEXT_BUFFER(source), &start, &end, TRUE);
  std::string result(text);
  g_free(text);
  return result;
}

// One subscription's handler: what it sends to, and how to find its source again to disconnect.
struct TextHandler {
  RFSubscriberPtr subscriber;
};

void textChanged(GObject* source, gpointer data) {
  static_cast<TextHandler*>(data)->subscriber->sendNext(platform::Value(textOf(source)));
}

void releaseTextHandler(gpointer data, GClosure*) { delete static_cast<TextHandler*>(data); }

// Disconnects a handler from its source, if the source still lives. Main thread only.
void disconnect(GWeakRef* source, gulong handler) {
  if (GObject* object = static_cast<GObject*>(g_weak_ref_get(source))) {
    if (g_signal_handler_is_connected(object, handler)) g_signal_handler_disconnect(object, handler);
    g_object_unref(object);
  }
  g_weak_ref_clear(source);
  delete source;
}

// A connected handler, disconnected on the main thread when this goes, wherever that happens.
struct Connection {
  GWeakRef* source = new GWeakRef;
  gulong handler = 0;
  Connection(GObject* object, gulong id) : handler(id) { g_weak_ref_init(source, object); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() {
    if (platform::isMainThread()) {
      disconnect(source, handler);
      return;
    }
    platform::DispatchQueue::main()->async([source = source, handler = handler] { disconnect(source, handler); });
  }
};

RFDisposablePtr disconnecting(GObject* source, gulong handler) {
  auto connection = std::make_shared<Connection>(source, handler);
  return RFDisposable::disposableWithBlock([connection]() mutable { connection.reset(); });
}

const char kCommandKey = 0;
const char kEnabledBindingKey = 0;
const char kClickHandlerKey = 0;

void buttonClicked(GtkButton* button, gpointer) {
  platform::ViewPtr view = platform::View::forWidget(GTK_WIDGET(button));
  if (RFCommandPtr command = rf_command(view)) command->execute(platform::Value(view));
}

}  // namespace

RFSignalPtr rf_textSignal(const platform::ViewPtr& view) {
  GObject* source = view ? textSource(view->widget()) : nullptr;
  if (!source)
    throw platform::Exception(std::string(platform::kInvalidArgumentException),
                              "rf_textSignal needs an editable widget or a text view");
  std::string current = textOf(source);
  std::weak_ptr<platform::View> weakView = view;
  RFSignalPtr changes = RFSignal::createSignal([weakView](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
    platform::ViewPtr view = weakView.lock();
    if (!view) return nullptr;
    GObject* source = textSource(view->widget());
    gulong id = g_signal_connect_data(source, "changed", G_CALLBACK(textChanged), new TextHandler{subscriber},
                                      releaseTextHandler, GConnectFlags(0));
    return disconnecting(source, id);
  });
  RFSignalPtr result = changes->startWith(platform::Value(current));
  result->setNameWithFormat("%@ -rf_textSignal", rf_description(*view));
  return result;
}

RFCommandPtr rf_command(const platform::ViewPtr& button) {
  return button ? button->associatedObject(&kCommandKey).as<RFCommand>() : nullptr;
}

void rf_setCommand(const platform::ViewPtr& button, const RFCommandPtr& command) {
  if (!button || !GTK_IS_BUTTON(button->widget()))
    throw platform::Exception(std::string(platform::kInvalidArgumentException), "rf_setCommand needs a button");
  GtkWidget* widget = button->widget();
  button->setAssociatedObject(&kCommandKey, command ? platform::Value(command) : platform::Value());
  // Dropping the association disposes the previous binding (a scoped disposable).
  button->setAssociatedObject(&kEnabledBindingKey, platform::Value());
  if (!command) {
    gtk_widget_set_sensitive(widget, TRUE);
    return;
  }
  if (gtk_actionable_get_action_name(GTK_ACTIONABLE(widget))) {
    platform::consoleLog("WARNING: rf_command hijacks the control's existing target and action.");
    gtk_actionable_set_action_name(GTK_ACTIONABLE(widget), nullptr);
  }
  if (button->associatedObject(&kClickHandlerKey).isNil()) {
    g_signal_connect(widget, "clicked", G_CALLBACK(buttonClicked), nullptr);
    button->setAssociatedObject(&kClickHandlerKey, platform::Value(true));
  }
  std::weak_ptr<platform::View> weakButton = button;
  RFDisposablePtr binding = command->enabled()->subscribeNext([weakButton](const platform::Value& enabled) {
    // The first value comes at once on this (main) thread, the later ones on the main thread.
    if (platform::ViewPtr view = weakButton.lock()) gtk_widget_set_sensitive(view->widget(), enabled.asBool());
  });
  button->setAssociatedObject(&kEnabledBindingKey, platform::Value(binding->asScopedDisposable()));
}
