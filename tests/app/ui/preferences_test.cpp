// The preferences screen over a real store: triggers added, changed, removed and applied in one
// commit, cancel writing nothing, and values bounded by what a notification date can hold.

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "app/database/database_test_support.h"
#include "app/ui/ZRVPreferencesViewController.h"
#include "support/interface/test_window.h"

namespace {

using namespace zorvel::test;

class Preferences : public DatabaseTest {
 protected:
  void SetUp() override {
    ZORVEL_ASSERT_DISPLAY();
    // Two built-in triggers stored as the defaults, and one the user added before.
    manager = open(writeBundle(
        dir.path(), Value(ValueArray{}),
        Value(ValueDictionary{
            {"triggers", Value(ValueArray{triggerEntry("T1", 16, 1, true), triggerEntry("T2", 32, 1, false)})}})));
    ASSERT_TRUE(manager->syncOptions());
    auto user = ZRVOptionTrigger::triggerWithUnit(64, 10, ZRVOptionTriggerTypeUser, true);
    user->setUuid("U1");
    storeObjects(manager, ZRVOptionsCollection, {user});
    ASSERT_TRUE(flushMainQueue());
    controller = ZRVPreferencesViewController::create(
        manager, [this](ZRVPreferencesViewController&, ZRVPreferencesViewController::Outcome outcome) {
          outcomes.push_back(outcome);
        });
    ASSERT_TRUE(controller);
    window = showInWindow(controller->view(), 500, 400);
  }
  void TearDown() override {
    controller = nullptr;
    if (window) gtk_window_destroy(GTK_WINDOW(window));
  }

  // The stored triggers by uuid.
  std::map<std::string, std::shared_ptr<ZRVOptionTrigger>> stored() {
    std::map<std::string, std::shared_ptr<ZRVOptionTrigger>> triggers;
    manager->backgroundDatabaseConnection()->readWithBlock([&](DizEvozidizReadTransaction& t) {
      t.enumerateKeysAndObjectsInCollection(ZRVOptionsCollection, [&](const std::string& key, const Value& v, bool&) {
        if (auto trigger = v.as<ZRVOptionTrigger>()) triggers[key] = trigger;
      });
    });
    return triggers;
  }
  std::size_t rowOf(const std::string& uuid) {
    for (std::size_t i = 0; i < controller->triggers().size(); ++i)
      if (controller->triggers()[i]->uuid() == uuid) return i;
    ADD_FAILURE() << "no row for " << uuid;
    return 0;
  }
  bool removeEnabled() { return gtk_widget_get_sensitive(controller->outlet("removeTriggerButton")); }
  void enterValue(std::size_t row, const char* text) {
    GtkWidget* field = controller->cellControl(row, "valueTextField");
    gtk_editable_set_text(GTK_EDITABLE(field), text);
    g_signal_emit_by_name(field, "activate");
  }
  std::uint64_t commits() const { return manager->database()->snapshot(); }

  ZRVDatabaseManager::Ptr manager;
  ZRVPreferencesViewController::Ptr controller;
  std::vector<ZRVPreferencesViewController::Outcome> outcomes;
  GtkWidget* window = nullptr;
};

TEST_F(Preferences, ShowsTheStoredTriggersAndOnlyUserTriggersCanBeRemoved) {
  ASSERT_EQ(controller->triggers().size(), 3u);
  EXPECT_FALSE(removeEnabled());
  controller->selectRow(rowOf("T1"));
  EXPECT_FALSE(removeEnabled()) << "a built-in trigger";
  EXPECT_EQ(controller->cellControl(rowOf("T1"), "unitPopUpButton"), nullptr);
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(controller->cellControl(rowOf("T1"), "unitSystemTextField"))), "days");
  EXPECT_FALSE(gtk_editable_get_editable(GTK_EDITABLE(controller->cellControl(rowOf("T1"), "valueTextField"))));
  controller->selectRow(rowOf("U1"));
  EXPECT_TRUE(removeEnabled());
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(controller->cellControl(rowOf("U1"), "whenTextField"))), "before");
}

TEST_F(Preferences, AddChangeRemoveAndApplyInOneCommit) {
  const auto before = commits();
  g_signal_emit_by_name(controller->outlet("addTriggerButton"), "clicked");
  g_signal_emit_by_name(controller->outlet("addTriggerButton"), "clicked");
  ASSERT_EQ(controller->triggers().size(), 5u);
  for (std::size_t row : {0u, 1u}) {
    EXPECT_EQ(controller->triggers()[row]->unit(), 16u);
    EXPECT_EQ(controller->triggers()[row]->value(), 1u);
    EXPECT_TRUE(controller->triggers()[row]->active());
  }
  enterValue(0, "3");
  gtk_drop_down_set_selected(GTK_DROP_DOWN(controller->cellControl(0, "unitPopUpButton")), 3);  // hours
  // Switch a built-in trigger off, remove the user's old one.
  gtk_check_button_set_active(GTK_CHECK_BUTTON(controller->cellControl(rowOf("T1"), "checkButton")), false);
  controller->selectRow(rowOf("U1"));
  g_signal_emit_by_name(controller->outlet("removeTriggerButton"), "clicked");
  ASSERT_EQ(controller->triggers().size(), 4u);
  EXPECT_TRUE(stored().count("U1")) << "nothing is written before Apply";

  ASSERT_TRUE(controller->applyButtonDidPressed());
  EXPECT_EQ(commits(), before + 1);
  auto after = stored();
  EXPECT_EQ(after.size(), 4u);
  EXPECT_FALSE(after.count("U1"));
  EXPECT_FALSE(after.at("T1")->active());
  EXPECT_FALSE(after.at("T2")->active());
  auto first = after.at(*controller->triggers()[0]->uuid());
  EXPECT_EQ(first->unit(), 32u);
  EXPECT_EQ(first->value(), 3u);
  EXPECT_EQ(first->type(), ZRVOptionTriggerTypeUser);
  EXPECT_TRUE(after.count(*controller->triggers()[1]->uuid()));
  EXPECT_EQ(outcomes, std::vector{ZRVPreferencesViewController::Outcome::Accepted});
}

TEST_F(Preferences, AddingAndRemovingBeforeApplyWritesNothingForIt) {
  g_signal_emit_by_name(controller->outlet("addTriggerButton"), "clicked");
  controller->selectRow(0);
  g_signal_emit_by_name(controller->outlet("removeTriggerButton"), "clicked");
  ASSERT_TRUE(controller->applyButtonDidPressed());
  EXPECT_EQ(stored().size(), 3u);
}

TEST_F(Preferences, CancelLeavesTheStoredTriggers) {
  const auto before = commits();
  g_signal_emit_by_name(controller->outlet("addTriggerButton"), "clicked");
  gtk_check_button_set_active(GTK_CHECK_BUTTON(controller->cellControl(rowOf("T1"), "checkButton")), false);
  g_signal_emit_by_name(controller->outlet("cancelButton"), "clicked");
  EXPECT_EQ(commits(), before);
  EXPECT_EQ(stored().size(), 3u);
  EXPECT_TRUE(stored().at("T1")->active());
  EXPECT_EQ(outcomes, std::vector{ZRVPreferencesViewController::Outcome::Cancelled});
}

TEST_F(Preferences, ValuesAreWholeNumbersWithinWhatTheUnitCanExpress) {
  struct Case {
    const char* label;
    std::size_t unitIndex;  // in the pop-up: years, months, days, hours, minutes, seconds
    const char* text;
    std::uint64_t expected;  // the value kept (10 when refused)
  };
  const Case cases[] = {
      {"zero", 2, "0", 10},
      {"negative", 2, "-3", 10},
      {"not a number", 2, "soon", 10},
      {"a hundred years", 0, "100", 100},
      {"more than a hundred years", 0, "101", 10},
      {"a hundred years in days", 2, "36525", 36525},
      {"more than that in days", 2, "36526", 10},
      {"huge seconds", 5, "99999999999999", 10},
      {"beyond 64 bits", 4, "184467440737095516160", 10},
  };
  const std::size_t row = rowOf("U1");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    controller->triggers()[row]->setValue(10);
    gtk_drop_down_set_selected(GTK_DROP_DOWN(controller->cellControl(row, "unitPopUpButton")), guint(c.unitIndex));
    enterValue(row, c.text);
    EXPECT_EQ(controller->triggers()[row]->value(), c.expected);
    EXPECT_EQ(gtk_editable_get_text(GTK_EDITABLE(controller->cellControl(row, "valueTextField"))),
              std::to_string(c.expected));
    EXPECT_EQ(controller->valueMessage().empty(), c.expected != 10) << controller->valueMessage();
  }
  EXPECT_EQ(controller->valueMessage(), "Enter a whole number from 1 to 52596000 minutes.");
  // The bound keeps the delivery date computable.
  auto trigger = ZRVOptionTrigger::triggerWithUnit(4, ZRVPreferencesViewController::maximumValueForUnit(4), 1, true);
  auto event = makeEvent(ZRVEventStateActive, localDate(2024, 6, 1, 12));
  EXPECT_TRUE(trigger->deliveryDateForEvent(*event).has_value());
}

}  // namespace
