#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/DateUtilities.h"
#include "app/ui/PellDatePicker.h"
#include "app/ui/ZRVLayout.h"
#include "platform/dispatch/run_loop.h"
#include "platform/system/calendar.h"
#include "support/interface/pointer.h"
#include "support/interface/test_window.h"

namespace {

using platform::Date;

struct AllowingDelegate : PellDatePickerDelegate {
  bool datePickerShouldShowPopover(PellDatePicker&) override {
    ++asked;
    return answer;
  }
  bool answer = true;
  int asked = 0;
};

// A delegate that does not answer the question at all.
struct SilentDelegate : PellDatePickerDelegate {};

// 15 March 2027, 14:30:00 in the test's zone (Europe/Berlin).
Date marchFifteenth() {
  platform::DateFormatter formatter("yyyy-MM-dd HH:mm:ss");
  return *formatter.dateFromString("2027-03-15 14:30:00");
}

std::string localText(Date date) { return DateUtilities::stringWithFormat(date, "yyyy-MM-dd HH:mm:ss"); }

// Whether the focus is in the widget (an entry's focus is in its text child).
bool hasFocus(GtkWidget* widget) {
  GtkRoot* root = gtk_widget_get_root(widget);
  GtkWidget* focus = root ? gtk_root_get_focus(root) : nullptr;
  return focus && (focus == widget || gtk_widget_is_ancestor(focus, widget));
}

// A picker (made by its type name, as layout files do) and a second field to move the focus to.
struct Form {
  Form() {
    ZRVRegisterControlTypes();
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
    GtkWidget* widget = GTK_WIDGET(g_object_new(g_type_from_name("PellDatePicker"), nullptr));
    picker = PellDatePicker::fromWidget(widget);
    other = gtk_entry_new();
    gtk_box_append(GTK_BOX(box), other);
    gtk_box_append(GTK_BOX(box), widget);
    window = zorvel::test::showInWindow(box, 300, 400);
    picker->setDate(marchFifteenth());
    picker->setOwnerAction([this](PellDatePicker& sender) {
      EXPECT_EQ(&sender, picker);
      ++ownerActions;
    });
  }
  ~Form() {
    if (window) gtk_window_destroy(GTK_WINDOW(window));
  }
  // The user clicks into the field.
  bool focusPicker() {
    GtkWidget* entry = GTK_WIDGET(picker->entry());
    if (!zorvel::test::click(entry, 10, gtk_widget_get_height(entry) / 2.0)) return false;
    return platform::runMainLoopUntil([&] { return hasFocus(entry); }, 5);
  }
  GtkWidget* window = nullptr;
  PellDatePicker* picker = nullptr;
  GtkWidget* other = nullptr;
  int ownerActions = 0;
};

GDateTime* calendarDate(PellDatePicker* picker) { return gtk_calendar_get_date(picker->calendar()); }

// The label of day `day` of the month the calendar shows.
GtkWidget* dayLabel(GtkWidget* widget, const std::string& day) {
  if (GTK_IS_LABEL(widget) && gtk_widget_has_css_class(widget, "day-number") &&
      !gtk_widget_has_css_class(widget, "other-month") && day == gtk_label_get_text(GTK_LABEL(widget))) {
    return widget;
  }
  for (GtkWidget* child = gtk_widget_get_first_child(widget); child; child = gtk_widget_get_next_sibling(child)) {
    if (GtkWidget* found = dayLabel(child, day)) return found;
  }
  return nullptr;
}

TEST(DatePicker, FocusOpensTheCalendarOnTheFieldsDateAndPickingADayUpdatesTheFieldOnce) {
  ZORVEL_ASSERT_DISPLAY();
  Form form;
  ASSERT_TRUE(form.window);
  auto delegate = std::make_shared<AllowingDelegate>();
  form.picker->setPopoverDelegate(delegate);
  EXPECT_EQ(form.picker->preferredPopoverEdge(), 2u);
  EXPECT_EQ(std::string(gtk_editable_get_text(GTK_EDITABLE(form.picker->entry()))), "Mar 15, 2027");

  ASSERT_TRUE(form.focusPicker());
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return form.picker->isPopoverShown(); }, 5));
  EXPECT_EQ(delegate->asked, 1);
  GDateTime* shown = calendarDate(form.picker);
  EXPECT_EQ(g_date_time_get_year(shown), 2027);
  EXPECT_EQ(g_date_time_get_month(shown), 3);
  EXPECT_EQ(g_date_time_get_day_of_month(shown), 15);
  g_date_time_unref(shown);
  EXPECT_EQ(form.ownerActions, 0);  // copying the date in is not the user's change

  // The user clicks the 20th.
  ASSERT_TRUE(zorvel::test::nextFrame(GTK_WIDGET(form.picker->popover())));
  GtkWidget* twentieth = dayLabel(GTK_WIDGET(form.picker->calendar()), "20");
  ASSERT_NE(twentieth, nullptr);
  ASSERT_TRUE(
      zorvel::test::click(twentieth, gtk_widget_get_width(twentieth) / 2.0, gtk_widget_get_height(twentieth) / 2.0));
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return form.ownerActions > 0; }, 5));
  platform::runMainLoopUntil([] { return false; }, 0.2);  // no second notification comes
  EXPECT_EQ(form.ownerActions, 1);
  EXPECT_EQ(localText(form.picker->date()), "2027-03-20 14:30:00");  // the time of day is kept
  EXPECT_EQ(std::string(gtk_editable_get_text(GTK_EDITABLE(form.picker->entry()))), "Mar 20, 2027");
  // The focus stays within the picker, so the calendar stays until its owner closes it.
  EXPECT_TRUE(form.picker->isPopoverShown());

  gtk_widget_grab_focus(form.other);
  EXPECT_TRUE(platform::runMainLoopUntil([&] { return !form.picker->isPopoverShown(); }, 5));
  EXPECT_EQ(form.ownerActions, 1);
}

TEST(DatePicker, APickedDayKeepsTheWallClockTimeAcrossADaylightSavingChange) {
  ZORVEL_ASSERT_DISPLAY();
  struct Case {
    const char* label;
    const char* start;
    const char* day;
    const char* picked;
  } cases[] = {
      {"into summer time (28 March 2027)", "2027-03-27 14:30:00", "29", "2027-03-29 14:30:00"},
      {"back to winter time (31 October 2027)", "2027-10-30 01:15:00", "31", "2027-10-31 01:15:00"},
  };
  platform::DateFormatter formatter("yyyy-MM-dd HH:mm:ss");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Form form;
    ASSERT_TRUE(form.window);
    form.picker->setDate(*formatter.dateFromString(c.start));
    auto delegate = std::make_shared<AllowingDelegate>();
    form.picker->setPopoverDelegate(delegate);
    ASSERT_TRUE(form.focusPicker());
    ASSERT_TRUE(platform::runMainLoopUntil([&] { return form.picker->isPopoverShown(); }, 5));
    ASSERT_TRUE(zorvel::test::nextFrame(GTK_WIDGET(form.picker->popover())));
    GtkWidget* label = dayLabel(GTK_WIDGET(form.picker->calendar()), c.day);
    ASSERT_NE(label, nullptr);
    ASSERT_TRUE(zorvel::test::click(label, gtk_widget_get_width(label) / 2.0, gtk_widget_get_height(label) / 2.0));
    ASSERT_TRUE(platform::runMainLoopUntil([&] { return form.ownerActions > 0; }, 5));
    EXPECT_EQ(localText(form.picker->date()), c.picked);
  }
}

TEST(DatePicker, WithoutADelegateThatAllowsItTheFieldTakesFocusButShowsNoCalendar) {
  ZORVEL_ASSERT_DISPLAY();
  struct Case {
    const char* label;
    std::shared_ptr<PellDatePickerDelegate> delegate;
  };
  auto refusing = std::make_shared<AllowingDelegate>();
  refusing->answer = false;
  const Case cases[] = {
      {"no delegate", nullptr},
      {"a delegate that does not answer", std::make_shared<SilentDelegate>()},
      {"a delegate that answers false", refusing},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Form form;
    ASSERT_TRUE(form.window);
    form.picker->setPopoverDelegate(c.delegate);
    ASSERT_TRUE(form.focusPicker());
    platform::runMainLoopUntil([] { return false; }, 0.2);
    EXPECT_FALSE(form.picker->isPopoverShown());
  }
  EXPECT_GE(refusing->asked, 1);
}

TEST(DatePicker, ADelegateHeldOnlyByThePickerIsNotKept) {
  ZORVEL_ASSERT_DISPLAY();
  Form form;
  ASSERT_TRUE(form.window);
  auto delegate = std::make_shared<AllowingDelegate>();
  form.picker->setPopoverDelegate(delegate);
  delegate.reset();
  EXPECT_EQ(form.picker->popoverDelegate(), nullptr);
  ASSERT_TRUE(form.focusPicker());
  platform::runMainLoopUntil([] { return false; }, 0.2);
  EXPECT_FALSE(form.picker->isPopoverShown());
}

TEST(DatePicker, TypedTextBecomesTheDateAndTheCalendarsOrIsRefused) {
  ZORVEL_ASSERT_DISPLAY();
  struct Case {
    const char* label;
    const char* typed;
    const char* date;   // the picker's date afterwards
    const char* field;  // the field's text afterwards
    int ownerActions;
  };
  const Case cases[] = {
      {"a new date keeps the time of day", "Apr 2, 2027", "2027-04-02 14:30:00", "Apr 2, 2027", 1},
      {"the same date again is no change", "Mar 15, 2027", "2027-03-15 14:30:00", "Mar 15, 2027", 0},
      {"text that is no date is refused", "next tuesday", "2027-03-15 14:30:00", "Mar 15, 2027", 0},
      {"an impossible day is refused", "Feb 30, 2027", "2027-03-15 14:30:00", "Mar 15, 2027", 0},
      {"empty text is refused", "", "2027-03-15 14:30:00", "Mar 15, 2027", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Form form;
    ASSERT_TRUE(form.window);
    ASSERT_TRUE(form.focusPicker());
    gtk_editable_set_text(GTK_EDITABLE(form.picker->entry()), c.typed);
    g_signal_emit_by_name(form.picker->entry(), "activate");
    EXPECT_EQ(localText(form.picker->date()), c.date);
    EXPECT_EQ(std::string(gtk_editable_get_text(GTK_EDITABLE(form.picker->entry()))), c.field);
    EXPECT_EQ(form.ownerActions, c.ownerActions);
    if (c.ownerActions) {
      GDateTime* shown = calendarDate(form.picker);
      EXPECT_EQ(g_date_time_get_month(shown), 4);
      EXPECT_EQ(g_date_time_get_day_of_month(shown), 2);
      g_date_time_unref(shown);
    }
  }
}

TEST(DatePicker, LeavingTheFieldReadsWhatWasTyped) {
  ZORVEL_ASSERT_DISPLAY();
  Form form;
  ASSERT_TRUE(form.window);
  ASSERT_TRUE(form.focusPicker());
  gtk_editable_set_text(GTK_EDITABLE(form.picker->entry()), "Dec 24, 2027");
  gtk_widget_grab_focus(form.other);
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return form.ownerActions == 1; }, 5));
  EXPECT_EQ(localText(form.picker->date()), "2027-12-24 14:30:00");
}

TEST(DatePicker, TheOwnerClosesTheCalendarAndTheEdgeSetsItsSide) {
  ZORVEL_ASSERT_DISPLAY();
  Form form;
  ASSERT_TRUE(form.window);
  auto delegate = std::make_shared<AllowingDelegate>();
  form.picker->setPopoverDelegate(delegate);
  form.picker->setPreferredPopoverEdge(3);
  EXPECT_EQ(gtk_popover_get_position(form.picker->popover()), GTK_POS_TOP);
  ASSERT_TRUE(form.focusPicker());
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return form.picker->isPopoverShown(); }, 5));
  form.picker->closePopover();
  EXPECT_FALSE(form.picker->isPopoverShown());
  form.picker->setPreferredPopoverEdge(2);
  EXPECT_EQ(gtk_popover_get_position(form.picker->popover()), GTK_POS_BOTTOM);
}

}  // namespace
