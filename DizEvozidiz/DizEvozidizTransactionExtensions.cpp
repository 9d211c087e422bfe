// The transaction's side of the extension framework: extension transactions made on first use and
// kept in registration order, memory-table transactions, the pre-commit flush passes and the
// commit and rollback calls.

#include <algorithm>
#include <utility>

#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizExtension.h"
#include "DizEvozidiz/DizEvozidizExtensionInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/DizEvozidizTransactionInternal.h"
#include "DizEvozidiz/DizMemoryTable.h"

using RT = DizEvozidizReadTransaction;
using RW = DizEvozidizReadWriteTransaction;

namespace {

// A pass over the main table that never completes means two extensions keep answering each
// other's writes; after this many the transaction fails instead of spinning forever.
constexpr int kMaxFlushPasses = 1000;

// The state's transactions: registration order first, then any the order does not name.
std::vector<DizEvozidizExtensionTransactionPtr> inRegistrationOrder(const DizTransactionExtensionState& state,
                                                                    const std::vector<std::string>& order) {
  std::vector<DizEvozidizExtensionTransactionPtr> result;
  result.reserve(state.byName.size());
  for (const std::string& name : order) {
    auto it = state.byName.find(name);
    if (it != state.byName.end()) result.push_back(it->second);
  }
  if (result.size() != state.byName.size()) {
    for (const auto& [name, transaction] : state.byName)
      if (std::find(order.begin(), order.end(), name) == order.end()) result.push_back(transaction);
  }
  return result;
}

const std::vector<std::string>& registrationOrder(const DizEvozidizConnectionInternal& connection) {
  return connection.extensionState->registries->extensionsOrder;
}

}  // namespace

DizTransactionExtensionState& RT::extensionState() {
  if (!extensionState_) extensionState_ = std::make_unique<DizTransactionExtensionState>();
  return *extensionState_;
}

// ---------------------------------------------------------------------------------------------
// Extension transactions

namespace {

DizEvozidizExtensionTransactionPtr makeAndPrepare(RT& transaction, DizEvozidizExtensionConnection& connection) {
  DizEvozidizExtensionTransactionPtr made = transaction.isReadWriteTransaction()
                                                ? connection.newReadWriteTransaction(static_cast<RW&>(transaction))
                                                : connection.newReadTransaction(transaction);
  if (!made || !made->prepareIfNeeded()) return nullptr;
  return made;
}

}  // namespace

DizEvozidizExtensionTransactionPtr RT::extension(std::string_view name) {
  auto& state = extensionState();
  if (auto it = state.byName.find(name); it != state.byName.end()) return it->second;
  if (state.ready) return nullptr;
  DizEvozidizExtensionConnectionPtr extensionConnection = connection_->extension(name);
  if (!extensionConnection) return nullptr;
  DizEvozidizExtensionTransactionPtr made = makeAndPrepare(*this, *extensionConnection);
  if (made) state.byName.emplace(std::string(name), made);
  return made;
}

void RT::prepareExtensions() {
  auto& state = extensionState();
  if (state.ready) return;
  for (const auto& [name, extensionConnection] : diz_detail::extensionConnections(*connection_)) {
    if (state.byName.contains(name)) continue;
    if (DizEvozidizExtensionTransactionPtr made = makeAndPrepare(*this, *extensionConnection))
      state.byName.emplace(name, std::move(made));
  }
  state.ordered.clear();
  for (const std::string& name : registrationOrder(*connection_)) {
    auto it = state.byName.find(name);
    if (it != state.byName.end()) state.ordered.push_back(it->second);
  }
  state.ready = true;
}

const std::vector<DizEvozidizExtensionTransactionPtr>& RT::orderedExtensions() {
  static const std::vector<DizEvozidizExtensionTransactionPtr> none;
  // The common case without extensions allocates and prepares nothing.
  if (!extensionState_ && connection_->extensionState->registries->extensions.empty()) return none;
  auto& state = extensionState();
  if (!state.ready) prepareExtensions();
  return state.ordered;
}

void RW::addRegisteredExtensionTransaction(const DizEvozidizExtensionTransactionPtr& transaction,
                                           const std::string& name) {
  if (!transaction) return;
  auto& state = extensionState();
  state.byName[name] = transaction;
  if (state.ready) state.ordered = inRegistrationOrder(state, registrationOrder(*connection_));
}

void RW::removeRegisteredExtensionTransactionWithName(std::string_view name) {
  auto& state = extensionState();
  auto it = state.byName.find(name);
  if (it == state.byName.end()) return;
  state.byName.erase(it);
  if (state.ready) state.ordered = inRegistrationOrder(state, registrationOrder(*connection_));
}

// ---------------------------------------------------------------------------------------------
// Memory tables

std::shared_ptr<DizMemoryTableTransaction> RT::memoryTableTransaction(std::string_view name) {
  auto& state = extensionState();
  const bool isDiz = name == kDizMemoryTableName;
  if (isDiz && state.dizLookedUp) return state.diz;
  const DizMemoryTablesByName& tables = connection_->extensionState->registries->memoryTables;
  auto it = tables.find(name);
  if (it == tables.end() || !it->second) return nullptr;  // not kept: the table may be registered later
  const std::uint64_t snapshot = connection_->snapshot();
  std::shared_ptr<DizMemoryTableTransaction> made;
  if (isReadWriteTransaction_) {
    made = it->second->newReadWriteTransaction(snapshot + 1);
    state.readWriteMemoryTransactions.push_back(made);
  } else {
    made = it->second->newReadTransaction(snapshot);
  }
  if (isDiz) {
    state.diz = made;
    state.dizLookedUp = true;
  }
  return made;
}

std::shared_ptr<DizMemoryTableTransaction> RT::dizMemoryTableTransaction() {
  return memoryTableTransaction(kDizMemoryTableName);
}

bool RT::hasMemoryTableChanges() const {
  if (!extensionState_) return false;
  for (const auto& transaction : extensionState_->readWriteMemoryTransactions)
    if (transaction->isCommitted() && transaction->hasChanges()) return true;
  return false;
}

// ---------------------------------------------------------------------------------------------
// Commit and rollback

void RT::preCommitReadWriteTransaction() {
  if (!isReadWriteTransaction_ || !extensionState_) return;
  auto& rw = static_cast<RW&>(*this);
  auto& state = *extensionState_;
  const auto& order = registrationOrder(*connection_);
  if (!state.byName.empty()) {
    // Passes over the main table: an extension that writes there may give another one work, so a
    // pass in which a second writer finds the table changed starts over. A write may also bring in
    // extensions not yet prepared: the next pass includes them.
    bool completed = false;
    for (int pass = 0; pass < kMaxFlushPasses && !completed; ++pass) {
      const std::vector<DizEvozidizExtensionTransactionPtr> extensions = inRegistrationOrder(state, order);
      auto item = connection_->mutationStack ? connection_->mutationStack->push() : nullptr;
      bool earlierFlushed = false;
      completed = true;
      for (const auto& extension : extensions) {
        if (!extension->flushPendingChangesToMainDatabaseTable()) continue;
        if (item && item->isMutated() && earlierFlushed) {
          completed = false;
          break;
        }
        earlierFlushed = true;
      }
      if (state.byName.size() != extensions.size()) completed = false;
    }
    if (!completed) {
      rw.noteFailedWrite("flushPendingChangesToMainDatabaseTable",
                         "extensions kept writing to the main table in every pass");
      return;
    }
    for (const auto& extension : inRegistrationOrder(state, order)) extension->flushPendingChangesToExtensionTables();
  }
  if (state.diz) state.diz->commit();
}

void RT::extensionsDidCommit() {
  if (!extensionState_) return;
  for (const auto& extension : inRegistrationOrder(*extensionState_, registrationOrder(*connection_)))
    extension->didCommitTransaction();
}

void RT::extensionsDidRollback() {
  if (!extensionState_) return;
  for (const auto& extension : inRegistrationOrder(*extensionState_, registrationOrder(*connection_)))
    extension->didRollbackTransaction();
  if (extensionState_->diz) extensionState_->diz->rollback();
  // Versions written at the rolled-back snapshot must not stay behind in any table (rolling back
  // twice does nothing).
  for (const auto& transaction : extensionState_->readWriteMemoryTransactions) transaction->rollback();
}
