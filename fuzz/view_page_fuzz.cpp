// A view's pages as read back from the file: the page blobs (rowids) and the page rows that chain
// them into groups. Arbitrary bytes make both; decoding must never crash, hang or leak, a blob
// must write back to the bytes it was read from, and a chain must either load whole (every page
// reached once, in one list per group, counts summed) or be refused.

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "DizEvozidiz/Extensions/Views/DizEvozidizViewPage.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewPagesInternal.h"

namespace {

// Reads small fields from the input, front to back; zero once it runs out.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool atEnd() const { return at_ >= size_; }
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

void checkBlob(const std::uint8_t* data, std::size_t size) {
  auto page = DizEvozidizViewPage::deserialized(data, size);
  if (page->count() != size / 8) __builtin_trap();
  const platform::Bytes written = page->serialize();
  if (written.size() != page->count() * 8) __builtin_trap();
  for (std::size_t i = 0; i < written.size(); ++i)
    if (written[i] != data[i]) __builtin_trap();
}

// Page rows over a handful of keys and groups, so that links hit, miss, loop and fork.
void checkChains(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  std::vector<DizEvozidizViewPageMetadataPtr> rows;
  while (!in.atEnd() && rows.size() < 64) {
    auto m = std::make_shared<DizEvozidizViewPageMetadata>();
    const std::uint8_t key = in.byte(), link = in.byte(), group = in.byte(), count = in.byte();
    m->pageKey = "P" + std::to_string(key % 16);
    if (link & 0x80) m->prevPageKey = "P" + std::to_string(link % 16);
    m->group = "g" + std::to_string(group % 3);
    m->count = count;
    rows.push_back(std::move(m));
  }
  const std::size_t given = rows.size();
  std::set<std::string> keys;
  for (const auto& m : rows) keys.insert(m->pageKey);
  // The page key is the table's primary key, but a damaged index can let a key come twice: such
  // input must not crash; the strict checks apply to distinct keys.
  const bool distinct = keys.size() == given;
  auto state = DizViewPages::buildState(std::move(rows), "fuzz");
  if (!state) return;
  std::set<std::string> seen;
  std::size_t pages = 0;
  state->enumerateWithBlock([&](const std::string& group, const DizEvozidizViewState::PageList& list, bool&) {
    std::uint64_t sum = 0;
    for (const auto& m : list) {
      if (!m || m->group != group) __builtin_trap();
      if (!seen.insert(m->pageKey).second && distinct) __builtin_trap();
      if (distinct && (!state->groupForPageKey(m->pageKey) || *state->groupForPageKey(m->pageKey) != group))
        __builtin_trap();
      sum += m->count;
      ++pages;
    }
    if (state->countForGroup(group) != sum) __builtin_trap();
  });
  if (distinct && pages != given) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  checkBlob(data, size);
  checkChains(data, size);
  return 0;
}
