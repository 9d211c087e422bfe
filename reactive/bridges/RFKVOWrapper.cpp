#include "reactive/bridges/RFKVOWrapper.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/runtime/kvc.h"
#include "platform/runtime/kvo.h"
#include "reactive/RFDeallocating.h"

// --- Key path strings -------------------------------------------------------------------------------

std::vector<std::string> rf_keyPathComponents(std::string_view keyPath) {
  std::vector<std::string> components;
  if (keyPath.empty()) return components;
  std::size_t start = 0;
  for (;;) {
    std::size_t dot = keyPath.find('.', start);
    components.emplace_back(
        keyPath.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
    if (dot == std::string_view::npos) return components;
    start = dot + 1;
  }
}

std::optional<std::string> rf_keyPathByDeletingLastKeyPathComponent(std::string_view keyPath) {
  std::size_t dot = keyPath.rfind('.');
  if (dot == std::string_view::npos) return std::nullopt;
  return std::string(keyPath.substr(0, dot));
}

std::optional<std::string> rf_keyPathByDeletingFirstKeyPathComponent(std::string_view keyPath) {
  std::size_t dot = keyPath.find('.');
  if (dot == std::string_view::npos) return std::nullopt;
  return std::string(keyPath.substr(dot + 1));
}

// --- Property attributes ----------------------------------------------------------------------------

namespace {

constexpr std::size_t kBad = std::string_view::npos;

// The position after the type encoding that starts at `pos`, or kBad when it is malformed.
std::size_t skipType(std::string_view s, std::size_t pos) {
  while (pos < s.size() && s[pos] != '\0' && std::strchr("rnNoORV", s[pos])) ++pos;  // qualifiers
  if (pos >= s.size()) return kBad;
  char c = s[pos++];
  auto skipDigits = [&] {
    while (pos < s.size() && std::isdigit(static_cast<unsigned char>(s[pos]))) ++pos;
  };
  switch (c) {
    case 'c':
    case 'i':
    case 's':
    case 'l':
    case 'q':
    case 'C':
    case 'I':
    case 'S':
    case 'L':
    case 'Q':
    case 'f':
    case 'd':
    case 'D':
    case 'B':
    case 'v':
    case '*':
    case '#':
    case ':':
    case '?':
      return pos;
    case '@':
      if (pos < s.size() && s[pos] == '?') return pos + 1;  // a block
      if (pos < s.size() && s[pos] == '"') {
        // A class name; without its closing quote the name reaches the end (reported later).
        std::size_t close = s.find('"', pos + 1);
        return close == std::string_view::npos ? s.size() : close + 1;
      }
      return pos;
    case '^':
      return skipType(s, pos);
    case 'b':
      skipDigits();
      return pos;
    case '[': {
      skipDigits();
      pos = skipType(s, pos);
      if (pos == kBad || pos >= s.size() || s[pos] != ']') return kBad;
      return pos + 1;
    }
    case '{':
    case '(': {
      char close = c == '{' ? '}' : ')';
      while (pos < s.size() && s[pos] != '=' && s[pos] != close) ++pos;
      if (pos >= s.size()) return kBad;
      if (s[pos] == '=') {
        ++pos;
        while (pos < s.size() && s[pos] != close) {
          pos = skipType(s, pos);
          if (pos == kBad) return kBad;
        }
        if (pos >= s.size()) return kBad;
      }
      return pos + 1;
    }
    default:
      return kBad;
  }
}

template <class... Args>
void reportf(const char* format, Args... args) {
  std::fprintf(stderr, format, args...);
}

}  // namespace

std::unique_ptr<RFPropertyAttributes> RFPropertyAttributesFromAttributeString(std::string_view attributes,
                                                                              std::string_view propertyName) {
  std::string whole(attributes);
  std::string name(propertyName);
  const char* a = whole.c_str();
  const char* n = name.c_str();
  if (whole.empty() || whole[0] != 'T') {
    reportf("ERROR: Expected attribute string \"%s\" for property %s to start with 'T'\n", a, n);
    return nullptr;
  }
  std::size_t typeStart = 1;
  if (typeStart >= whole.size() || whole[typeStart] == ',') {
    reportf("ERROR: Invalid type in attribute string \"%s\" for property %s\n", a, n);
    return nullptr;
  }
  std::size_t typeEnd = skipType(whole, typeStart);
  if (typeEnd == kBad) {
    reportf("ERROR: Could not read past type in attribute string \"%s\" for property %s\n", a, n);
    return nullptr;
  }
  auto result = std::make_unique<RFPropertyAttributes>();
  result->type = whole.substr(typeStart, typeEnd - typeStart);

  if (result->type.size() >= 2 && result->type[0] == '@' && result->type[1] == '"') {
    std::size_t nameStart = typeStart + 2;
    std::size_t close = whole.find('"', nameStart);
    if (close == std::string::npos) {
      reportf("ERROR: Could not read class name in attribute string \"%s\" for property %s\n", a, n);
      return nullptr;
    }
    std::string className = whole.substr(nameStart, close - nameStart);
    if (!className.empty()) result->objectClass = platform::Class::named(className);
  }

  std::size_t pos = whole.find(',', typeEnd);
  if (pos == std::string::npos) pos = whole.size();
  bool ended = false;
  while (!ended && pos + 1 < whole.size() && whole[pos] == ',') {
    char flag = whole[pos + 1];
    pos += 2;
    switch (flag) {
      case 'R':
        result->readonly = true;
        break;
      case 'N':
        result->nonatomic = true;
        break;
      case 'W':
        result->weak = true;
        break;
      case 'P':
        result->canBeCollected = true;
        break;
      case 'D':
        result->dynamic = true;
        result->ivar.reset();
        break;
      case 'C':
        result->memoryPolicy = RFPropertyMemoryPolicy::Copy;
        break;
      case '&':
        result->memoryPolicy = RFPropertyMemoryPolicy::Retain;
        break;
      case 'G':
      case 'S': {
        std::size_t end = whole.find(',', pos);
        if (end == std::string::npos) end = whole.size();
        if (end == pos && end < whole.size()) {
          reportf("ERROR: Found zero length selector name in attribute string \"%s\" for property %s\n", a, n);
          return nullptr;
        }
        (flag == 'G' ? result->getter : result->setter) = whole.substr(pos, end - pos);
        pos = end;
        break;
      }
      case 'V': {
        std::string ivar = whole.substr(pos);
        if (ivar.empty())
          result->ivar.reset();
        else
          result->ivar = std::move(ivar);
        pos = whole.size();
        ended = true;
        break;
      }
      case 't': {
        reportf("ERROR: Old-style type encoding is unsupported in attribute string \"%s\" for property %s\n", a, n);
        std::size_t end = whole.find(',', pos);
        pos = end == std::string::npos ? whole.size() : end;
        break;
      }
      default:
        reportf("ERROR: Unrecognized attribute string flag '%c' in attribute string \"%s\" for property %s\n", flag, a,
                n);
        break;
    }
  }
  if (pos < whole.size()) {
    std::string rest = whole.substr(pos);
    reportf("Warning: Unparsed data \"%s\" in attribute string \"%s\" for property %s\n", rest.c_str(), a, n);
  }
  if (result->getter.empty()) result->getter = name;
  if (result->setter.empty()) {
    std::string capitalized = name;
    if (!capitalized.empty())
      capitalized[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(capitalized[0])));
    result->setter = "set" + capitalized + ":";
  }
  return result;
}

std::unique_ptr<RFPropertyAttributes> RFPropertyAttributesFromProperty(const platform::Property* property) {
  if (!property || property->attributeString().empty()) {
    reportf("ERROR: Could not get attribute string from property %s\n", property ? property->name().c_str() : "(null)");
    return nullptr;
  }
  return RFPropertyAttributesFromAttributeString(property->attributeString(), property->name());
}

// --- Observing ----------------------------------------------------------------------------------

namespace {

platform::Value settingChange(const platform::Value& newValue) {
  return platform::Value::dictionary(
      {{std::string(platform::kKeyValueChangeKindKey),
        platform::Value(static_cast<std::int64_t>(platform::KeyValueChangeKind::Setting))},
       {std::string(platform::kKeyValueChangeNewKey), newValue.isNil() ? platform::Value::null() : newValue}});
}

// Whether the deallocation of the first component's values is watched: only for weak object
// properties (not blocks, not protocols).
bool watchesDeallocation(const platform::Class& cls, const std::string& key) {
  const platform::Property* property = cls.property(key);
  if (!property) return false;
  std::unique_ptr<RFPropertyAttributes> attributes = RFPropertyAttributesFromProperty(property);
  if (!attributes) return false;
  bool isObject = attributes->objectClass || (!attributes->type.empty() && attributes->type[0] == '@');
  bool isProtocol = attributes->objectClass && attributes->objectClass->name() == "Protocol";
  return isObject && attributes->type != "@?" && attributes->weak && !isProtocol;
}

// The state one component-wise observation shares between its callbacks.
struct PathObservation {
  std::string keyPath;
  std::string head;
  std::string tail;  // empty when single
  bool single = true;
  unsigned options = 0;
  bool watchDealloc = false;
  const platform::Object* observerIdentity = nullptr;
  std::weak_ptr<platform::Object> observer;
  RFKVOBlock block;
  // Always holds a compound disposable: what is attached to the first component's current value.
  RFSerialDisposablePtr firstComponent;

  RFCompoundDisposablePtr current() const {
    return std::static_pointer_cast<RFCompoundDisposable>(firstComponent->disposable());
  }

  void watchDeallocationOf(const std::shared_ptr<PathObservation>& self, const platform::ObjectPtr& value) {
    if (!watchDealloc || !value || value.get() == observerIdentity) return;
    platform::Value change = settingChange(platform::Value());
    std::weak_ptr<PathObservation> weakSelf = self;
    RFDisposablePtr notify = RFDisposable::disposableWithBlock([weakSelf, change] {
      if (auto self = weakSelf.lock()) self->block(platform::Value(), change, true, self->single);
    });
    RFCompoundDisposablePtr valueDealloc = rf_deallocDisposable(*value);
    valueDealloc->addDisposable(notify);
    std::weak_ptr<RFCompoundDisposable> weakValueDealloc = valueDealloc;
    if (RFCompoundDisposablePtr attached = current()) {
      attached->addDisposable(RFDisposable::disposableWithBlock([weakValueDealloc, notify] {
        if (auto d = weakValueDealloc.lock()) d->removeDisposable(notify.get());
      }));
    }
  }

  void observeRestOn(const platform::ObjectPtr& value) {
    if (!value) return;
    platform::ObjectPtr strongObserver = observer.lock();
    RFDisposablePtr rest = rf_observeKeyPath(*value, tail, options & ~static_cast<unsigned>(platform::ObserveInitial),
                                             strongObserver.get(), block);
    if (RFCompoundDisposablePtr attached = current()) attached->addDisposable(rest);
  }

  void changed(const std::shared_ptr<PathObservation>& self, platform::Object& target, const platform::Value& change) {
    if (change[platform::kKeyValueChangeNotificationIsPriorKey].asBool()) {
      // Let go of everything attached to the old value before it changes (nothing is once the
      // observation has been disposed, which another thread may do meanwhile).
      if (RFCompoundDisposablePtr attached = current()) attached->dispose();
      if (options & platform::ObservePrior) block(target.valueForKeyPath(keyPath), change, false, single);
      return;
    }
    platform::Value value = target.valueForKey(head);
    if (value.isNil()) {
      block(platform::Value(), change, false, single);
      return;
    }
    if (RFDisposablePtr old = firstComponent->swapInDisposable(RFCompoundDisposable::compoundDisposable()))
      old->dispose();
    platform::ObjectPtr object = value.isObject() ? value.asObject() : nullptr;
    watchDeallocationOf(self, object);
    if (single) {
      block(value, change, false, true);
      return;
    }
    observeRestOn(object);
    block(platform::valueForKeyPathOfValue(value, tail), change, false, false);
  }
};

}  // namespace

RFDisposablePtr rf_observeKeyPath(platform::Object& receiver, std::string_view keyPath, unsigned options,
                                  platform::Object* observer, RFKVOBlock block) {
  std::vector<std::string> components = rf_keyPathComponents(keyPath);
  if (components.empty() || !block) return RFDisposable::disposable();
  platform::ObjectPtr strongObserver = observer ? observer->weak_from_this().lock() : nullptr;

  auto state = std::make_shared<PathObservation>();
  state->keyPath = std::string(keyPath);
  state->head = components[0];
  state->single = components.size() == 1;
  if (!state->single) state->tail = *rf_keyPathByDeletingFirstKeyPathComponent(keyPath);
  state->options = options;
  state->watchDealloc = watchesDeallocation(receiver.actualClass(), state->head);
  state->observerIdentity = observer;
  state->observer = strongObserver;
  state->block = std::move(block);
  state->firstComponent =
      RFSerialDisposable::serialDisposableWithDisposable(RFCompoundDisposable::compoundDisposable());

  RFCompoundDisposablePtr compound = RFCompoundDisposable::compoundDisposable();
  compound->addDisposable(state->firstComponent);

  unsigned trampolineOptions =
      (options & ~static_cast<unsigned>(platform::ObserveInitial | platform::ObservePrior)) | platform::ObservePrior;
  RFKVOTrampolinePtr trampoline =
      RFKVOTrampoline::create(receiver, strongObserver.get(), state->head, trampolineOptions,
                              [state](const platform::ObjectPtr& target, const platform::ObjectPtr&,
                                      const platform::Value& change) { state->changed(state, *target, change); });
  compound->addDisposable(trampoline);

  // Attach to the first component's current value.
  platform::Value value = receiver.valueForKey(state->head);
  if (value.isObject()) {
    state->watchDeallocationOf(state, value.asObject());
    if (!state->single) state->observeRestOn(value.asObject());
  }

  if (options & platform::ObserveInitial) {
    platform::Value initial = receiver.valueForKeyPath(keyPath);
    state->block(initial, settingChange(initial), false, state->single);
  }

  // The observation ends with the observer or the receiver.
  std::weak_ptr<RFCompoundDisposable> observerDealloc, receiverDealloc;
  if (strongObserver) {
    RFCompoundDisposablePtr d = rf_deallocDisposable(*strongObserver);
    d->addDisposable(compound);
    observerDealloc = d;
  }
  if (receiver.weak_from_this().lock()) {
    RFCompoundDisposablePtr d = rf_deallocDisposable(receiver);
    d->addDisposable(compound);
    receiverDealloc = d;
  }
  return RFDisposable::disposableWithBlock([compound, observerDealloc, receiverDealloc] {
    compound->dispose();
    if (auto d = observerDealloc.lock()) d->removeDisposable(compound.get());
    if (auto d = receiverDealloc.lock()) d->removeDisposable(compound.get());
  });
}

RFKVOTrampolinePtr rf_addObserver(platform::Object& receiver, platform::Object* observer, std::string keyPath,
                                  unsigned options, RFKVOTrampoline::Block block) {
  return RFKVOTrampoline::create(receiver, observer, std::move(keyPath), options, std::move(block));
}
