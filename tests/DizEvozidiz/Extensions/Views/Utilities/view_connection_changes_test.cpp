// The view connection's entry for list displays: section and row changes from commit
// notifications and mappings, and its refusals.

#include <gtest/gtest.h>

#include "DizEvozidiz/Extensions/Views/Utilities/DizEvozidizViewChangeSet.h"
#include "tests/DizEvozidiz/Extensions/Views/view_store_test_support.h"

namespace {

using Mappings = DizEvozidizViewMappings;

class ViewConnectionChanges : public diztest::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    writer = database->newConnection();
    display = database->newConnection();
    ASSERT_TRUE(database->registerExtension(viewtest::makeView(calls), "order", writer));
    put(writer, "a", platform::Value(1));
    display->beginLongLivedReadTransaction();
    view = std::dynamic_pointer_cast<DizEvozidizViewConnection>(display->ext("order"));
    ASSERT_TRUE(view);
  }
  void TearDown() override {
    view.reset();
    display.reset();
    writer.reset();
    StoreFixture::TearDown();
  }
  Mappings updatedMappings() {
    Mappings m({"g1", "g2"}, "order");
    display->readWithBlock([&](DizEvozidizReadTransaction& t) { m.updateWithTransaction(t); });
    return m;
  }

  std::shared_ptr<viewtest::Calls> calls = std::make_shared<viewtest::Calls>();
  DizEvozidizConnection::Ptr writer, display;
  DizEvozidizViewConnectionPtr view;
  DizEvozidizViewChange::SectionChanges sections;
  DizEvozidizViewChange::RowChanges rows;
};

TEST_F(ViewConnectionChanges, ReportsTheChangesSinceTheMappingsSnapshot) {
  auto m = updatedMappings();
  put(writer, "b", platform::Value(4));  // g1, after "a"
  put(writer, "c", platform::Value(2));  // g2: a new section
  const auto notifications = display->beginLongLivedReadTransaction();
  ASSERT_EQ(notifications.size(), 2u);
  EXPECT_TRUE(view->hasChangesForNotifications(notifications));
  ASSERT_TRUE(view->getSectionChanges(&sections, &rows, notifications, &m));
  EXPECT_EQ(m.snapshotOfLastUpdate(), display->snapshot());
  EXPECT_EQ(m.numberOfItemsInSection(0), 2u);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]->newIndexPath(), (DizIndexPath{0, 1}));
  EXPECT_EQ(rows[1]->newIndexPath(), (DizIndexPath{1, 0}));
  EXPECT_TRUE(sections.empty()) << "static mappings keep the empty section of g2";
}

TEST_F(ViewConnectionChanges, NoMappingsOrNoNotificationsGiveNothing) {
  diztest::LogCapture log;
  auto m = updatedMappings();
  EXPECT_FALSE(view->getSectionChanges(&sections, &rows, {}, &m));
  EXPECT_FALSE(view->getSectionChanges(&sections, &rows, {}, nullptr));
  EXPECT_TRUE(log->contains("DizEvozidizViewConnection: getSectionChanges - mappings parameter is nil"));
  EXPECT_TRUE(rows.empty());
  EXPECT_TRUE(sections.empty());
}

TEST_F(ViewConnectionChanges, MappingsNeverUpdatedRaise) {
  Mappings m({"g1"}, "order");
  put(writer, "b", platform::Value(4));
  const auto notifications = display->beginLongLivedReadTransaction();
  try {
    view->getSectionChanges(&sections, &rows, notifications, &m);
    FAIL() << "no exception";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "DizEvozidizException");
    EXPECT_EQ(e.reason(), platform::format(
                              "ViewConnection[%p, RegisteredName=order] was asked for changes, but given bad mappings.",
                              static_cast<const void*>(view.get())));
    EXPECT_EQ(e.userInfo()[std::string(platform::kLocalizedRecoverySuggestionErrorKey)].asString().rfind(
                  "The given mappings have not been properly initialized. You need to invoke [mappings "
                  "updateWithTransaction:transaction] once in order to initialize the mappings object.",
                  0),
              0u);
  }
}

TEST_F(ViewConnectionChanges, MismatchedSnapshotsRaiseAndLeaveTheMappingsAlone) {
  diztest::LogCapture log;
  auto m = updatedMappings();
  const std::uint64_t snapshot = m.snapshotOfLastUpdate();
  put(writer, "b", platform::Value(4));
  display->beginLongLivedReadTransaction();  // this commit's notification is not handed over
  put(writer, "c", platform::Value(7));
  const auto notifications = display->beginLongLivedReadTransaction();
  ASSERT_EQ(notifications.size(), 1u);
  try {
    view->getSectionChanges(&sections, &rows, notifications, &m);
    FAIL() << "no exception";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "DizEvozidizException");
    EXPECT_NE(e.reason().find("was asked for changes, but given mismatched mappings & notifications."),
              std::string::npos);
    EXPECT_EQ(
        e.userInfo()[std::string(platform::kLocalizedFailureReasonErrorKey)].asString(),
        platform::format("preMappings.snapshotOfLastUpdate: expected(%llu) != found(%llu), "
                         "postMappings.snapshotOfLastUpdate: expected(%llu) != found(%llu), ",
                         static_cast<unsigned long long>(snapshot + 1), static_cast<unsigned long long>(snapshot),
                         static_cast<unsigned long long>(snapshot + 2), static_cast<unsigned long long>(snapshot + 2)));
    EXPECT_NE(
        e.userInfo()[std::string(platform::kLocalizedRecoverySuggestionErrorKey)].asString().find(
            "when you ask the viewConnection for a changeset,  you need to pass matching mappings & notifications."),
        std::string::npos);
  }
  EXPECT_EQ(m.snapshotOfLastUpdate(), snapshot) << "the mappings stay at their snapshot";
  EXPECT_TRUE(log->contains("Throwing exception: "));
}

}  // namespace
