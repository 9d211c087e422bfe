// The view connection's entry for list displays: from commit notifications and mappings to the
// section and row changes between the mappings' snapshot and the connection's.

#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewConnection.h"
#include "DizEvozidiz/Extensions/Views/Utilities/DizEvozidizViewChangeSet.h"
#include "platform/runtime/error.h"
#include "platform/runtime/format.h"

namespace {

constexpr const char* kConnectionLogFile = "DizEvozidiz/Extensions/Views/DizEvozidizViewConnection.cpp";

std::uint64_t snapshotOf(const platform::NotificationPtr& notification) {
  const platform::Value& snapshot = notification->userInfo()["snapshot"];
  return snapshot.isNil() ? 0 : static_cast<std::uint64_t>(snapshot.asUInt64());
}

}  // namespace

bool DizEvozidizViewConnection::getSectionChanges(std::vector<DizEvozidizViewSectionChangePtr>* sectionChanges,
                                                  std::vector<DizEvozidizViewRowChangePtr>* rowChanges,
                                                  const std::vector<platform::NotificationPtr>& notifications,
                                                  DizEvozidizViewMappings* mappings) {
  if (sectionChanges) sectionChanges->clear();
  if (rowChanges) rowChanges->clear();
  if (!mappings) {
    DIZ_LOG_IN(kDizLogFlagWarning, kConnectionLogFile, "%@: %@ - mappings parameter is nil", "getSectionChanges");
    return false;
  }
  const std::string name = view_->registeredName();
  if (mappings->snapshotOfLastUpdate() == DizViewMappingsNeverUpdated) {
    platform::Exception::raise(
        "DizEvozidizException",
        platform::format("ViewConnection[%p, RegisteredName=%@] was asked for changes, but given bad mappings.",
                         static_cast<const void*>(this), name),
        platform::Value::dictionary(
            {{std::string(platform::kLocalizedRecoverySuggestionErrorKey),
              platform::Value("The given mappings have not been properly initialized. You need to invoke [mappings "
                              "updateWithTransaction:transaction] once in order to initialize the mappings object. "
                              "You should do this after invoking [databaseConnection beginLongLivedReadTransaction]. "
                              "For example code, see the documentation of DizEvozidizViewMappings in the "
                              "DizEvozidiz folder of this project.")}}));
  }
  if (notifications.empty()) return false;

  platform::ValueArray changes;
  for (const auto& notification : notifications)
    if (const auto* log = changeLog(notification)) changes.insert(changes.end(), log->begin(), log->end());
  DizEvozidizViewMappings original = mappings->copy();
  // Failing checks below leave the given mappings as they were.
  DizEvozidizViewMappings updated = mappings->copy();
  databaseConnection()->readWithBlock(
      [&](DizEvozidizReadTransaction& transaction) { updated.updateWithTransaction(transaction, false); });

  const std::uint64_t first = snapshotOf(notifications.front());
  const std::uint64_t last = snapshotOf(notifications.back());
  if (first != original.snapshotOfLastUpdate() + 1 || last != updated.snapshotOfLastUpdate()) {
    const std::string reason = platform::format(
        "ViewConnection[%p, RegisteredName=%@] was asked for changes, but given mismatched mappings & notifications.",
        static_cast<const void*>(this), name);
    const std::string failureReason = platform::format(
        "preMappings.snapshotOfLastUpdate: expected(%llu) != found(%llu), postMappings.snapshotOfLastUpdate: "
        "expected(%llu) != found(%llu), ",
        static_cast<unsigned long long>(first - 1), static_cast<unsigned long long>(original.snapshotOfLastUpdate()),
        static_cast<unsigned long long>(last), static_cast<unsigned long long>(updated.snapshotOfLastUpdate()));
    const std::string suggestion =
        "When you initialize the database, the snapshot (uint64) is set to zero. Every read-write transaction (that "
        "makes modifications) increments the snapshot. Now, when you ask the viewConnection for a changeset,  you need "
        "to pass matching mappings & notifications. That is, the mappings need to represent the database at snapshot "
        "X, and the notifications need to represent the database at snapshots @[ X+1, X+2, ...]. This does not appear "
        "to be the case. This most often happens when the databaseConnection isn't using a longLivedReadTransaction. "
        "And this happens by accident most often when you use a databaseConnection, which is in a "
        "longLivedReadTransaction, to perform a read-write transaction. Doing so implicitly forces the connection out "
        "of the longLivedReadTransaction, and moves it to the most recent snapshot. If this is the case, be sure to "
        "use a separate connection for your read-write transaction.";
    DIZ_LOG_IN(kDizLogFlagError, kConnectionLogFile,
               "%@: Throwing exception: %@\n  - FailureReason: %@\n  - RecoverySuggestion: %@", reason, failureReason,
               suggestion);
    platform::Exception::raise(
        "DizEvozidizException", reason,
        platform::Value::dictionary(
            {{std::string(platform::kLocalizedFailureReasonErrorKey), platform::Value(failureReason)},
             {std::string(platform::kLocalizedRecoverySuggestionErrorKey), platform::Value(suggestion)}}));
  }
  *mappings = std::move(updated);
  DizEvozidizViewChange::getSectionChanges(sectionChanges, rowChanges, original, *mappings, changes);
  return true;
}
