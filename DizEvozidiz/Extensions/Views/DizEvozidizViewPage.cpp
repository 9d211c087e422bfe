#include "DizEvozidiz/Extensions/Views/DizEvozidizViewPage.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <stdexcept>

#include "platform/runtime/format.h"

namespace {

std::int64_t readLittleEndian(const std::uint8_t* p) {
  std::uint64_t v = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&v, p, 8);
  } else {
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  }
  return static_cast<std::int64_t>(v);
}

}  // namespace

// ---- Page ----

platform::Bytes DizEvozidizViewPage::serialize() const {
  platform::Bytes out(rowids_.size() * 8);
  if constexpr (std::endian::native == std::endian::little) {
    if (!rowids_.empty()) std::memcpy(out.data(), rowids_.data(), out.size());
  } else {
    for (std::size_t i = 0; i < rowids_.size(); ++i) {
      auto v = static_cast<std::uint64_t>(rowids_[i]);
      for (int b = 0; b < 8; ++b) out[i * 8 + b] = static_cast<std::uint8_t>(v >> (8 * b));
    }
  }
  return out;
}

void DizEvozidizViewPage::deserialize(const void* bytes, std::size_t length) {
  rowids_.clear();
  const std::size_t n = bytes ? length / 8 : 0;
  rowids_.reserve(n);
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  for (std::size_t i = 0; i < n; ++i) rowids_.push_back(readLittleEndian(p + i * 8));
}

DizEvozidizViewPagePtr DizEvozidizViewPage::deserialized(const void* bytes, std::size_t length) {
  auto page = std::make_shared<DizEvozidizViewPage>();
  page->deserialize(bytes, length);
  return page;
}

void DizEvozidizViewPage::insertRowid(std::int64_t rowid, std::size_t index) {
  if (index > rowids_.size()) throw std::out_of_range("DizEvozidizViewPage: insert index past the end");
  rowids_.insert(rowids_.begin() + static_cast<std::ptrdiff_t>(index), rowid);
}

void DizEvozidizViewPage::removeRowidAtIndex(std::size_t index) {
  if (index >= rowids_.size()) throw std::out_of_range("DizEvozidizViewPage: remove index past the end");
  rowids_.erase(rowids_.begin() + static_cast<std::ptrdiff_t>(index));
}

void DizEvozidizViewPage::removeRange(std::size_t location, std::size_t length) {
  if (length == 0 || location >= rowids_.size()) return;
  const std::size_t end = std::min(rowids_.size(), location + length);
  rowids_.erase(rowids_.begin() + static_cast<std::ptrdiff_t>(location),
                rowids_.begin() + static_cast<std::ptrdiff_t>(end));
}

void DizEvozidizViewPage::appendPage(const DizEvozidizViewPage& page) { appendRange(0, page.rowids_.size(), page); }

void DizEvozidizViewPage::prependPage(const DizEvozidizViewPage& page) { prependRange(0, page.rowids_.size(), page); }

void DizEvozidizViewPage::appendRange(std::size_t location, std::size_t length, const DizEvozidizViewPage& page) {
  if (location + length > page.rowids_.size()) throw std::out_of_range("DizEvozidizViewPage: range past the end");
  // Copy first: the source may be this page.
  std::vector<std::int64_t> moved(page.rowids_.begin() + static_cast<std::ptrdiff_t>(location),
                                  page.rowids_.begin() + static_cast<std::ptrdiff_t>(location + length));
  rowids_.insert(rowids_.end(), moved.begin(), moved.end());
}

void DizEvozidizViewPage::prependRange(std::size_t location, std::size_t length, const DizEvozidizViewPage& page) {
  if (location + length > page.rowids_.size()) throw std::out_of_range("DizEvozidizViewPage: range past the end");
  std::vector<std::int64_t> moved(page.rowids_.begin() + static_cast<std::ptrdiff_t>(location),
                                  page.rowids_.begin() + static_cast<std::ptrdiff_t>(location + length));
  rowids_.insert(rowids_.begin(), moved.begin(), moved.end());
}

bool DizEvozidizViewPage::getIndex(std::size_t* index, std::int64_t rowid) const {
  auto it = std::find(rowids_.begin(), rowids_.end(), rowid);
  const bool found = it != rowids_.end();
  if (index) *index = found ? static_cast<std::size_t>(it - rowids_.begin()) : 0;
  return found;
}

void DizEvozidizViewPage::enumerateRowidsWithOptions(std::uint64_t options, std::size_t location, std::size_t length,
                                                     const Block& block) const {
  if (!block || length == 0) return;
  bool stop = false;
  if (options & kEnumerationReverse) {
    for (std::size_t i = location + length; i-- > location;) {
      block(rowids_[i], i, stop);
      if (stop) return;
    }
  } else {
    for (std::size_t i = location; i < location + length; ++i) {
      block(rowids_[i], i, stop);
      if (stop) return;
    }
  }
}

std::string DizEvozidizViewPage::debugDescription() const {
  std::string out = platform::format("<DizEvozidizViewPage[%p] count=%lu {\n", static_cast<const void*>(this),
                                     static_cast<unsigned long>(rowids_.size()));
  for (std::size_t i = 0; i < rowids_.size(); ++i)
    out += platform::format("  %lu: %lld\n", static_cast<unsigned long>(i), static_cast<long long>(rowids_[i]));
  return out + "}>";
}

// ---- Page metadata ----

DizEvozidizViewPageMetadataPtr DizEvozidizViewPageMetadata::copy() const {
  auto c = std::make_shared<DizEvozidizViewPageMetadata>(*this);
  c->isNew = false;
  c->ownerTag = 0;
  return c;
}

std::string DizEvozidizViewPageMetadata::description() const {
  return platform::format("<DizEvozidizViewPageMetadata[%p]: group(%@) count(%lu) pageKey(%@) prevPageKey(%@)>",
                          static_cast<const void*>(this), group, static_cast<unsigned long>(count), pageKey,
                          prevPageKey ? platform::Value(*prevPageKey) : platform::Value());
}

// ---- State ----

namespace {

std::shared_ptr<DizEvozidizViewState::PageList> copiedList(const DizEvozidizViewState::PageList& pages) {
  auto copied = std::make_shared<DizEvozidizViewState::PageList>();
  copied->reserve(pages.size());
  for (const auto& m : pages) copied->push_back(m->copy());
  return copied;
}

}  // namespace

DizEvozidizViewStatePtr DizEvozidizViewState::sharingCopy(bool immutable) const {
  auto c = std::make_shared<DizEvozidizViewState>();
  c->groups_.reserve(groups_.size());
  for (const auto& [group, pages] : groups_) {
    // A copy's descriptors are never new: a list holding a new one is copied at once.
    const bool hasNew = std::any_of(pages->begin(), pages->end(), [](const auto& m) { return m->isNew; });
    c->groups_.emplace(group, hasNew ? copiedList(*pages) : pages);
  }
  c->pageKeyGroups_ = pageKeyGroups_;
  c->isImmutable_ = immutable;
  // The copy now shares this state's descriptors: neither may change them in place any more.
  if (!isImmutable_) ownerTag_ = newOwnerTag();
  return c;
}

DizEvozidizViewStatePtr DizEvozidizViewState::copy() const {
  if (isImmutable_) return std::const_pointer_cast<DizEvozidizViewState>(shared_from_this());
  return sharingCopy(true);
}

DizEvozidizViewStatePtr DizEvozidizViewState::mutableCopy() const { return sharingCopy(false); }

std::uint64_t DizEvozidizViewState::newOwnerTag() {
  static std::atomic<std::uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

DizEvozidizViewState::PageList& DizEvozidizViewState::ownList(std::shared_ptr<PageList>& list) {
  // An immutable state is never written, and other threads may be reading it: no copying there.
  // The descriptors are copied one by one when changed (ownPageMetadataAtIndex).
  if (!isImmutable_ && list.use_count() > 1) list = std::make_shared<PageList>(*list);
  return *list;
}

const DizEvozidizViewState::PageList* DizEvozidizViewState::ownPagesMetadataForGroup(const std::string& group) {
  auto it = groups_.find(group);
  return it == groups_.end() ? nullptr : &ownList(it->second);
}

const DizEvozidizViewPageMetadataPtr& DizEvozidizViewState::ownPageMetadataAtIndex(std::size_t index,
                                                                                   const std::string& group) {
  PageList& pages = ownList(groups_.at(group));
  DizEvozidizViewPageMetadataPtr& m = pages.at(index);
  if (!isImmutable_ && m->ownerTag != ownerTag_) {
    m = std::make_shared<DizEvozidizViewPageMetadata>(*m);
    m->ownerTag = ownerTag_;
  }
  return m;
}

DizEvozidizViewState::PageKeyGroups& DizEvozidizViewState::ownPageKeyGroups() {
  if (!isImmutable_ && pageKeyGroups_.use_count() > 1)
    pageKeyGroups_ = std::make_shared<PageKeyGroups>(*pageKeyGroups_);
  return *pageKeyGroups_;
}

const DizEvozidizViewState::PageList* DizEvozidizViewState::pagesMetadataForGroup(const std::string& group) const {
  auto it = groups_.find(group);
  return it == groups_.end() ? nullptr : it->second.get();
}

const std::string* DizEvozidizViewState::groupForPageKey(const std::string& pageKey) const {
  auto it = pageKeyGroups_->find(pageKey);
  return it == pageKeyGroups_->end() ? nullptr : &it->second;
}

void DizEvozidizViewState::enumerateGroupsWithBlock(
    const std::function<void(const std::string& group, bool& stop)>& block) const {
  bool stop = false;
  for (const auto& entry : groups_) {
    block(entry.first, stop);
    if (stop) return;
  }
}

void DizEvozidizViewState::enumerateWithBlock(
    const std::function<void(const std::string& group, const PageList& pages, bool& stop)>& block) const {
  bool stop = false;
  for (const auto& entry : groups_) {
    block(entry.first, *entry.second, stop);
    if (stop) return;
  }
}

DizEvozidizViewState::PageList& DizEvozidizViewState::createGroup(const std::string& group, std::size_t capacity) {
  auto [it, inserted] = groups_.try_emplace(group);
  if (inserted) {
    it->second = std::make_shared<PageList>();
    if (capacity > 0) it->second->reserve(capacity);
  }
  return ownList(it->second);
}

DizEvozidizViewState::PageList& DizEvozidizViewState::addPageMetadata(const DizEvozidizViewPageMetadataPtr& metadata,
                                                                      const std::string& group) {
  PageList& pages = ownList(groups_.at(group));
  ownPageKeyGroups()[metadata->pageKey] = group;
  pages.push_back(metadata);
  stampIfUnowned(*metadata);
  return pages;
}

DizEvozidizViewState::PageList& DizEvozidizViewState::insertPageMetadata(const DizEvozidizViewPageMetadataPtr& metadata,
                                                                         std::size_t index, const std::string& group) {
  PageList& pages = ownList(groups_.at(group));
  if (index > pages.size()) throw std::out_of_range("DizEvozidizViewState: insert index past the end");
  ownPageKeyGroups()[metadata->pageKey] = group;
  pages.insert(pages.begin() + static_cast<std::ptrdiff_t>(index), metadata);
  stampIfUnowned(*metadata);
  return pages;
}

DizEvozidizViewState::PageList& DizEvozidizViewState::removePageMetadataAtIndex(std::size_t index,
                                                                                const std::string& group) {
  PageList& pages = ownList(groups_.at(group));
  if (index >= pages.size()) throw std::out_of_range("DizEvozidizViewState: remove index past the end");
  ownPageKeyGroups().erase(pages[index]->pageKey);
  pages.erase(pages.begin() + static_cast<std::ptrdiff_t>(index));
  return pages;
}

void DizEvozidizViewState::removeGroup(const std::string& group) {
  auto it = groups_.find(group);
  if (it != groups_.end() && it->second->empty()) groups_.erase(it);
}

void DizEvozidizViewState::removeAllGroups() {
  groups_.clear();
  pageKeyGroups_ = std::make_shared<PageKeyGroups>();
}

std::uint64_t DizEvozidizViewState::countForGroup(const std::string& group) const {
  std::uint64_t n = 0;
  if (const PageList* pages = pagesMetadataForGroup(group))
    for (const auto& m : *pages) n += m->count;
  return n;
}
