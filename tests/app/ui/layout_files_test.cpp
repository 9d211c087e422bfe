#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "app/ui/ZRVLayout.h"
#include "app/ui/ZRVStyleKit.h"
#include "app/ui/ZRVUIResources.h"
#include "platform/dispatch/run_loop.h"
#include "support/interface/test_window.h"
#include "support/interface/widget_tree.h"

namespace {

struct Outlet {
  const char* id;
  const char* type;  // the object's type or one it derives from
};

struct LayoutFile {
  const char* name;
  std::vector<Outlet> outlets;
};

const std::vector<Outlet> kItemButtons = {
    {"actionButton", "GtkButton"}, {"linkButton", "GtkButton"}, {"shareButton", "GtkButton"}};

std::vector<Outlet> withItemButtons(std::vector<Outlet> outlets) {
  outlets.insert(outlets.end(), kItemButtons.begin(), kItemButtons.end());
  return outlets;
}

// Every layout file of the interface with the outlets its controller fills.
const std::vector<LayoutFile>& layoutFiles() {
  static const std::vector<LayoutFile> files = {
      {"Launch", {{"window", "GtkWindow"}, {"view", "GtkWidget"}, {"versionLabel", "GtkLabel"}}},
      {"ZRVMainViewController",
       {{"view", "GtkWidget"},
        {"collectionView", "GtkWidget"},
        {"scrollView", "GtkScrolledWindow"},
        {"addButton", "ZRVHoverButton"},
        {"optionsButton", "ZRVHoverButton"},
        {"optionsMenu", "GMenuModel"},
        {"addFirstEventImageView", "ZRVHoverImageView"},
        {"summaryView", "GtkBox"},
        {"completeStackView", "GtkBox"},
        {"completeNameLabel", "GtkLabel"},
        {"completeValueLabel", "GtkLabel"},
        {"activeStackView", "GtkBox"},
        {"activeNameLabel", "GtkLabel"},
        {"activeValueLabel", "GtkLabel"},
        {"archivedStackView", "GtkBox"},
        {"archivedNameLabel", "GtkLabel"},
        {"archivedValueLabel", "GtkLabel"},
        {"resizingCornerImageView", "ZRVHoverImageView"},
        {"aboutPopoverReferenceView", "GtkWidget"}}},
      {"ZRVMainEditCollectionViewItem",
       {{"view", "GtkWidget"},
        {"backgroundView", "GtkWidget"},
        {"deleteButton", "GtkButton"},
        {"cancelButton", "GtkButton"},
        {"acceptButton", "GtkButton"},
        {"eventNameTextField", "GtkEntry"},
        {"linkTextField", "GtkEntry"},
        {"eventDatePicker", "PellDatePicker"},
        {"eventTimePicker", "GtkWidget"},
        {"yearsCounterLabel", "GtkLabel"},
        {"daysCounterLabel", "GtkLabel"},
        {"hoursCounterLabel", "GtkLabel"},
        {"minutesCounterLabel", "GtkLabel"},
        {"secondsCounterLabel", "GtkLabel"},
        {"yearsNameLabel", "GtkLabel"},
        {"daysNameLabel", "GtkLabel"},
        {"hoursNameLabel", "GtkLabel"},
        {"minutesNameLabel", "GtkLabel"},
        {"secondsNameLabel", "GtkLabel"},
        {"skinCollectionPopUp", "GtkDropDown"},
        {"nextSkinButton", "GtkButton"},
        {"prevSkinButton", "GtkButton"},
        {"pageControllerView", "GtkStack"}}},
      {"ZRVMainCompletedCollectionViewItem", withItemButtons({{"view", "GtkWidget"},
                                                              {"nameLabel", "GtkLabel"},
                                                              {"dateLabel", "GtkLabel"},
                                                              {"animatedSkinImageView", "ZRVParticlesStarsImageView"},
                                                              {"archiveButton", "GtkButton"}})},
      {"ZRVMainArchivedCollectionViewItem", withItemButtons({{"view", "GtkWidget"},
                                                             {"nameLabel", "GtkLabel"},
                                                             {"dateLabel", "GtkLabel"},
                                                             {"daysLabel", "GtkLabel"},
                                                             {"waitedLabel", "GtkLabel"}})},
      {"ZRVMainLargeCollectionViewItem", withItemButtons({{"view", "GtkWidget"},
                                                          {"nameLabel", "GtkLabel"},
                                                          {"dateLabel", "GtkLabel"},
                                                          {"hoursCounterLabel", "GtkLabel"},
                                                          {"minutesCounterLabel", "GtkLabel"},
                                                          {"secondsCounterLabel", "GtkLabel"},
                                                          {"hoursNameLabel", "GtkLabel"},
                                                          {"minutesNameLabel", "GtkLabel"},
                                                          {"secondsNameLabel", "GtkLabel"},
                                                          {"skinImageView", "GtkPicture"}})},
      {"ZRVMainMediumCollectionViewItem", withItemButtons({{"view", "GtkWidget"},
                                                           {"nameLabel", "GtkLabel"},
                                                           {"dateLabel", "GtkLabel"},
                                                           {"daysCounterLabel", "GtkLabel"},
                                                           {"hoursCounterLabel", "GtkLabel"},
                                                           {"minutesCounterLabel", "GtkLabel"},
                                                           {"secondsCounterLabel", "GtkLabel"},
                                                           {"daysNameLabel", "GtkLabel"},
                                                           {"hoursNameLabel", "GtkLabel"},
                                                           {"minutesNameLabel", "GtkLabel"},
                                                           {"secondsNameLabel", "GtkLabel"},
                                                           {"skinImageView", "GtkPicture"}})},
      {"ZRVMainSmallCollectionViewItem", withItemButtons({{"view", "GtkWidget"},
                                                          {"nameLabel", "GtkLabel"},
                                                          {"dateLabel", "GtkLabel"},
                                                          {"daysCounterLabel", "GtkLabel"},
                                                          {"daysNameLabel", "GtkLabel"},
                                                          {"skinImageView", "GtkPicture"}})},
      {"ZRVMainTinyCollectionViewItem", withItemButtons({{"view", "GtkWidget"},
                                                         {"nameLabel", "GtkLabel"},
                                                         {"daysCounterLabel", "GtkLabel"},
                                                         {"daysYearsLabel", "GtkLabel"},
                                                         {"plusLabel", "GtkLabel"},
                                                         {"skinImageView", "GtkPicture"}})},
      {"ZRVMainArchivedSectionHeaderView", {{"view", "GtkWidget"}, {"titleLabel", "GtkLabel"}}},
      {"ZRVMainEditSkinViewController", {{"view", "GtkWidget"}, {"skinImageView", "GtkPicture"}}},
      {"ZRVPreferencesViewController",
       {{"view", "GtkWidget"},
        {"titleLabel", "GtkLabel"},
        {"notificationsGroup", "GtkFrame"},
        {"tableView", "GtkListBox"},
        {"listControlsView", "GtkWidget"},
        {"addTriggerButton", "GtkButton"},
        {"removeTriggerButton", "GtkButton"},
        {"applyButton", "GtkButton"},
        {"cancelButton", "GtkButton"},
        // The cells of a row, by the table's cell identifiers, and their controls.
        {"Enabled Cell", "GtkWidget"},
        {"checkButton", "GtkCheckButton"},
        {"Unit Cell System", "GtkWidget"},
        {"Unit Cell User", "GtkWidget"},
        {"unitPopUpButton", "GtkDropDown"},
        {"Value Cell", "GtkWidget"},
        {"valueTextField", "GtkEntry"},
        {"When Cell", "GtkWidget"}}},
      {"ZRVAboutViewController",
       {{"view", "GtkWidget"},
        {"titleLabel", "GtkLabel"},
        {"versionLabel", "GtkLabel"},
        {"facebookButton", "GtkButton"},
        {"twitterButton", "GtkButton"}}},
      {"ZRVReviewViewController",
       {{"view", "GtkWidget"},
        {"titleLabel", "GtkLabel"},
        {"descriptionLabel", "GtkLabel"},
        {"writeButton", "ZRVHoverButton"},
        {"remindButton", "ZRVHoverButton"},
        {"noButton", "GtkButton"}}},
  };
  return files;
}

TEST(LayoutFiles, EveryLayoutFileBuildsAndHasEveryOutletWithItsType) {
  ZORVEL_ASSERT_DISPLAY();
  for (const LayoutFile& file : layoutFiles()) {
    SCOPED_TRACE(file.name);
    GError* error = nullptr;
    GtkBuilder* builder = ZRVLoadLayout(file.name, &error);
    ASSERT_NE(builder, nullptr) << (error ? error->message : "");
    for (const Outlet& outlet : file.outlets) {
      SCOPED_TRACE(outlet.id);
      GObject* object = gtk_builder_get_object(builder, outlet.id);
      ASSERT_NE(object, nullptr) << "missing outlet";
      const GType type = g_type_from_name(outlet.type);
      ASSERT_NE(type, G_TYPE_INVALID) << outlet.type;
      EXPECT_TRUE(g_type_is_a(G_OBJECT_TYPE(object), type)) << G_OBJECT_TYPE_NAME(object) << " is no " << outlet.type;
    }
    // The root of a view controller's file stands alone, ready to be put in place.
    if (GObject* view = gtk_builder_get_object(builder, "view"); view && std::string(file.name) != "Launch") {
      EXPECT_EQ(gtk_widget_get_parent(GTK_WIDGET(view)), nullptr);
    }
    if (GObject* window = gtk_builder_get_object(builder, "window")) gtk_window_destroy(GTK_WINDOW(window));
    g_object_unref(builder);
  }
}

TEST(LayoutFiles, EveryViewLaysOutInAWindowWithItsOutletsOnShow) {
  ZORVEL_ASSERT_DISPLAY();
  ZRVStyleKit::installStyleSheet(gdk_display_get_default());
  for (const LayoutFile& file : layoutFiles()) {
    SCOPED_TRACE(file.name);
    GtkBuilder* builder = ZRVLoadLayout(file.name);
    ASSERT_NE(builder, nullptr);
    GtkWidget* window = nullptr;
    GtkWidget* view = nullptr;
    if (GObject* own = gtk_builder_get_object(builder, "window")) {
      window = GTK_WIDGET(own);
      view = GTK_WIDGET(gtk_builder_get_object(builder, "view"));
      gtk_window_present(GTK_WINDOW(window));
      ASSERT_TRUE(platform::runMainLoopUntil([&] { return gtk_widget_get_mapped(window); }, 10));
      ASSERT_TRUE(zorvel::test::nextFrame(window));
    } else {
      view = GTK_WIDGET(gtk_builder_get_object(builder, "view"));
      window = zorvel::test::showInWindow(view, 375, 100);
      ASSERT_TRUE(window);
    }
    int requestedWidth = 0, requestedHeight = 0;
    gtk_widget_get_size_request(view, &requestedWidth, &requestedHeight);
    EXPECT_GE(gtk_widget_get_width(view), requestedWidth);
    EXPECT_GE(gtk_widget_get_height(view), requestedHeight);
    const nlohmann::json tree = zorvel::test::widgetTree(view, true);
    for (const Outlet& outlet : file.outlets) {
      GObject* object = gtk_builder_get_object(builder, outlet.id);
      if (!GTK_IS_WIDGET(object) || GTK_IS_WINDOW(object) || GTK_WIDGET(object) == view) continue;
      // Cells of the preferences are built for rows, not shown with the screen.
      if (!gtk_widget_is_ancestor(GTK_WIDGET(object), view)) continue;
      EXPECT_TRUE(zorvel::test::findWidget(tree, outlet.id).has_value()) << outlet.id;
    }
    (void)zorvel::test::saveScreenshot(view, std::string("layout_") + file.name);
    gtk_window_destroy(GTK_WINDOW(window));
    g_object_unref(builder);
  }
}

TEST(LayoutFiles, TheTableCoversEveryLayoutFileOfTheResources) {
  ZRVRegisterUIResources();
  char** children =
      g_resources_enumerate_children(ZRVResourcePath("ui/").c_str(), G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
  ASSERT_NE(children, nullptr);
  std::set<std::string> inResources;
  for (char** child = children; *child; ++child) {
    std::string name = *child;
    ASSERT_TRUE(name.ends_with(".ui")) << name;
    inResources.insert(name.substr(0, name.size() - 3));
  }
  g_strfreev(children);
  std::set<std::string> inTable;
  for (const LayoutFile& file : layoutFiles()) inTable.insert(file.name);
  EXPECT_EQ(inResources, inTable);
}

TEST(LayoutFiles, ACellOfThePreferencesBuildsAgainForEachRow) {
  ZORVEL_ASSERT_DISPLAY();
  ZRVRegisterUIResources();
  ZRVRegisterControlTypes();
  for (int row = 0; row < 2; ++row) {
    GtkBuilder* builder = gtk_builder_new();
    const char* objects[] = {"Unit Cell User", nullptr};
    GError* error = nullptr;
    ASSERT_TRUE(gtk_builder_add_objects_from_resource(builder, ZRVLayoutPath("ZRVPreferencesViewController").c_str(),
                                                      objects, &error))
        << error->message;
    EXPECT_NE(gtk_builder_get_object(builder, "unitPopUpButton"), nullptr);
    EXPECT_EQ(gtk_builder_get_object(builder, "view"), nullptr);  // only the cell
    GListModel* units = gtk_drop_down_get_model(GTK_DROP_DOWN(gtk_builder_get_object(builder, "unitPopUpButton")));
    ASSERT_EQ(g_list_model_get_n_items(units), 6u);
    EXPECT_STREQ(gtk_string_list_get_string(GTK_STRING_LIST(units), 0), "years");
    EXPECT_STREQ(gtk_string_list_get_string(GTK_STRING_LIST(units), 5), "seconds");
    g_object_unref(builder);
  }
}

TEST(LayoutFiles, AMissingLayoutFileIsAnError) {
  GError* error = nullptr;
  EXPECT_EQ(ZRVLoadLayout("NoSuchController", &error), nullptr);
  ASSERT_NE(error, nullptr);
  g_error_free(error);
}

}  // namespace
