#include "DizEvozidiz/Extensions/Views/DizEvozidizViewChange.h"

#include "platform/runtime/format.h"

namespace {

platform::Value groupValue(const std::optional<std::string>& group) {
  return group ? platform::Value(*group) : platform::Value();
}

platform::Value keyValue(const DizCollectionKeyPtr& key) { return key ? platform::Value(key) : platform::Value(); }

unsigned long ul(std::uint64_t v) { return static_cast<unsigned long>(v); }

}  // namespace

// ---- Row changes ----

DizEvozidizViewRowChangePtr DizEvozidizViewRowChange::insertCollectionKey(DizCollectionKeyPtr collectionKey,
                                                                          std::string group, std::uint64_t index) {
  auto c = platform::make<DizEvozidizViewRowChange>();
  c->type_ = DizViewChangeInsert;
  c->changes_ = DizViewChangedObject | DizViewChangedMetadata;
  c->collectionKey_ = std::move(collectionKey);
  c->finalGroup_ = std::move(group);
  c->opFinalIndex_ = c->finalIndex_ = index;
  return c;
}

DizEvozidizViewRowChangePtr DizEvozidizViewRowChange::deleteCollectionKey(DizCollectionKeyPtr collectionKey,
                                                                          std::string group, std::uint64_t index) {
  auto c = platform::make<DizEvozidizViewRowChange>();
  c->type_ = DizViewChangeDelete;
  c->changes_ = DizViewChangedObject | DizViewChangedMetadata;
  c->collectionKey_ = std::move(collectionKey);
  c->originalGroup_ = std::move(group);
  c->opOriginalIndex_ = c->originalIndex_ = index;
  return c;
}

DizEvozidizViewRowChangePtr DizEvozidizViewRowChange::updateCollectionKey(DizCollectionKeyPtr collectionKey,
                                                                          std::string group, std::uint64_t index,
                                                                          std::uint64_t changes) {
  auto c = platform::make<DizEvozidizViewRowChange>();
  c->type_ = DizViewChangeUpdate;
  c->changes_ = changes;
  c->collectionKey_ = std::move(collectionKey);
  c->originalGroup_ = group;
  c->finalGroup_ = std::move(group);
  c->opOriginalIndex_ = c->originalIndex_ = index;
  c->opFinalIndex_ = c->finalIndex_ = index;
  return c;
}

DizEvozidizViewRowChangePtr DizEvozidizViewRowChange::copyRecord() const {
  auto c = platform::make<DizEvozidizViewRowChange>();
  c->collectionKey_ = collectionKey_;
  c->originalGroup_ = originalGroup_;
  c->finalGroup_ = finalGroup_;
  c->type_ = type_;
  c->changes_ = changes_;
  c->opOriginalIndex_ = opOriginalIndex_;
  c->opFinalIndex_ = opFinalIndex_;
  c->originalIndex_ = originalIndex_;
  c->finalIndex_ = finalIndex_;
  c->originalSection_ = originalSection_;
  c->finalSection_ = finalSection_;
  return c;
}

std::optional<DizIndexPath> DizEvozidizViewRowChange::indexPath() const {
  if (type_ == DizViewChangeInsert) return std::nullopt;
  return DizIndexPath{originalSection_, originalIndex_};
}

std::optional<DizIndexPath> DizEvozidizViewRowChange::newIndexPath() const {
  if (type_ == DizViewChangeDelete || type_ == DizViewChangeUpdate) return std::nullopt;
  return DizIndexPath{finalSection_, finalIndex_};
}

std::string DizEvozidizViewRowChange::description() const {
  const auto key = keyValue(collectionKey_);
  switch (type_) {
    case DizViewChangeInsert:
      if (finalSection_ != DizViewNotFound)
        return platform::format(
            "<DizEvozidizViewRowChange: Insert indexPath(nil) newIndexPath(%lu, %lu) group(%@) collectionKey(%@)>",
            ul(finalSection_), ul(finalIndex_), groupValue(finalGroup_), key);
      return platform::format(
          "<DizEvozidizViewRowChange: Insert pre(~ -> %lu) post(~ -> %lu) group(%@) collectionKey(%@)",
          ul(opFinalIndex_), ul(finalIndex_), groupValue(finalGroup_), key);
    case DizViewChangeDelete:
      if (originalSection_ != DizViewNotFound)
        return platform::format(
            "<DizEvozidizViewRowChange: Delete indexPath(%lu, %lu) newIndexPath(nil) group(%@) collectionKey(%@)>",
            ul(originalSection_), ul(originalIndex_), groupValue(originalGroup_), key);
      return platform::format(
          "<DizEvozidizViewRowChange: Delete pre(%lu -> ~) post(%lu -> ~) group(%@) collectionKey(%@)",
          ul(opOriginalIndex_), ul(originalIndex_), groupValue(originalGroup_), key);
    case DizViewChangeMove:
      if (originalSection_ != DizViewNotFound || finalSection_ != DizViewNotFound)
        return platform::format(
            "<DizEvozidizViewRowChange: Move indexPath(%lu, %lu) newIndexPath(%lu, %lu) group(%@ -> %@) "
            "collectionKey(%@)",
            ul(originalSection_), ul(originalIndex_), ul(finalSection_), ul(finalIndex_), groupValue(originalGroup_),
            groupValue(finalGroup_), key);
      return platform::format(
          "<DizEvozidizViewRowChange: Move pre(%lu -> %lu) post(%lu -> %lu) group(%@ -> %@) collectionKey(%@)",
          ul(opOriginalIndex_), ul(opFinalIndex_), ul(originalIndex_), ul(finalIndex_), groupValue(originalGroup_),
          groupValue(finalGroup_), key);
    default:
      if (originalSection_ != DizViewNotFound || finalSection_ != DizViewNotFound)
        return platform::format("<DizEvozidizViewRowChange: Update indexPath(%lu, %lu) group(%@) collectionKey(%@)",
                                ul(originalSection_), ul(originalIndex_), groupValue(originalGroup_), key);
      return platform::format("<DizEvozidizViewRowChange: Update pre(%lu) post(%lu -> %lu) group(%@) collectionKey(%@)",
                              ul(opOriginalIndex_), ul(originalIndex_), ul(finalIndex_), groupValue(originalGroup_),
                              key);
  }
}

// ---- Section changes ----

DizEvozidizViewSectionChangePtr DizEvozidizViewSectionChange::insertGroup(std::string group) {
  auto c = platform::make<DizEvozidizViewSectionChange>();
  c->type_ = DizViewChangeInsert;
  c->group_ = std::move(group);
  return c;
}

DizEvozidizViewSectionChangePtr DizEvozidizViewSectionChange::deleteGroup(std::string group) {
  auto c = platform::make<DizEvozidizViewSectionChange>();
  c->type_ = DizViewChangeDelete;
  c->group_ = std::move(group);
  return c;
}

DizEvozidizViewSectionChangePtr DizEvozidizViewSectionChange::resetGroup(std::string group) {
  auto c = deleteGroup(std::move(group));
  c->isReset_ = true;
  return c;
}

DizEvozidizViewSectionChangePtr DizEvozidizViewSectionChange::copyRecord() const {
  auto c = platform::make<DizEvozidizViewSectionChange>();
  c->group_ = group_;
  c->type_ = type_;
  c->isReset_ = isReset_;
  c->originalSection_ = originalSection_;
  c->finalSection_ = finalSection_;
  return c;
}

std::string DizEvozidizViewSectionChange::description() const {
  const bool insert = type_ == DizViewChangeInsert;
  const std::uint64_t section = insert ? finalSection_ : originalSection_;
  if (section != DizViewNotFound)
    return platform::format(insert ? "<DizEvozidizViewSectionChange: Insert section(%lu) group(%@)>"
                                   : "<DizEvozidizViewSectionChange: Delete section(%lu) group(%@)>",
                            ul(section), group_);
  return platform::format(
      insert ? "<DizEvozidizViewSectionChange: Insert group(%@)" : "<DizEvozidizViewSectionChange: Delete group(%@)",
      group_);
}
