#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/runtime/error.h"
#include "platform/runtime/kvc.h"
#include "platform/runtime/kvo.h"
#include "platform/runtime/methods.h"
#include "platform/runtime/properties.h"

namespace {

using platform::KeyValueChange;
using platform::Value;
using platform::ValueArray;

// "items" is stored; "tags" goes through a hand-written setter that counts its calls; "quiet"
// does not notify automatically.
class Shelf : public platform::Object {
  ZORVEL_CLASS(Shelf, platform::Object)
 public:
  ZORVEL_PROPERTY(ValueArray, items, setItems)
  ZORVEL_PROPERTY(ValueArray, quiet, setQuiet)

  const ValueArray& tags() const { return tags_; }
  void setTags(ValueArray tags) {
    ++tagSetterCalls;
    setAndNotify("tags", tags_, std::move(tags));
  }
  ZORVEL_CUSTOM_PROPERTY(tags, tags, setTags, tags_)

  bool automaticallyNotifiesObserversForKey(std::string_view key) const override {
    return key != "quiet" && Object::automaticallyNotifiesObserversForKey(key);
  }

  int tagSetterCalls = 0;

 private:
  ValueArray tags_;
};

// "books" has indexed methods by name, which record their calls.
class Library : public platform::Object {
  ZORVEL_CLASS(Library, platform::Object)
 public:
  ZORVEL_PROPERTY(ValueArray, books, setBooks)
  void insertBook(Value book, std::uint64_t index) {
    calls.push_back("insert " + book.description() + " at " + std::to_string(index));
    books_.insert(books_.begin() + static_cast<std::ptrdiff_t>(index), std::move(book));
  }
  ZORVEL_METHOD("insertObject:inBooksAtIndex:", insertBook)
  void removeBook(std::uint64_t index) {
    calls.push_back("remove at " + std::to_string(index));
    books_.erase(books_.begin() + static_cast<std::ptrdiff_t>(index));
  }
  ZORVEL_METHOD("removeObjectFromBooksAtIndex:", removeBook)
  std::vector<std::string> calls;
};

class Recorder : public platform::KeyValueObserver {
 public:
  void observeValueForKeyPath(std::string_view, platform::Object&, const KeyValueChange& change, void*) override {
    std::string s = "kind=" + std::to_string(static_cast<int>(change.kind));
    for (std::size_t i : change.indexes) s += " @" + std::to_string(i);
    if (!change.oldValue.isNil()) s += " old=" + change.oldValue.description();
    if (!change.newValue.isNil()) s += " new=" + change.newValue.description();
    records.push_back(s);
  }
  std::vector<std::string> records;
};

Value list(std::initializer_list<Value> values) { return Value(ValueArray(values)); }

TEST(MutableArrayProxy, ChangesTheStoredArrayAndAnnouncesIndexedChanges) {
  auto shelf = platform::make<Shelf>();
  auto recorder = std::make_shared<Recorder>();
  shelf->addObserver(recorder, "items", platform::ObserveNew | platform::ObserveOld);
  auto items = shelf->mutableArrayValueForKey("items");
  items->addObject(Value("a"));
  items->insertObject(Value("b"), 0);
  items->insertObjects({Value("x"), Value("y")}, {1, 3});
  items->replaceObjectAtIndex(0, Value("B"));
  items->removeObjectsAtIndexes({1, 3});
  items->removeLastObject();
  EXPECT_EQ(Value(shelf->items()), list({Value("B")}));
  EXPECT_EQ(items->count(), 1u);
  EXPECT_EQ(items->objectAtIndex(0), Value("B"));
  items->removeAllObjects();
  EXPECT_TRUE(shelf->items().empty());
  std::vector<std::string> expected = {
      "kind=2 @0 new=(\n    a\n)",
      "kind=2 @0 new=(\n    b\n)",
      "kind=2 @1 @3 new=(\n    x,\n    y\n)",
      "kind=4 @0 old=(\n    b\n) new=(\n    B\n)",
      "kind=3 @1 @3 old=(\n    x,\n    y\n)",
      "kind=3 @1 old=(\n    a\n)",
      "kind=3 @0 old=(\n    B\n)",
  };
  EXPECT_EQ(recorder->records, expected);
  shelf->removeObserver(recorder.get(), "items");
}

TEST(MutableArrayProxy, GoesThroughTheSetterButAnnouncesOnlyTheIndexedChange) {
  auto shelf = platform::make<Shelf>();
  auto recorder = std::make_shared<Recorder>();
  shelf->addObserver(recorder, "tags", 0);
  shelf->mutableArrayValueForKey("tags")->addObject(Value("t"));
  EXPECT_EQ(shelf->tagSetterCalls, 1);
  EXPECT_EQ(recorder->records, (std::vector<std::string>{"kind=2 @0"}));
  shelf->setTags({});
  EXPECT_EQ(recorder->records.back(), "kind=1") << "the setter alone still announces a setting";
  shelf->removeObserver(recorder.get(), "tags");
}

TEST(MutableArrayProxy, UsesIndexedMethodsByNameWhenTheClassHasThem) {
  auto library = platform::make<Library>();
  auto recorder = std::make_shared<Recorder>();
  library->addObserver(recorder, "books", platform::ObserveNew);
  auto books = library->mutableArrayValueForKey("books");
  books->addObject(Value("a"));
  books->insertObjects({Value("b"), Value("c")}, {0, 1});
  books->replaceObjectAtIndex(2, Value("A"));
  books->removeObjectsAtIndexes({0, 1});
  EXPECT_EQ(Value(library->books()), list({Value("A")}));
  EXPECT_EQ(library->calls, (std::vector<std::string>{"insert a at 0", "insert b at 0", "insert c at 1", "remove at 2",
                                                      "insert A at 2", "remove at 1", "remove at 0"}));
  EXPECT_EQ(recorder->records.size(), 4u) << "one announcement per change of the proxy";
  library->removeObserver(recorder.get(), "books");
}

TEST(MutableArrayProxy, AKeyThatDoesNotNotifyIsNotAnnouncedAndBadIndexesRaise) {
  auto shelf = platform::make<Shelf>();
  auto recorder = std::make_shared<Recorder>();
  shelf->addObserver(recorder, "quiet", 0);
  auto quiet = shelf->mutableArrayValueForKey("quiet");
  quiet->addObject(Value(1));
  EXPECT_TRUE(recorder->records.empty());
  EXPECT_EQ(Value(shelf->quiet()), list({Value(1)}));

  struct Row {
    const char* name;
    std::function<void()> call;
    std::string_view exception;
  };
  std::vector<Row> rows = {
      {"insert past the end", [&] { quiet->insertObject(Value(2), 5); }, platform::kRangeException},
      {"remove past the end", [&] { quiet->removeObjectAtIndex(1); }, platform::kRangeException},
      {"read past the end", [&] { quiet->objectAtIndex(3); }, platform::kRangeException},
      {"a nil element", [&] { quiet->addObject(Value()); }, platform::kInvalidArgumentException},
      {"an unknown key", [&] { shelf->mutableArrayValueForKey("nothing")->addObject(Value(1)); },
       platform::kUndefinedKeyException},
  };
  for (const Row& row : rows) {
    try {
      row.call();
      ADD_FAILURE() << row.name << " did not raise";
    } catch (const platform::Exception& e) {
      EXPECT_EQ(e.name(), row.exception) << row.name;
    }
  }
  EXPECT_EQ(Value(shelf->quiet()), list({Value(1)})) << "a refused change changes nothing";
  shelf->removeObserver(recorder.get(), "quiet");
}

TEST(MutableArrayProxy, KeepsItsObjectAlive) {
  std::shared_ptr<platform::MutableArrayProxy> items;
  std::weak_ptr<Shelf> weak;
  {
    auto shelf = platform::make<Shelf>();
    weak = shelf;
    items = shelf->mutableArrayValueForKey("items");
  }
  items->addObject(Value("kept"));
  ASSERT_FALSE(weak.expired());
  EXPECT_EQ(weak.lock()->items().size(), 1u);
}

}  // namespace
