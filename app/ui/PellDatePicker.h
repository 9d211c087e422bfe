// A date field that opens a calendar in a popover while it has the keyboard focus.
//
// The widget type "PellDatePicker" (layout files name it so, see ZRVRegisterControlTypes) holds
// a text entry showing the date in the medium date style (the time of day is kept but not
// shown) and a popover with the calendar, a 180 x 180 view with the calendar at (22, 17). The
// popover does not close by itself on clicks elsewhere: it is open while the picker holds the
// focus and its delegate allows it, and closes when the focus leaves the picker (clicking a day
// keeps the focus inside the picker) or when the owner closes it.
//
// - Focus enters the picker: when the popover delegate answers true to
//   datePickerShouldShowPopover, the picker's date is copied into the calendar and the popover
//   opens on preferredPopoverEdge. A picker without a delegate, or whose delegate answers false
//   (the default answer), takes the focus without showing the calendar.
// - Focus leaves the picker: the popover closes.
// - The user types a date and presses Return or leaves the entry (dateAction): the text is read
//   in the same style, taking the time of day from the current date; a new date is copied into
//   the calendar and the owner's action runs. Text that is no date is replaced by the current
//   date again and nothing else happens.
// - The user picks a day in the calendar (popoverDateAction): the picker's date gets that day,
//   keeping its time of day, and the owner's action runs once. The popover stays open; the owner
//   closes it if it wants (closePopover).
// setDate() changes the date without running the owner's action.
//
// Edges as numbers: 0 left, 1 bottom, 2 bottom (the default), 3 top.
//
// Failure: bad text is refused as above; nothing else fails.
// Threads: main thread only. The C++ object lives inside its widget (fromWidget) and goes with it.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <memory>

#include "platform/system/date.h"

class PellDatePicker;

class PellDatePickerDelegate {
 public:
  virtual ~PellDatePickerDelegate() = default;
  // Whether the calendar may open now. A delegate that does not override it never lets it open.
  virtual bool datePickerShouldShowPopover(PellDatePicker& picker);
};

class PellDatePicker {
 public:
  // The widget type "PellDatePicker".
  static GType widgetType();
  // A new picker (its widget floating, to be taken by a parent), dated now (ZRVClock).
  static PellDatePicker* make();
  // The picker of a PellDatePicker widget; nullptr for any other widget.
  static PellDatePicker* fromWidget(GtkWidget* widget);

  PellDatePicker(const PellDatePicker&) = delete;
  PellDatePicker& operator=(const PellDatePicker&) = delete;

  GtkWidget* widget() const { return widget_; }
  GtkEntry* entry() const { return GTK_ENTRY(entry_); }
  GtkPopover* popover() const { return GTK_POPOVER(popover_); }
  GtkCalendar* calendar() const { return GTK_CALENDAR(calendar_); }

  platform::Date date() const { return date_; }
  void setDate(platform::Date date);

  // Held weakly.
  std::shared_ptr<PellDatePickerDelegate> popoverDelegate() const { return popoverDelegate_.lock(); }
  void setPopoverDelegate(const std::shared_ptr<PellDatePickerDelegate>& delegate) { popoverDelegate_ = delegate; }
  unsigned preferredPopoverEdge() const { return preferredPopoverEdge_; }
  void setPreferredPopoverEdge(unsigned edge);
  // What the picker sends when the user changed its date (typed, or picked in the calendar).
  using Action = std::function<void(PellDatePicker& sender)>;
  void setOwnerAction(Action action) { ownerAction_ = std::move(action); }

  bool isPopoverShown() const;
  void closePopover();

 private:
  friend struct PellDatePickerGlue;
  PellDatePicker(GtkWidget* widget);

  void becomeFirstResponder();
  void resignFirstResponder();
  void dateAction();
  void popoverDateAction();
  void copyDateIntoCalendar();
  void showDate();
  void sendOwnerAction();

  GtkWidget* widget_;
  GtkWidget* entry_;
  GtkWidget* popover_;
  GtkWidget* calendar_;
  platform::Date date_;
  std::weak_ptr<PellDatePickerDelegate> popoverDelegate_;
  unsigned preferredPopoverEdge_ = 2;
  Action ownerAction_;
  // Set while the calendar is changed by code, whose signals are not the user's.
  bool copyingIntoCalendar_ = false;
};
