// Scheduling, delivery and activation against a notification service we did not write: dunst,
// on the test's display and a private bus, read and clicked with dunstctl. Without dunst
// installed the test is skipped, except on CI (CI set), where it fails.

#include <gio/gio.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/notifications/notification_test_support.h"

namespace {

using namespace zorvel::test;
using testing::HasSubstr;
using testing::SizeIs;

// Runs a program to its end; its standard output, or none when it could not run or failed.
std::optional<std::string> run(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  gchar* out = nullptr;
  gint status = 0;
  GError* error = nullptr;
  const bool ran = g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out, nullptr,
                                &status, &error);
  if (error) {
    ADD_FAILURE() << arguments[0] << ": " << error->message;
    g_error_free(error);
  }
  std::string text = out ? out : "";
  g_free(out);
  if (!ran || !g_spawn_check_wait_status(status, nullptr)) return std::nullopt;
  return text;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class Dunst : public NotificationTest {
 protected:
  Dunst() : NotificationTest(false) {}

  void SetUp() override {
    gchar* dunst = g_find_program_in_path("dunst");
    gchar* dunstctl = g_find_program_in_path("dunstctl");
    const bool installed = dunst && dunstctl;
    g_free(dunst);
    g_free(dunstctl);
    if (!installed) {
      if (std::getenv("CI")) FAIL() << "dunst and dunstctl are not installed";
      GTEST_SKIP() << "dunst is not installed";
    }
    ASSERT_TRUE(std::getenv("DISPLAY")) << "run under a display (run_with_display.sh)";
    NotificationTest::SetUp();
    if (HasFatalFailure()) return;

    // dunst's own defaults (no configuration file), printing every notification it gets.
    output = dir.path() / "dunst.out";
    GSubprocessLauncher* launcher = g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_STDERR_SILENCE);
    g_subprocess_launcher_setenv(launcher, "DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), TRUE);
    g_subprocess_launcher_unsetenv(launcher, "WAYLAND_DISPLAY");
    g_subprocess_launcher_set_stdout_file_path(launcher, output.c_str());
    const std::string config = (dir.path() / "dunstrc").string();
    std::ofstream(config) << "";
    GError* error = nullptr;
    process = g_subprocess_launcher_spawn(launcher, &error, "dunst", "-config", config.c_str(), "-print", nullptr);
    g_object_unref(launcher);
    ASSERT_TRUE(process) << (error ? error->message : "");
    // Ready once it owns the service's name.
    ASSERT_TRUE(platform::runMainLoopUntil(
        [&] {
          GVariant* reply = g_dbus_connection_call_sync(
              connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
              g_variant_new("(s)", "org.freedesktop.Notifications"), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, -1,
              nullptr, nullptr);
          gboolean owned = FALSE;
          if (reply) {
            g_variant_get(reply, "(b)", &owned);
            g_variant_unref(reply);
          }
          return owned == TRUE;
        },
        10))
        << "dunst did not take the notification service's name";
  }

  void TearDown() override {
    if (process) {
      g_subprocess_send_signal(process, SIGTERM);
      g_subprocess_wait(process, nullptr, nullptr);
      g_object_unref(process);
    }
    NotificationTest::TearDown();
  }

  std::string displayedCount() {
    auto count = run({"dunstctl", "count", "displayed"});
    return count ? std::string(g_strstrip(count->data())) : "?";
  }

  std::filesystem::path output;
  GSubprocess* process = nullptr;
};

TEST_F(Dunst, ScheduledNotificationsAreShownAndADefaultActionReachesTheDelegate) {
  makeManager();
  auto day = makeTrigger(platform::CalendarUnitDay, 1);
  auto hour = makeTrigger(platform::CalendarUnitHour, 1);
  auto minutes = makeTrigger(platform::CalendarUnitMinute, 10);
  storeTriggers({day, hour, minutes});
  auto birthday = makeEvent(ZRVEventStateActive, localDate(2024, 6, 1, 12), "Birthday");
  auto holiday = makeEvent(ZRVEventStateActive, localDate(2024, 7, 1, 12), "Holiday");
  storeEvents({birthday, holiday});
  ASSERT_THAT(scheduled(), SizeIs(6));

  ASSERT_TRUE(platform::runMainLoopUntil([&] { return transport->hasCapabilities(); }, 10));
  EXPECT_THAT(transport->capabilities(), testing::Contains("actions"));

  clock.set(*day->deliveryDateForEvent(*birthday));
  EXPECT_EQ(deliver(), 1u);
  ASSERT_THAT(delivered(), SizeIs(1));
  EXPECT_EQ(displayedCount(), "1");
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return readFile(output).find("Birthday") != std::string::npos; }, 5));
  const std::string shown = readFile(output);
  EXPECT_THAT(shown, HasSubstr("appname: 'Zorvel'"));
  EXPECT_THAT(shown, HasSubstr("summary: 'Birthday'"));
  EXPECT_THAT(shown, HasSubstr("body: 'less than a day'"));
  EXPECT_THAT(shown, HasSubstr("\"default\": \"Open\""));

  // The user clicks it: the delegate gets the event, and the notification is closed and gone.
  ASSERT_TRUE(run({"dunstctl", "action", "0"}));
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return !delegate->events.empty(); }, 10));
  ASSERT_TRUE(delegate->events[0]);
  EXPECT_EQ(delegate->events[0]->uuid(), birthday->uuid());
  EXPECT_THAT(delivered(), testing::IsEmpty());
  EXPECT_TRUE(platform::runMainLoopUntil([&] { return displayedCount() == "0"; }, 10));
  EXPECT_THAT(scheduled(), SizeIs(5));
}

}  // namespace
