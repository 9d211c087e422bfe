#include <gtest/gtest.h>
#include <plist/plist.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <thread>

#include "platform/codecs/keyed_archiver.h"
#include "platform/system/text.h"

namespace platform {
namespace {

// A codable node: a name, a payload, a strong child and a weak parent. The parent is encoded
// unconditionally or conditionally depending on `conditionalParent`.
class KANode : public Object {
  ZORVEL_CLASS(KANode, Object)

 public:
  static inline std::atomic<int> decoded = 0;

  std::string name;
  Value payload;
  ObjectPtr child;
  std::weak_ptr<Object> parent;
  bool conditionalParent = false;
  bool refuse = false;

  bool supportsCoding() const override { return true; }
  void encodeWithCoder(KeyedArchiver& c) const override {
    c.encodeString(name, "name");
    if (!payload.isNil()) c.encodeValue(payload, "payload");
    if (child) c.encodeObject(child, "child");
    if (auto p = parent.lock()) {
      if (conditionalParent)
        c.encodeConditionalObject(p, "parent");
      else
        c.encodeObject(p, "parent");
    }
    if (refuse) c.encodeBool(true, "refuse");
  }
  bool initWithCoder(KeyedUnarchiver& c) override {
    ++decoded;
    if (c.decodeBool("refuse")) return false;
    name = c.decodeString("name");
    payload = c.decodeValue("payload");
    child = c.decodeObject("child");
    parent = c.decodeObject("parent");
    return true;
  }
};

// Every scalar coder call under keys chosen to stress the key handling.
class KAScalars : public Object {
  ZORVEL_CLASS(KAScalars, Object)

 public:
  bool b = false;
  std::int64_t i = 0;
  double d = 0;
  std::string s;
  Bytes data;
  bool supportsCoding() const override { return true; }
  void encodeWithCoder(KeyedArchiver& c) const override {
    c.encodeBool(b, "b");
    c.encodeInt64(i, "$c");  // clashes with the layout's own key unless escaped
    c.encodeDouble(d, "dóuble");
    c.encodeString("first", "s");
    c.encodeString(s, "s");  // the last encoding of a key wins
    c.encodeData(data, "data");
    c.encodeValue(Value(), "nil");
  }
  bool initWithCoder(KeyedUnarchiver& c) override {
    b = c.decodeBool("b");
    i = c.decodeInt64("$c");
    d = c.decodeDouble("dóuble");
    s = c.decodeString("s");
    data = c.decodeData("data");
    return c.containsValue("nil") && c.decodeValue("nil").isNil() && !c.containsValue("absent") &&
           c.decodeInt64("absent") == 0 && !c.decodeBool("absent") && c.decodeString("absent").empty();
  }
};

class KAOther : public Object {
  ZORVEL_CLASS(KAOther, Object)

 public:
  bool supportsCoding() const override { return true; }
  void encodeWithCoder(KeyedArchiver&) const override {}
  bool initWithCoder(KeyedUnarchiver&) override { return true; }
};

// Reads "version" only as a number, and fails the whole decode when it is too new.
class KAVersioned : public Object {
  ZORVEL_CLASS(KAVersioned, Object)

 public:
  Value version;
  bool supportsCoding() const override { return true; }
  void encodeWithCoder(KeyedArchiver& c) const override { c.encodeValue(version, "version"); }
  bool initWithCoder(KeyedUnarchiver& c) override {
    version = c.decodeObjectOfClasses(AllowedClasses().addNumbers(), "version");
    if (version.asInt64() > 5) {
      c.failWithError(Error::make("test", 42));
      EXPECT_TRUE(c.decodeValue("version").isNil());  // nothing decodes after a failure
    }
    return true;
  }
};

class KANotCodable : public Object {
  ZORVEL_CLASS(KANotCodable, Object)
};

// Instantiable by name but not codable; same name length as "KANode".
class KAOthr : public Object {
  ZORVEL_CLASS(KAOthr, Object)
};

// Same length as "KANode", so an archive can be patched to name it.
const Class& abstractClass() {
  static const Class* cls = new Class("KAAbst", &Object::staticClass(), nullptr);
  return *cls;
}

Value roundTrip(const Value& v, ErrorPtr* error = nullptr) {
  return KeyedUnarchiver::unarchivedObject(KeyedArchiver::archivedData(v), error);
}

void replaceAll(Bytes& bytes, std::string_view from, std::string_view to) {
  ASSERT_EQ(from.size(), to.size());
  for (std::size_t i = 0; i + from.size() <= bytes.size(); ++i)
    if (std::memcmp(bytes.data() + i, from.data(), from.size()) == 0)
      std::memcpy(bytes.data() + i, to.data(), to.size());
}

std::shared_ptr<KANode> node(std::string name, Value payload = {}) {
  auto n = make<KANode>();
  n->name = std::move(name);
  n->payload = std::move(payload);
  return n;
}

TEST(KeyedArchiver, EveryValueKindRoundTripsWithItsKind) {
  Bytes bytes(200);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
  const Value cases[] = {
      Value(),
      Value::null(),
      Value(true),
      Value(false),
      Value(0),
      Value(255),
      Value(256),
      Value(65536),
      Value(std::int64_t{4294967296}),
      Value(-1),
      Value(std::numeric_limits<std::int64_t>::min()),
      Value(std::numeric_limits<std::int64_t>::max()),
      Value(0u),
      Value(std::numeric_limits<std::uint64_t>::max()),
      Value(0.5),
      Value(-0.0),
      Value(std::numeric_limits<double>::infinity()),
      Value(std::nan("")),
      Value(""),
      Value("fifteen chars!!"),
      Value("héllo wörld ✓ 😀"),
      Value(std::string(300, 'x')),
      Value(Bytes{}),
      Value(bytes),
      Value(Date(123456.789)),
      Value(ValueArray{}),
      Value::array({1, "two", Value::array({3.0, Value::null()}), Value(Date(1))}),
      Value(ValueDictionary{}),
      Value::dictionary({{"a", 1}, {"b", Value::array({"x"})}, {"ключ", "значение"}}),
      Value::dictionary({{"$null", true}}),  // looks like the layout's tags
      Value::dictionary({{"$set", Value::array({1})}}),
      Value::dictionary({{"$c", "x"}, {"$v", 2}}),
      Value::setOf({1, "a", Value::array({2})}),
      Value(ValueSet{}),
  };
  for (const Value& v : cases) {
    SCOPED_TRACE(v.description());
    ErrorPtr error;
    Value back = roundTrip(v, &error);
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(back.type(), v.type());
    EXPECT_EQ(back, v);
  }
  // Order of dictionary entries survives.
  Value ordered = roundTrip(Value::dictionary({{"z", 1}, {"a", 2}, {"m", 3}}));
  EXPECT_EQ(ordered.asDictionary().keys(), (std::vector<std::string>{"z", "a", "m"}));
  // Invalid UTF-8 is stored as U+FFFD.
  EXPECT_EQ(roundTrip(Value(std::string("a\xff"
                                        "b"))),
            Value("a\xEF\xBF\xBD"
                  "b"));
}

TEST(KeyedArchiver, ScalarsAndKeysRoundTripThroughAnObject) {
  auto s = make<KAScalars>();
  s->b = true;
  s->i = -1234567890123;
  s->d = 2.75;
  s->s = "text ✓";
  s->data = {1, 2, 3};
  ErrorPtr error;
  auto back = roundTrip(Value(s), &error).as<KAScalars>();
  ASSERT_NE(back, nullptr) << (error ? error->description() : "no error");
  EXPECT_TRUE(back->b);
  EXPECT_EQ(back->i, -1234567890123);
  EXPECT_EQ(back->d, 2.75);
  EXPECT_EQ(back->s, "text ✓");
  EXPECT_EQ(back->data, (Bytes{1, 2, 3}));
}

TEST(KeyedArchiver, TopLevelKeysWorkOutsideAnyObject) {
  KeyedArchiver archiver;
  EXPECT_FALSE(archiver.requiresSecureCoding());
  archiver.encodeInt64(7, "count");
  archiver.encodeObject(node("n"), "$objects");  // a caller's "$" key is kept apart from the layout's
  Bytes data = archiver.encodedData();
  EXPECT_THROW(archiver.encodeInt64(1, "late"), Exception);

  KeyedUnarchiver unarchiver(data);
  EXPECT_EQ(unarchiver.decodeInt64("count"), 7);
  auto n = std::dynamic_pointer_cast<KANode>(unarchiver.decodeObject("$objects"));
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->name, "n");
  EXPECT_EQ(unarchiver.error(), nullptr);
}

TEST(KeyedArchiver, TextThatIsNotAsciiReadsAsTheTextHelpersReadIt) {
  // Keys are found again by their stored form, whether valid, invalid (an overlong form, a
  // surrogate, a truncated sequence) or beginning with "$"; invalid text comes back as
  // sanitizedUtf8 gives it.
  const std::string keys[] = {"ключ",
                              "$ключ",
                              "a\xE0\x80\x80"
                              "b",
                              "\xED\xA0\x80",
                              "x\xE2\x82",
                              "\xF4\x90\x80\x80😀"};
  KeyedArchiver archiver;
  std::int64_t n = 0;
  for (const std::string& key : keys) {
    archiver.encodeInt64(++n, key);
    archiver.encodeString(key, "text" + std::to_string(n));
  }
  Bytes data = archiver.encodedData();
  KeyedUnarchiver unarchiver(data);
  n = 0;
  for (const std::string& key : keys) {
    SCOPED_TRACE(key);
    EXPECT_EQ(unarchiver.decodeInt64(key), ++n);
    EXPECT_EQ(unarchiver.decodeString("text" + std::to_string(n)), sanitizedUtf8(key));
  }
  EXPECT_EQ(unarchiver.error(), nullptr);
}

TEST(KeyedArchiver, SharedObjectsDecodeToOneInstance) {
  auto shared = node("shared");
  auto holder = node("holder");
  holder->child = shared;
  Value root = Value::array({shared, Value::dictionary({{"again", shared}}), holder});
  Value back = roundTrip(root);
  ASSERT_EQ(back.count(), 3u);
  auto a = back[0].as<KANode>();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->name, "shared");
  EXPECT_EQ(back[1]["again"].asObject(), a);
  EXPECT_EQ(back[2].as<KANode>()->child, a);
  EXPECT_NE(back[2].asObject(), a);

  // Many distinct objects, each referenced twice, keep their identities apart.
  ValueArray many;
  for (int i = 0; i < 40; ++i) many.push_back(node(std::to_string(i)));
  ValueArray twice = many;
  twice.insert(twice.end(), many.begin(), many.end());
  Value manyBack = roundTrip(Value(twice));
  ASSERT_EQ(manyBack.count(), 80u);
  for (int i = 0; i < 40; ++i) {
    auto first = manyBack[i].as<KANode>();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->name, std::to_string(i));
    EXPECT_EQ(manyBack[i + 40].asObject(), first);
  }
}

TEST(KeyedArchiver, ConditionalReferenceSurvivesOnlyWithAnUnconditionalOne) {
  auto target = node("target");
  auto referrer = node("referrer");
  referrer->parent = target;
  referrer->conditionalParent = true;

  // Alone: nil.
  auto alone = roundTrip(Value(referrer)).as<KANode>();
  ASSERT_NE(alone, nullptr);
  EXPECT_EQ(alone->parent.lock(), nullptr);

  // With the target archived unconditionally after or before the conditional reference.
  for (bool targetFirst : {false, true}) {
    Value root = targetFirst ? Value::array({target, referrer}) : Value::array({referrer, target});
    Value back = roundTrip(root);
    auto r = back[targetFirst ? 1 : 0].as<KANode>();
    auto t = back[targetFirst ? 0 : 1].as<KANode>();
    ASSERT_NE(r, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->name, "target");
    EXPECT_EQ(r->parent.lock(), t) << "target first: " << targetFirst;
  }
}

TEST(KeyedArchiver, CycleGetsTheInstanceBeingDecoded) {
  auto parent = node("parent");
  auto child = node("child");
  parent->child = child;
  child->parent = parent;  // unconditional back reference
  auto back = roundTrip(Value(parent)).as<KANode>();
  ASSERT_NE(back, nullptr);
  auto c = std::dynamic_pointer_cast<KANode>(back->child);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->name, "child");
  EXPECT_EQ(c->parent.lock(), back);
}

TEST(KeyedArchiver, ObjectThatDeclinesReadsAsNil) {
  auto refusing = node("no");
  refusing->refuse = true;
  ErrorPtr error;
  EXPECT_TRUE(roundTrip(Value(refusing), &error).isNil());
  EXPECT_EQ(error, nullptr);  // declining is not an error by itself

  // A collection cannot hold nil, so it fails.
  EXPECT_TRUE(roundTrip(Value::array({refusing}), &error).isNil());
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), kCoderReadCorruptError);
}

TEST(KeyedArchiver, FailWithErrorKeepsTheFirstErrorAndStopsDecoding) {
  auto v = make<KAVersioned>();
  v->version = 9;
  ErrorPtr error;
  EXPECT_TRUE(roundTrip(Value::array({v, v}), &error).isNil());
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), "test");
  EXPECT_EQ(error->code(), 42);
}

TEST(KeyedArchiver, AllowListRefusesOtherClassesBeforeMakingThem) {
  auto n = node("n", Value::array({1, "s"}));
  Bytes data = KeyedArchiver::archivedData(Value::array({n}));
  ErrorPtr error;

  AllowedClasses nodes{&KANode::staticClass()};
  nodes.addKind(Value::Type::Array);
  Value ok = KeyedUnarchiver::unarchivedObjectOfClasses(nodes, data, &error);
  EXPECT_EQ(error, nullptr);
  EXPECT_EQ(ok[0].as<KANode>()->payload, Value::array({1, "s"}));

  struct Case {
    const char* name;
    AllowedClasses allowed;
  };
  const Case refused[] = {
      {"other class", AllowedClasses({&KAOther::staticClass()}, {Value::Type::Array})},
      {"array not listed", AllowedClasses({&KANode::staticClass()})},
      {"nothing", AllowedClasses()},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.name);
    int before = KANode::decoded.load();
    EXPECT_TRUE(KeyedUnarchiver::unarchivedObjectOfClasses(c.allowed, data, &error).isNil());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), kCoderReadCorruptError);
    EXPECT_EQ(KANode::decoded, before);  // never instantiated
  }

  // A class's own restricted decode: a number passes, a string is refused.
  auto versioned = make<KAVersioned>();
  versioned->version = 3u;
  EXPECT_EQ(roundTrip(Value(versioned)).as<KAVersioned>()->version, Value(3u));
  versioned->version = "3";
  EXPECT_TRUE(roundTrip(Value(versioned), &error).isNil());
  ASSERT_NE(error, nullptr);

  // Secure coding: an unrestricted decode accepts plain values but no objects.
  KeyedArchiver archiver(true);
  EXPECT_TRUE(archiver.requiresSecureCoding());
  archiver.encodeValue(Value::array({1, 2}), "plain");
  archiver.encodeObject(node("x"), "object");
  Bytes secureData = archiver.encodedData();
  KeyedUnarchiver secure(secureData, true);
  EXPECT_EQ(secure.decodeValue("plain"), Value::array({1, 2}));
  EXPECT_EQ(secure.error(), nullptr);
  EXPECT_EQ(secure.decodeObject("object"), nullptr);
  EXPECT_NE(secure.error(), nullptr);
  KeyedUnarchiver secure2(secureData, true);
  EXPECT_NE(secure2.decodeObjectOfClass(KANode::staticClass(), "object"), nullptr);
}

TEST(KeyedArchiver, UnknownAbstractOrUncodableClassFailsWithAnError) {
  (void)abstractClass();
  Bytes data = KeyedArchiver::archivedData(Value(node("n")));
  for (const char* name : {"KAN0de", "KAAbst", "KAOthr"}) {
    SCOPED_TRACE(name);
    Bytes patched = data;
    replaceAll(patched, "KANode", name);
    ErrorPtr error;
    EXPECT_TRUE(KeyedUnarchiver::unarchivedObject(patched, &error).isNil());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), kCocoaErrorDomain);
    EXPECT_EQ(error->code(), kCoderReadCorruptError);
  }
}

TEST(KeyedArchiver, ObjectWithoutCodingRaisesInvalidArgument) {
  try {
    KeyedArchiver::archivedData(Value::array({make<KANotCodable>()}));
    ADD_FAILURE() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.name(), kInvalidArgumentException);
  }
  KeyedArchiver archiver;
  EXPECT_THROW(archiver.encodeObject(make<KANotCodable>(), "x"), Exception);
  try {
    archiver.encodeInt64(1, "y");  // unusable after a failure
    ADD_FAILURE() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.name(), kInvalidArchiveOperationException);
  }
}

Value nested(int depth) {
  Value v = 1;
  for (int i = 0; i < depth; ++i) v = Value::array({v});
  return v;
}

TEST(KeyedArchiver, NestingIsLimitedTheSameWayBothWays) {
  EXPECT_EQ(roundTrip(nested(kMaxArchiveNesting)), nested(kMaxArchiveNesting));
  EXPECT_THROW(KeyedArchiver::archivedData(nested(kMaxArchiveNesting + 1)), Exception);

  // A chain of objects counts too.
  auto head = node("0");
  auto tail = head;
  for (int i = 1; i <= kMaxArchiveNesting; ++i) {
    auto next = node(std::to_string(i));
    tail->child = next;
    tail = next;
  }
  EXPECT_THROW(KeyedArchiver::archivedData(Value(head)), Exception);
}

TEST(KeyedArchiver, ArchiveIsAStandardBinaryPropertyList) {
  auto n = node("n", Value::dictionary({{"k", "v"}}));
  Bytes data = KeyedArchiver::archivedData(Value(n));
  plist_t root = nullptr;
  plist_from_bin(reinterpret_cast<const char*>(data.data()), static_cast<std::uint32_t>(data.size()), &root);
  ASSERT_NE(root, nullptr);
  ASSERT_EQ(plist_get_node_type(root), PLIST_DICT);
  std::uint64_t version = 0;
  plist_get_uint_val(plist_dict_get_item(root, "$v"), &version);
  EXPECT_EQ(version, 1u);
  plist_t objects = plist_dict_get_item(root, "$objects");
  ASSERT_EQ(plist_get_node_type(objects), PLIST_ARRAY);
  ASSERT_EQ(plist_array_get_size(objects), 1u);
  char* cls = nullptr;
  plist_get_string_val(plist_dict_get_item(plist_array_get_item(objects, 0), "$c"), &cls);
  ASSERT_NE(cls, nullptr);
  EXPECT_STREQ(cls, "KANode");
  free(cls);
  std::uint64_t uid = 0;
  plist_get_uid_val(plist_dict_get_item(root, "$top"), &uid);
  EXPECT_EQ(uid, 1u);
  plist_free(root);
}

TEST(KeyedArchiver, HelpersRunOnManyThreadsAtOnce) {
  std::vector<std::thread> threads;
  std::atomic<int> failures = 0;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 200; ++i) {
        auto n = node("thread " + std::to_string(t), Value::array({i, "x"}));
        n->child = node("child");
        auto back = roundTrip(Value(n)).as<KANode>();
        if (!back || back->name != n->name || back->payload != n->payload || !back->child) ++failures;
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
}

// --- Hostile input ---

// Builds binary property lists object by object, for inputs the archiver would never write.
struct PlistBuilder {
  std::vector<Bytes> objects;
  int refWidth = 1;

  std::uint64_t add(Bytes object) {
    objects.push_back(std::move(object));
    return objects.size() - 1;
  }
  Bytes ref(std::uint64_t r) const {
    Bytes b;
    for (int i = refWidth - 1; i >= 0; --i) b.push_back(static_cast<std::uint8_t>(r >> (8 * i)));
    return b;
  }
  std::uint64_t str(std::string_view s) {
    Bytes b{static_cast<std::uint8_t>(0x50 | s.size())};
    b.insert(b.end(), s.begin(), s.end());
    return add(b);
  }
  // An array (0xA0) of `refs`, or a dictionary (0xD0) of keys then values.
  std::uint64_t container(std::uint8_t marker, const std::vector<std::uint64_t>& refs) {
    std::size_t count = marker == 0xD0 ? refs.size() / 2 : refs.size();
    Bytes b{static_cast<std::uint8_t>(marker | (count < 15 ? count : 0x0F))};
    if (count >= 15) b.insert(b.end(), {0x11, static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count)});
    for (std::uint64_t r : refs) {
      Bytes rb = ref(r);
      b.insert(b.end(), rb.begin(), rb.end());
    }
    return add(b);
  }
  // {"$v": 1, "$objects": objectsRef, "$top": topRef}
  std::uint64_t archive(std::uint64_t objectsRef, std::uint64_t topRef) {
    std::uint64_t v = str("$v"), one = add({0x10, 1}), o = str("$objects"), t = str("$top");
    return container(0xD0, {v, o, t, one, objectsRef, topRef});
  }
  Bytes build(std::uint64_t top) const {
    Bytes out{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    std::vector<std::uint64_t> offsets;
    for (const Bytes& o : objects) {
      offsets.push_back(out.size());
      out.insert(out.end(), o.begin(), o.end());
    }
    std::uint64_t table = out.size();
    for (std::uint64_t o : offsets)
      for (int i = 3; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(o >> (8 * i)));
    out.insert(out.end(), 6, 0);
    out.push_back(4);
    out.push_back(static_cast<std::uint8_t>(refWidth));
    for (std::uint64_t v : {std::uint64_t{objects.size()}, top, table})
      for (int i = 7; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return out;
  }
};

void expectCorrupt(const Bytes& data, std::string_view reason = {}) {
  ErrorPtr error;
  EXPECT_TRUE(KeyedUnarchiver::unarchivedObject(data, &error).isNil());
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), kCocoaErrorDomain);
  std::string detail = error->userInfo()[kDebugDescriptionErrorKey].asString();
  EXPECT_NE(detail.find(reason), std::string::npos) << detail;
}

TEST(KeyedUnarchiver, TruncatedOrGarbageInputFailsWithAnError) {
  auto n = node("n", Value::array({1, "two", Value::dictionary({{"k", 3.5}})}));
  n->child = node("child");
  Bytes data = KeyedArchiver::archivedData(Value(n));
  for (std::size_t len = 0; len < data.size(); ++len) {
    SCOPED_TRACE(len);
    expectCorrupt(Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(len)));
  }
  expectCorrupt(Bytes{});
  expectCorrupt(Bytes(64, 0xFF));
  Bytes text(100, 'x');
  std::memcpy(text.data(), "bplist00", 8);
  expectCorrupt(text);

  // Random damage never crashes; whatever decodes is either a value or an error.
  std::mt19937 random(7);
  for (int round = 0; round < 3000; ++round) {
    Bytes damaged = data;
    int flips = 1 + static_cast<int>(random() % 4);
    for (int f = 0; f < flips; ++f) damaged[random() % damaged.size()] = static_cast<std::uint8_t>(random());
    ErrorPtr error;
    Value v = KeyedUnarchiver::unarchivedObject(damaged, &error);
    if (error) {
      EXPECT_TRUE(v.isNil());
    }
  }
}

TEST(KeyedUnarchiver, HostileStructuresFailWithAnError) {
  struct Case {
    const char* name;
    const char* reason;  // part of the error's debug description
    std::function<Bytes()> make;
  };
  const Case cases[] = {
      {"huge count", "count exceeds the data",
       [] {
         PlistBuilder b;
         std::uint64_t arr = b.add({0xAF, 0x13, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
         return b.build(b.archive(b.container(0xA0, {}), arr));
       }},
      {"reference out of range", "reference out of range",
       [] {
         PlistBuilder b;
         std::uint64_t arr = b.container(0xA0, {200});
         return b.build(b.archive(b.container(0xA0, {}), arr));
       }},
      {"object reference out of range", "object reference out of range",
       [] {
         PlistBuilder b;
         std::uint64_t uid = b.add({0x80, 5});
         return b.build(b.archive(b.container(0xA0, {}), uid));
       }},
      {"array containing itself", "contains itself",
       [] {
         PlistBuilder b;
         std::uint64_t self = b.objects.size();
         b.container(0xA0, {self});
         return b.build(b.archive(b.container(0xA0, {}), self));
       }},
      {"deep nesting", "nesting too deep",
       [] {
         PlistBuilder b;
         b.refWidth = 2;
         std::uint64_t inner = b.add({0x10, 1});
         for (int i = 0; i < 5000; ++i) inner = b.container(0xA0, {inner});
         return b.build(b.archive(b.container(0xA0, {}), inner));
       }},
      {"deep nesting through reuse", "nesting too deep",
       [] {
         // Each chain is decoded first on its own, then reached again from deeper down.
         PlistBuilder b;
         b.refWidth = 2;
         std::uint64_t chain = b.add({0x10, 1});
         std::vector<std::uint64_t> tops;
         for (int round = 0; round < 4; ++round) {
           for (int i = 0; i < 300; ++i) chain = b.container(0xA0, {chain});
           tops.push_back(chain);
         }
         return b.build(b.archive(b.container(0xA0, {}), b.container(0xA0, tops)));
       }},
      {"wrong version", "unsupported archive version",
       [] {
         PlistBuilder b;
         std::uint64_t v = b.str("$v"), two = b.add({0x10, 2}), o = b.str("$objects"), objs = b.container(0xA0, {});
         return b.build(b.container(0xD0, {v, o, two, objs}));
       }},
      {"version not a number", "no archive version",
       [] {
         PlistBuilder b;
         std::uint64_t v = b.str("$v"), s = b.str("1"), o = b.str("$objects"), objs = b.container(0xA0, {});
         return b.build(b.container(0xD0, {v, o, s, objs}));
       }},
      {"objects not an array", "no object table",
       [] {
         PlistBuilder b;
         return b.build(b.archive(b.str("x"), b.add({0x10, 1})));
       }},
      {"no root", "no root",
       [] {
         PlistBuilder b;
         std::uint64_t v = b.str("$v"), one = b.add({0x10, 1}), o = b.str("$objects"), objs = b.container(0xA0, {});
         return b.build(b.container(0xD0, {v, o, one, objs}));
       }},
      {"object entry not a dictionary", "not a dictionary",
       [] {
         PlistBuilder b;
         std::uint64_t entry = b.str("x");
         return b.build(b.archive(b.container(0xA0, {entry}), b.add({0x80, 1})));
       }},
      {"class name not a string", "expected a string",
       [] {
         PlistBuilder b;
         std::uint64_t entry = b.container(0xD0, {b.str("$c"), b.add({0x10, 1})});
         return b.build(b.archive(b.container(0xA0, {entry}), b.add({0x80, 1})));
       }},
      {"no class name", "no class name",
       [] {
         PlistBuilder b;
         std::uint64_t entry = b.container(0xD0, {});
         return b.build(b.archive(b.container(0xA0, {entry}), b.add({0x80, 1})));
       }},
      {"dictionary key not a string", "expected a string",
       [] {
         PlistBuilder b;
         std::uint64_t d = b.container(0xD0, {b.add({0x10, 1}), b.add({0x10, 2})});
         return b.build(b.archive(b.container(0xA0, {}), d));
       }},
      {"unknown tag", "unknown tag",
       [] {
         PlistBuilder b;
         std::uint64_t d = b.container(0xD0, {b.str("$what"), b.add({0x10, 2})});
         return b.build(b.archive(b.container(0xA0, {}), d));
       }},
      {"set of a non-array", "not an array",
       [] {
         PlistBuilder b;
         std::uint64_t d = b.container(0xD0, {b.str("$set"), b.add({0x10, 2})});
         return b.build(b.archive(b.container(0xA0, {}), d));
       }},
      {"nil inside an array", "holds nil",
       [] {
         PlistBuilder b;
         return b.build(b.archive(b.container(0xA0, {}), b.container(0xA0, {b.add({0x80, 0})})));
       }},
      {"unsupported object type", "unsupported object type",
       [] {
         PlistBuilder b;
         return b.build(b.archive(b.container(0xA0, {}), b.add({0x70, 'x'})));
       }},
      {"truncated string", "count exceeds the data",
       [] {
         PlistBuilder b;
         std::uint64_t objs = b.container(0xA0, {});
         std::uint64_t next = b.objects.size() + 5;  // archive() adds five objects
         std::uint64_t top = b.archive(objs, next);
         b.add({0x5E, 'a'});  // claims 14 bytes, only one before the offset table
         return b.build(top);
       }},
      {"offset past the table", "offset out of range",
       [] {
         PlistBuilder b;
         Bytes data = b.build(b.archive(b.container(0xA0, {}), b.add({0x10, 1})));
         data[data.size() - 32 - 1] = 0xFF;  // the last object's offset
         return data;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expectCorrupt(c.make(), c.reason);
  }
}

TEST(KeyedUnarchiver, SharedSubtreesAreBuiltOnceNotExpanded) {
  // 40 levels, each an array holding the level below twice: 2^40 leaves if expanded.
  PlistBuilder b;
  std::uint64_t level = b.str("leaf");
  for (int i = 0; i < 40; ++i) level = b.container(0xA0, {level, level});
  ErrorPtr error;
  Value v = KeyedUnarchiver::unarchivedObject(b.build(b.archive(b.container(0xA0, {}), level)), &error);
  EXPECT_EQ(error, nullptr);
  EXPECT_EQ(v.count(), 2u);
}

}  // namespace
}  // namespace platform
