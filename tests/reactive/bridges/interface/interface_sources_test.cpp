#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/run_loop.h"
#include "platform/runtime/error.h"
#include "reactive/RFSubject.h"
#include "reactive/bridges/interface/RFInterfaceSources.h"
#include "support/interface/test_window.h"
#include "tests/reactive/bridges/recording.h"

namespace {

using bridges_test::Recording;
using bridges_test::Texts;
using platform::Value;
using platform::View;
using platform::ViewPtr;

class InterfaceSources : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(zorvel::test::initGtk()) << "no display"; }
};

// Types the text at the end, as a user would (one change).
void type(const ViewPtr& view, const char* text) {
  if (GTK_IS_EDITABLE(view->widget())) {
    int position = -1;
    gtk_editable_insert_text(GTK_EDITABLE(view->widget()), text, -1, &position);
  } else {
    GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(view->widget()));
    GtkTextIter end;
    gtk_text_buffer_get_end_iter(buffer, &end);
    gtk_text_buffer_insert(buffer, &end, text, -1);
  }
}

TEST_F(InterfaceSources, TextSignalsSendTheCapturedTextAtEachSubscriptionThenEveryChange) {
  struct Case {
    const char* name;
    GtkWidget* (*make)();
  } cases[] = {
      {"entry", [] { return gtk_entry_new(); }},
      {"search entry", [] { return gtk_search_entry_new(); }},
      {"text view", [] { return gtk_text_view_new(); }},
  };
  for (const Case& c : cases) {
    ViewPtr view = View::forWidget(c.make());
    type(view, "a");
    RFSignalPtr text = rf_textSignal(view);
    type(view, "b");
    Recording a(text), b(text);
    EXPECT_EQ(a.taken(), (Texts{"a"})) << c.name << ": the text when the signal was made";
    type(view, "c");
    EXPECT_EQ(a.taken(), (Texts{"a", "abc"})) << c.name;
    EXPECT_EQ(b.taken(), (Texts{"a", "abc"})) << c.name << ": each subscription is sent every change";
    a.subscription->dispose();
    type(view, "d");
    EXPECT_EQ(a.taken(), (Texts{"a", "abc"})) << c.name << ": disposal disconnects";
    EXPECT_EQ(b.last(), "abcd") << c.name;
  }
}

TEST_F(InterfaceSources, TextSignalsHoldTheirWidgetWeaklyAndDisconnectFromAnyThread) {
  std::weak_ptr<View> weak;
  RFSignalPtr text;
  Recording r;
  {
    ViewPtr entry = View::forWidget(gtk_entry_new());
    weak = entry;
    text = rf_textSignal(entry);
    r.record(text);
    std::thread([&] { r.subscription->dispose(); }).join();
    // The handler goes on the main queue: until then a change may still arrive, after it none.
    ASSERT_TRUE(platform::runMainLoopUntil(
        [&] {
          return g_signal_handler_find(entry->widget(), G_SIGNAL_MATCH_ID,
                                       g_signal_lookup("changed", GTK_TYPE_EDITABLE), 0, nullptr, nullptr,
                                       nullptr) == 0;
        },
        5.0));
    type(entry, "unseen");
  }
  EXPECT_TRUE(weak.expired()) << "the signal does not keep the widget";
  EXPECT_EQ(r.taken(), (Texts{""}));
  Recording late(text);
  EXPECT_EQ(late.taken(), (Texts{""})) << "only the captured text once the widget is gone";

  ViewPtr label = View::forWidget(gtk_label_new("no text to edit"));
  EXPECT_THROW(rf_textSignal(label), platform::Exception);
}

TEST_F(InterfaceSources, AButtonExecutesItsCommandAndIsSensitiveWhileItIsEnabled) {
  zorvel::test::TestWindow window;
  ViewPtr button = View::forWidget(gtk_button_new_with_label("Go"));
  window.root()->addSubview(button);
  RFSubjectPtr work = RFSubject::subject();
  std::vector<Value> inputs;
  RFCommandPtr command = RFCommand::commandWithSignalBlock([&](const Value& input) {
    inputs.push_back(input);
    return work;
  });
  rf_setCommand(button, command);
  EXPECT_EQ(rf_command(button), command);
  EXPECT_TRUE(gtk_widget_get_sensitive(button->widget()));

  g_signal_emit_by_name(button->widget(), "clicked");
  ASSERT_EQ(inputs.size(), 1u);
  EXPECT_EQ(inputs[0].as<View>(), button) << "the button is the input";
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return !gtk_widget_get_sensitive(button->widget()); }, 5.0))
      << "insensitive while the command runs";
  work->sendCompleted();
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return gtk_widget_get_sensitive(button->widget()); }, 5.0));

  RFSubjectPtr enabled = RFSubject::subject();
  RFCommandPtr gated = RFCommand::commandWithEnabled(enabled, [](const Value&) { return RFSignal::empty(); });
  rf_setCommand(button, gated);
  enabled->sendNext(Value(false));
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return !gtk_widget_get_sensitive(button->widget()); }, 5.0));
  command->execute(Value());  // the earlier command's binding is gone: it no longer decides
  platform::runMainLoopUntil([] { return false; }, 0.05);
  EXPECT_FALSE(gtk_widget_get_sensitive(button->widget()));

  rf_setCommand(button, nullptr);
  EXPECT_TRUE(gtk_widget_get_sensitive(button->widget())) << "no command: sensitive";
  std::size_t executions = inputs.size();
  g_signal_emit_by_name(button->widget(), "clicked");
  EXPECT_EQ(inputs.size(), executions) << "and clicks do nothing";
}

TEST_F(InterfaceSources, ACommandTakesOverTheButtonsActionWithAWarningEachTime) {
  ViewPtr button = View::forWidget(gtk_button_new());
  RFCommandPtr command = RFCommand::commandWithSignalBlock([](const Value&) { return RFSignal::empty(); });
  std::string warning = "WARNING: rf_command hijacks the control's existing target and action.";
  struct Step {
    const char* name;
    bool withAction;
    bool warns;
  } steps[] = {{"a button with an action", true, true},
               {"the command's own button", false, false},
               {"an action set again", true, true}};
  for (const Step& step : steps) {
    if (step.withAction) gtk_actionable_set_action_name(GTK_ACTIONABLE(button->widget()), "app.quit");
    testing::internal::CaptureStderr();
    rf_setCommand(button, command);
    std::string logged = testing::internal::GetCapturedStderr();
    EXPECT_EQ(logged.find(warning) != std::string::npos, step.warns) << step.name << ": " << logged;
    EXPECT_EQ(gtk_actionable_get_action_name(GTK_ACTIONABLE(button->widget())), nullptr) << step.name;
  }
  std::weak_ptr<RFCommand> weakCommand = command;
  command.reset();
  rf_setCommand(button, nullptr);
  EXPECT_TRUE(weakCommand.expired()) << "the button lets its former command go";
}

}  // namespace
