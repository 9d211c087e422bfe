#include "app/ui/PellDatePicker.h"

#include <utility>

#include "app/DateUtilities.h"
#include "app/ZRVClock.h"
#include "platform/system/calendar.h"

bool PellDatePickerDelegate::datePickerShouldShowPopover(PellDatePicker&) { return false; }

namespace {

platform::DateFormatter& mediumFormatter() {
  static platform::DateFormatter formatter;
  static const bool styled = [] {
    formatter.setDateStyle(platform::DateFormatterStyle::Medium);
    formatter.setTimeStyle(platform::DateFormatterStyle::None);
    return true;
  }();
  (void)styled;
  return formatter;
}

GtkPositionType positionForEdge(unsigned edge) {
  switch (edge) {
    case 0:
      return GTK_POS_LEFT;
    case 3:
      return GTK_POS_TOP;
    default:
      return GTK_POS_BOTTOM;
  }
}

}  // namespace

struct PellDatePickerWidget {
  GtkWidget parent;
  PellDatePicker* control;
};

struct PellDatePickerWidgetClass {
  GtkWidgetClass parentClass;
};

struct PellDatePickerGlue {
  static inline GObjectClass* parentClass = nullptr;

  static PellDatePicker* control(gpointer instance) {
    return reinterpret_cast<PellDatePickerWidget*>(instance)->control;
  }

  static void init(GTypeInstance* instance, gpointer) {
    reinterpret_cast<PellDatePickerWidget*>(instance)->control = new PellDatePicker(GTK_WIDGET(instance));
  }

  static void dispose(GObject* object) {
    // Cleared before they go, so that focus signals sent on the way find nothing to act on.
    PellDatePicker* picker = control(object);
    picker->calendar_ = nullptr;
    if (GtkWidget* popover = std::exchange(picker->popover_, nullptr)) gtk_widget_unparent(popover);
    if (GtkWidget* entry = std::exchange(picker->entry_, nullptr)) gtk_widget_unparent(entry);
    parentClass->dispose(object);
  }

  static void finalize(GObject* object) {
    delete control(object);
    parentClass->finalize(object);
  }

  static void measure(GtkWidget* widget, GtkOrientation orientation, int forSize, int* minimum, int* natural,
                      int* minimumBaseline, int* naturalBaseline) {
    GtkWidget* entry = control(widget)->entry_;
    if (!entry) {
      *minimum = *natural = 0;
      return;
    }
    gtk_widget_measure(entry, orientation, forSize, minimum, natural, minimumBaseline, naturalBaseline);
  }

  static void sizeAllocate(GtkWidget* widget, int width, int height, int baseline) {
    PellDatePicker* picker = control(widget);
    const GtkAllocation allocation{0, 0, width, height};
    if (picker->entry_) gtk_widget_size_allocate(picker->entry_, &allocation, baseline);
    if (picker->popover_) gtk_popover_present(GTK_POPOVER(picker->popover_));
  }

  static void classInit(gpointer cls, gpointer) {
    parentClass = G_OBJECT_CLASS(g_type_class_peek_parent(cls));
    GObjectClass* objectClass = G_OBJECT_CLASS(cls);
    objectClass->dispose = dispose;
    objectClass->finalize = finalize;
    GtkWidgetClass* widgetClass = GTK_WIDGET_CLASS(cls);
    widgetClass->measure = measure;
    widgetClass->size_allocate = sizeAllocate;
    widgetClass->grab_focus = [](GtkWidget* widget) -> gboolean {
      return gtk_widget_grab_focus(control(widget)->entry_);
    };
  }
};

PellDatePicker::PellDatePicker(GtkWidget* widget) : widget_(widget), date_(ZRVClock::now()) {
  entry_ = gtk_entry_new();
  gtk_widget_set_parent(entry_, widget_);
  g_signal_connect_swapped(entry_, "activate", G_CALLBACK(+[](PellDatePicker* self) { self->dateAction(); }), this);
  GtkEventController* entryFocus = gtk_event_controller_focus_new();
  g_signal_connect_swapped(entryFocus, "leave", G_CALLBACK(+[](PellDatePicker* self) { self->dateAction(); }), this);
  gtk_widget_add_controller(entry_, entryFocus);

  // The calendar's view: 180 x 180, the calendar at (22, 17).
  GtkWidget* content = gtk_fixed_new();
  gtk_widget_set_size_request(content, 180, 180);
  calendar_ = gtk_calendar_new();
  gtk_widget_set_size_request(calendar_, 139, 148);
  gtk_fixed_put(GTK_FIXED(content), calendar_, 22, 17);
  g_signal_connect_swapped(calendar_, "day-selected",
                           G_CALLBACK(+[](PellDatePicker* self) { self->popoverDateAction(); }), this);

  popover_ = gtk_popover_new();
  gtk_popover_set_autohide(GTK_POPOVER(popover_), FALSE);
  gtk_popover_set_has_arrow(GTK_POPOVER(popover_), TRUE);
  gtk_popover_set_child(GTK_POPOVER(popover_), content);
  gtk_popover_set_position(GTK_POPOVER(popover_), positionForEdge(preferredPopoverEdge_));
  gtk_widget_set_parent(popover_, widget_);

  // Focus anywhere in the picker (the entry, or the calendar in its popover) is the picker's.
  GtkEventController* focus = gtk_event_controller_focus_new();
  g_signal_connect_swapped(focus, "enter", G_CALLBACK(+[](PellDatePicker* self) { self->becomeFirstResponder(); }),
                           this);
  g_signal_connect_swapped(focus, "leave", G_CALLBACK(+[](PellDatePicker* self) { self->resignFirstResponder(); }),
                           this);
  gtk_widget_add_controller(widget_, focus);
  showDate();
}

GType PellDatePicker::widgetType() {
  static const GType type = g_type_register_static_simple(
      GTK_TYPE_WIDGET, "PellDatePicker", sizeof(PellDatePickerWidgetClass), PellDatePickerGlue::classInit,
      sizeof(PellDatePickerWidget), PellDatePickerGlue::init, GTypeFlags(0));
  return type;
}

PellDatePicker* PellDatePicker::make() { return fromWidget(GTK_WIDGET(g_object_new(widgetType(), nullptr))); }

PellDatePicker* PellDatePicker::fromWidget(GtkWidget* widget) {
  if (!widget || !G_TYPE_CHECK_INSTANCE_TYPE(widget, widgetType())) return nullptr;
  return PellDatePickerGlue::control(widget);
}

void PellDatePicker::setDate(platform::Date date) {
  date_ = date;
  showDate();
}

void PellDatePicker::setPreferredPopoverEdge(unsigned edge) {
  preferredPopoverEdge_ = edge;
  if (popover_) gtk_popover_set_position(GTK_POPOVER(popover_), positionForEdge(edge));
}

bool PellDatePicker::isPopoverShown() const { return popover_ && gtk_widget_get_visible(popover_); }

void PellDatePicker::closePopover() {
  if (isPopoverShown()) gtk_popover_popdown(GTK_POPOVER(popover_));
}

void PellDatePicker::becomeFirstResponder() {
  if (!popover_) return;
  std::shared_ptr<PellDatePickerDelegate> delegate = popoverDelegate_.lock();
  if (!delegate || !delegate->datePickerShouldShowPopover(*this) || isPopoverShown()) return;
  copyDateIntoCalendar();
  gtk_popover_popup(GTK_POPOVER(popover_));
}

void PellDatePicker::resignFirstResponder() { closePopover(); }

void PellDatePicker::dateAction() {
  if (!entry_) return;
  const std::string text = gtk_editable_get_text(GTK_EDITABLE(entry_));
  platform::DateFormatter& formatter = mediumFormatter();
  if (text == formatter.stringFromDate(date_)) return;  // nothing typed
  formatter.setDefaultDate(date_);
  std::optional<platform::Date> typed = formatter.dateFromString(text);
  formatter.setDefaultDate(std::nullopt);
  if (!typed) {
    showDate();
    return;
  }
  date_ = *typed;
  showDate();
  copyDateIntoCalendar();
  sendOwnerAction();
}

void PellDatePicker::popoverDateAction() {
  if (copyingIntoCalendar_ || !calendar_) return;
  GDateTime* picked = gtk_calendar_get_date(GTK_CALENDAR(calendar_));
  // The calendar's day at noon, so no time zone offset can move it to another day.
  GDateTime* noon = g_date_time_new_local(g_date_time_get_year(picked), g_date_time_get_month(picked),
                                          g_date_time_get_day_of_month(picked), 12, 0, 0);
  const platform::Date day = platform::Date::fromTimeIntervalSince1970(static_cast<double>(g_date_time_to_unix(noon)));
  g_date_time_unref(noon);
  g_date_time_unref(picked);
  date_ = DateUtilities::replaceDatePart(date_, day);
  showDate();
  sendOwnerAction();
}

void PellDatePicker::copyDateIntoCalendar() {
  if (!calendar_) return;
  GDateTime* local = g_date_time_new_from_unix_local(static_cast<gint64>(date_.timeIntervalSince1970()));
  if (!local) return;
  copyingIntoCalendar_ = true;
  gtk_calendar_select_day(GTK_CALENDAR(calendar_), local);
  copyingIntoCalendar_ = false;
  g_date_time_unref(local);
}

void PellDatePicker::showDate() {
  if (entry_) gtk_editable_set_text(GTK_EDITABLE(entry_), mediumFormatter().stringFromDate(date_).c_str());
}

void PellDatePicker::sendOwnerAction() {
  if (ownerAction_) {
    Action action = ownerAction_;  // the action may replace itself
    action(*this);
  }
}
