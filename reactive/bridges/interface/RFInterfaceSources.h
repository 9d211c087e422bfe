#pragma once

// Control and text sources on GTK 4 widgets, and commands carried by buttons. A target of its own
// (reactive_interface), so that the reactive framework itself does not link GTK. Widgets are
// reached through their views (platform/interface/view.h; docs/interface.md).
//
// - rf_textSignal: the text of an editable widget (GtkEntry, GtkText, GtkSearchEntry, any
//   GtkEditable) or of a text view's buffer. It sends the text the widget had when rf_textSignal
//   was called, at each subscription, then the whole text after each "changed" of the editable
//   (of the buffer the text view shows at subscription); GTK replaces a whole text (set_text) as
//   a deletion then an insertion, so that sends the empty text first. It never completes. Each subscription
//   connects one handler, and disposing it disconnects that handler. The signal holds the view
//   weakly: once the widget is gone, new subscriptions get the captured text only. Raises
//   kInvalidArgumentException for a widget that holds no text.
// - rf_setCommand: the button (any GtkButton) executes the command with its view as the input
//   when clicked, and is sensitive while the command's `enabled` says so; a null command leaves
//   it sensitive and clicks do nothing. A button with an action of its own (GtkActionable's
//   action name) loses it, with the warning "WARNING: rf_command hijacks the control's existing
//   target and action." on standard error, as other clicks would run both. The view keeps the
//   command; rf_command gives it back.
//
// Threads: GTK's rule: call these and subscribe on the main thread. Disposal may happen on any
// thread; the handler is then disconnected on the main queue. Values are sent on the main thread.

#include <memory>

#include "platform/interface/view.h"
#include "reactive/RFSignal.h"
#include "reactive/bridges/RFCommand.h"

// "%@ -rf_textSignal"
RFSignalPtr rf_textSignal(const platform::ViewPtr& view);

void rf_setCommand(const platform::ViewPtr& button, const RFCommandPtr& command);
RFCommandPtr rf_command(const platform::ViewPtr& button);
