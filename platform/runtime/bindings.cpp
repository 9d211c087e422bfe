#include "platform/runtime/bindings.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/runtime/error.h"
#include "platform/runtime/kvo.h"

namespace platform {

namespace {

const char kForwardContext = 0;   // the observable's key path changed
const char kBackwardContext = 0;  // the receiver's key changed
const char kBindingsKey = 0;      // the receiver's table of bindings

class Binding;
// The bindings carrying a value on this thread: a value carried one way is not carried back.
thread_local std::vector<const Binding*> tCarrying;

struct Carrying {
  explicit Carrying(const Binding* binding) { tCarrying.push_back(binding); }
  ~Carrying() { tCarrying.pop_back(); }
  static bool now(const Binding* binding) {
    return std::find(tCarrying.begin(), tCarrying.end(), binding) != tCarrying.end();
  }
};

class Binding final : public KeyValueObserver {
 public:
  Binding(Object& receiver, std::string name, const ObjectPtr& observable, std::string keyPath, ValueDictionary options)
      : receiver_(receiver),
        receiverWeak_(receiver.weak_from_this()),
        receiverShared_(!receiverWeak_.expired()),
        name_(std::move(name)),
        observable_(observable),
        keyPath_(std::move(keyPath)),
        options_(std::move(options)) {
    if (const Value* transformer = options_.find(kValueTransformerBindingOption))
      transformer_ = transformer->as<ValueTransformer>();
    else if (const Value* transformerName = options_.find(kValueTransformerNameBindingOption))
      transformer_ = ValueTransformer::valueTransformerForName(transformerName->asString());
    if (const Value* placeholder = options_.find(kNullPlaceholderBindingOption)) placeholder_ = *placeholder;
  }

  void observeValueForKeyPath(std::string_view, Object&, const KeyValueChange&, void* context) override {
    if (!active_.load(std::memory_order_acquire) || Carrying::now(this)) return;
    if (context == &kForwardContext)
      forward();
    else
      backward();
  }

  // The receiver for the length of a carry; null once it is going away.
  bool receiverAlive(ObjectPtr& keep) const {
    if (!receiverShared_) return true;
    keep = receiverWeak_.lock();
    return keep != nullptr;
  }

  void forward() {
    ObjectPtr observable = observable_.lock();
    ObjectPtr receiver;
    if (!observable || !receiverAlive(receiver)) return;
    Value value = observable->valueForKeyPath(keyPath_);
    if (transformer_) value = transformer_->transformedValue(value);
    if ((value.isNil() || value.isNull()) && !placeholder_.isNil()) value = placeholder_;
    Carrying carrying(this);
    receiver_.setValueForKey(value, name_);
  }

  void backward() {
    ObjectPtr observable = observable_.lock();
    ObjectPtr receiver;
    if (!observable || !receiverAlive(receiver)) return;
    Value value = receiver_.valueForKey(name_);
    if (transformer_) {
      if (!transformer_->allowsReverseTransformation()) return;
      value = transformer_->reverseTransformedValue(value);
    }
    Carrying carrying(this);
    observable->setValueForKeyPath(value, keyPath_);
  }

  // Observes both sides (the observable's current value is carried over now).
  void attach(const std::shared_ptr<Binding>& self) {
    ObjectPtr observable = observable_.lock();
    if (!observable) return;
    observable->addObserver(self, keyPath_, ObserveInitial, const_cast<char*>(&kForwardContext));
    receiver_.addObserver(self, name_, 0, const_cast<char*>(&kBackwardContext));
  }

  // Stops carrying values; `receiverAlive` is false while the receiver is going away.
  void detach(bool receiverAlive) {
    active_.store(false, std::memory_order_release);
    auto remove = [this](Object& object, std::string_view keyPath, const char* context) {
      try {
        object.removeObserver(this, keyPath, const_cast<char*>(context));
      } catch (const Exception&) {
        // Never registered (the observable was gone at bind) or already dropped.
      }
    };
    if (ObjectPtr observable = observable_.lock()) remove(*observable, keyPath_, &kForwardContext);
    if (receiverAlive) remove(receiver_, name_, &kBackwardContext);
  }

  Value info() const {
    Value dictionary;
    ObjectPtr observable = observable_.lock();
    if (observable) dictionary.set(std::string(kObservedObjectKey), Value(observable));
    dictionary.set(std::string(kObservedKeyPathKey), Value(keyPath_));
    dictionary.set(std::string(kOptionsKey), Value(options_));
    return dictionary;
  }

 private:
  Object& receiver_;  // owns this binding
  std::weak_ptr<Object> receiverWeak_;
  bool receiverShared_;
  std::string name_;
  std::weak_ptr<Object> observable_;
  std::string keyPath_;
  ValueDictionary options_;
  ValueTransformerPtr transformer_;
  Value placeholder_;
  std::atomic<bool> active_{true};
};

// A receiver's bindings by name, kept as its associated object.
class BindingTable final : public Object {
  ZORVEL_CLASS(BindingTable, Object)
 public:
  ~BindingTable() override {
    // The receiver is going away: only the observables' registrations need removing.
    for (auto& [name, binding] : bindings) binding->detach(false);
  }
  std::map<std::string, std::shared_ptr<Binding>, std::less<>> bindings;
};

std::shared_ptr<BindingTable> bindingTable(const Object& object) {
  return object.associatedObject(&kBindingsKey).as<BindingTable>();
}

}  // namespace

void Object::bind(std::string_view binding, const ObjectPtr& observable, std::string_view keyPath,
                  const ValueDictionary& options) {
  unbind(binding);
  auto made = std::make_shared<Binding>(*this, std::string(binding), observable, std::string(keyPath), options);
  {
    std::lock_guard lock(monitor());
    std::shared_ptr<BindingTable> table = bindingTable(*this);
    if (!table) {
      table = make<BindingTable>();
      setAssociatedObject(&kBindingsKey, Value(table));
    }
    table->bindings[std::string(binding)] = made;
  }
  try {
    made->attach(made);
  } catch (...) {
    unbind(binding);
    throw;
  }
}

void Object::bind(std::string_view binding, const ObjectPtr& observable, std::string_view keyPath) {
  bind(binding, observable, keyPath, ValueDictionary());
}

void Object::unbind(std::string_view binding) {
  std::shared_ptr<Binding> removed;
  {
    std::lock_guard lock(monitor());
    std::shared_ptr<BindingTable> table = bindingTable(*this);
    if (!table) return;
    auto it = table->bindings.find(binding);
    if (it == table->bindings.end()) return;
    removed = std::move(it->second);
    table->bindings.erase(it);
  }
  removed->detach(true);
}

Value Object::infoForBinding(std::string_view binding) const {
  std::lock_guard lock(monitor());
  std::shared_ptr<BindingTable> table = bindingTable(*this);
  if (!table) return {};
  auto it = table->bindings.find(binding);
  return it == table->bindings.end() ? Value() : it->second->info();
}

}  // namespace platform
