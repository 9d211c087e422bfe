// The about screen, the launch window and the review panel: their texts, their buttons and the
// answers they record.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/ZRVAnalytics.h"
#include "app/database/database_test_support.h"
#include "app/review/ZRVReviewManager.h"
#include "app/ui/ZRVAboutViewController.h"
#include "app/ui/ZRVLaunchWindowController.h"
#include "app/ui/ZRVReviewViewController.h"
#include "app/ui/ZRVStyleKit.h"
#include "app/ui/ZRVVersion.h"
#include "support/interface/test_window.h"

namespace {

using namespace zorvel::test;

struct RecordingSink : ZRVAnalyticsSink {
  void logContentView(std::string_view name, std::string_view type, std::string_view id,
                      const Attributes& attributes) override {
    EXPECT_TRUE(attributes.empty());
    views.push_back(std::string(name) + " / " + std::string(type) + " / " + std::string(id));
  }
  void logCustomEvent(std::string_view, const Attributes&) override {}
  std::vector<std::string> views;
};

class Screens : public DatabaseTest {
 protected:
  void SetUp() override {
    ZORVEL_ASSERT_DISPLAY();
    ZRVAnalytics::setSharedSink(sink);
  }
  void TearDown() override { ZRVAnalytics::setSharedSink(nullptr); }
  std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
};

const char* labelText(GtkWidget* label) { return gtk_label_get_text(GTK_LABEL(label)); }

TEST_F(Screens, VersionTexts) {
  struct Case {
    const char* version;
    const char* build;
    const char* about;
    const char* launch;
  };
  for (const Case& c : {Case{"2.0", "7", "2.0 (7)", "v. 2.0 (7)"}, Case{"1.2", "34", "1.2 (34)", "v. 1.2 (34)"}}) {
    SCOPED_TRACE(c.about);
    auto about = ZRVAboutViewController::create(c.version, c.build);
    ASSERT_TRUE(about);
    EXPECT_STREQ(labelText(about->outlet("titleLabel")), "Zorvel");
    EXPECT_STREQ(labelText(about->outlet("versionLabel")), c.about);
    auto launch = ZRVLaunchWindowController::create(c.version, c.build);
    ASSERT_TRUE(launch);
    EXPECT_STREQ(labelText(launch->versionLabel()), c.launch);
    EXPECT_FALSE(gtk_window_get_decorated(launch->window()));
  }
  // The application's own numbers come from the build.
  auto launch = ZRVLaunchWindowController::create();
  EXPECT_EQ(labelText(launch->versionLabel()),
            "v. " + std::string(ZRVShortVersionString) + " (" + std::string(ZRVBuildVersionString) + ")");
}

TEST_F(Screens, AboutButtonsOpenTheirPagesAndReportIt) {
  std::vector<std::string> opened;
  auto about = ZRVAboutViewController::create("1.0", "1", [&](const std::string& url) { opened.push_back(url); });
  g_signal_emit_by_name(about->outlet("facebookButton"), "clicked");
  g_signal_emit_by_name(about->outlet("twitterButton"), "clicked");
  EXPECT_EQ(opened, (std::vector<std::string>{std::string(ZRVAboutViewController::kFacebookURL),
                                              std::string(ZRVAboutViewController::kTwitterURL)}));
  EXPECT_EQ(sink->views, (std::vector<std::string>{"AppStore Version / About Window / Facebook Button Clicked",
                                                   "AppStore Version / About Window / Twitter Button Clicked"}));
}

TEST_F(Screens, ReviewPanelTextsAndColours) {
  auto panel = ZRVReviewViewController::create(nullptr);
  ASSERT_TRUE(panel);
  EXPECT_STREQ(labelText(panel->outlet("titleLabel")), "We need your opinion!");
  EXPECT_STREQ(labelText(panel->outlet("descriptionLabel")), "Just a couple of minutes of your time to:");
  struct Case {
    const char* button;
    const char* title;
    const GdkRGBA& colour;
  };
  for (const Case& c : {Case{"writeButton", "Write a review", ZRVStyleKit::reviewWriteButtonLabelColor()},
                        Case{"remindButton", "Remind me later", ZRVStyleKit::reviewRemindButtonLabelColor()},
                        Case{"noButton", "No, thanks", ZRVStyleKit::reviewNoButtonLabelColor()}}) {
    SCOPED_TRACE(c.button);
    GtkLabel* label = panel->titleLabelOf(c.button);
    ASSERT_TRUE(label);
    EXPECT_STREQ(gtk_label_get_text(label), c.title);
    EXPECT_EQ(gtk_label_get_justify(label), GTK_JUSTIFY_CENTER);
    PangoAttrIterator* it = pango_attr_list_get_iterator(gtk_label_get_attributes(label));
    auto* colour = reinterpret_cast<PangoAttrColor*>(pango_attr_iterator_get(it, PANGO_ATTR_FOREGROUND));
    ASSERT_TRUE(colour);
    EXPECT_EQ(colour->color.red, guint16(c.colour.red * 65535));
    EXPECT_EQ(colour->color.blue, guint16(c.colour.blue * 65535));
    EXPECT_EQ(pango_attr_iterator_get(it, PANGO_ATTR_FAMILY), nullptr) << "the font stays the layout file's";
    pango_attr_iterator_destroy(it);
  }
}

TEST_F(Screens, ReviewAnswersAreRecordedByTheReviewManager) {
  auto manager = open(writeBundle(dir.path(), Value(ValueArray{}), Value()));
  ASSERT_TRUE(manager);
  struct Case {
    ZRVReviewAction action;
    std::uint64_t status;
    const char* view;
    bool opens;
  };
  for (const Case& c : {Case{ZRVReviewActionWrite, ZRVReviewManager::kStatusReviewed,
                             "AppStore Version / Review Window / Write Review Pressed", true},
                        Case{ZRVReviewActionRemind, ZRVReviewManager::kStatusNotReviewed,
                             "AppStore Version / Review Window / Remind Later Pressed", false},
                        Case{ZRVReviewActionNo, ZRVReviewManager::kStatusDeclined,
                             "AppStore Version / Review Window / No Thanks Pressed", false}}) {
    SCOPED_TRACE(c.view);
    ASSERT_TRUE(manager->removeAllReviews());
    auto review = ZRVReviewManager::create(manager);
    sink->views.clear();
    std::vector<std::string> opened;
    ZRVReviewAction sent = ZRVReviewAction(99);
    auto panel = ZRVReviewViewController::present(nullptr, [&](ZRVReviewViewController&, ZRVReviewAction action) {
      sent = action;
      EXPECT_TRUE(ZRVReviewViewController::performAction(*review, action,
                                                         [&](const std::string& url) { opened.push_back(url); }));
    });
    ASSERT_TRUE(panel);
    const char* button = c.action == ZRVReviewActionWrite    ? "writeButton"
                         : c.action == ZRVReviewActionRemind ? "remindButton"
                                                             : "noButton";
    g_signal_emit_by_name(panel->outlet(button), "clicked");
    EXPECT_EQ(sent, c.action);
    EXPECT_FALSE(ZRVReviewViewController::isAnyShown()) << "an answer closes the panel";
    EXPECT_EQ(sink->views, std::vector<std::string>{c.view});
    EXPECT_EQ(opened.size(), c.opens ? 1u : 0u);
    auto stored = ZRVReviewManager::create(manager)->currentReviewState();
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->status(), c.status);
    EXPECT_EQ(stored->numberOfRequests(), 1);
  }
}

TEST_F(Screens, ReviewPanelsDoNotStack) {
  auto first = ZRVReviewViewController::present(nullptr, nullptr);
  ASSERT_TRUE(first);
  EXPECT_TRUE(ZRVReviewViewController::isAnyShown());
  EXPECT_EQ(ZRVReviewViewController::present(nullptr, nullptr), nullptr);
  first->close();
  EXPECT_FALSE(ZRVReviewViewController::isAnyShown());
  auto second = ZRVReviewViewController::present(nullptr, nullptr);
  ASSERT_TRUE(second);
  second->close();
}

}  // namespace
