#include "reactive/bridges/RFLifting.h"

#include "platform/runtime/methods.h"
#include "reactive/RFDeallocating.h"
#include "reactive/RFTuple.h"
#include "reactive/bridges/RFSelectorSignal.h"

namespace rf_detail {

std::vector<RFSignalPtr> liftedSignals(const platform::ValueArray& arguments) {
  std::vector<RFSignalPtr> signals;
  signals.reserve(arguments.size());
  for (const platform::Value& argument : arguments) {
    if (RFTupleNil::isTupleNil(argument))
      signals.push_back(RFSignal::returnValue(platform::Value()));
    else if (RFSignalPtr signal = argument.as<RFSignal>())
      signals.push_back(std::move(signal));
    else
      signals.push_back(RFSignal::returnValue(argument));
  }
  return signals;
}

RFSignalPtr finishLift(platform::Object& object, const RFSignalPtr& results) {
  return results->takeUntil(rf_willDeallocSignal(object))->replayLast();
}

}  // namespace rf_detail

namespace {
// Nil for a number argument is zero, as a message to nil answers.
void zeroNilNumbers(std::vector<platform::Value>& arguments,
                    const std::optional<platform::MethodSignature>& signature) {
  if (!signature) return;
  for (std::size_t i = 0; i < arguments.size() && i < signature->argumentTypes.size(); ++i) {
    const std::string& type = signature->argumentTypes[i];
    if (arguments[i].isNil() && type.size() == 1 &&
        std::string_view("cislqCISLQfdB").find(type[0]) != std::string_view::npos)
      arguments[i] = platform::Value(0);
  }
}
}  // namespace

RFSignalPtr rf_liftSelector(platform::Object& object, std::string selector, const RFSignalPtr& signalOfArguments) {
  std::optional<platform::MethodSignature> signature = object.actualClass().methodSignatureForSelector(selector);
  std::size_t argumentCount = platform::selectorArgumentCount(selector);
  std::weak_ptr<platform::Object> weakObject = object.weak_from_this();
  RFSignalPtr results =
      signalOfArguments->map([weakObject, selector, signature, argumentCount](const platform::Value& tuple) {
        platform::ObjectPtr target = weakObject.lock();
        if (!target) return platform::Value();
        std::vector<platform::Value> arguments = rf_argumentsFromTuple(tuple.as<RFTuple>());
        arguments.resize(argumentCount);
        zeroNilNumbers(arguments, signature);
        return rf_returnValue(target->perform(selector, arguments), signature);
      });
  RFSignalPtr result = rf_detail::finishLift(object, results);
  result->setNameWithFormat("%@ -rf_liftSelector: %s withSignalsOfArguments: %@", rf_description(object), selector,
                            signalOfArguments);
  return result;
}

RFSignalPtr rf_liftSelector(platform::Object& object, std::string selector, const std::vector<RFSignalPtr>& signals) {
  RFSignalPtr result = rf_liftSelector(object, selector, RFSignal::combineLatest(signals));
  result->setNameWithFormat("%@ -rf_liftSelector: %s withSignalsFromArray: %@", rf_description(object), selector,
                            RFSignal::rf_describeStreams(signals));
  return result;
}

RFSignalPtr rf_liftSelectorWithSignals(platform::Object& object, std::string selector,
                                       std::initializer_list<RFSignalPtr> signals) {
  std::vector<RFSignalPtr> list(signals);
  RFSignalPtr result = rf_liftSelector(object, selector, list);
  result->setNameWithFormat("%@ -rf_liftSelector: %s withSignals: %@", rf_description(object), selector,
                            RFSignal::rf_describeStreams(list));
  return result;
}

RFSignalPtr rf_liftSelectorWithObjectsFromArray(platform::Object& object, std::string selector,
                                                const platform::ValueArray& arguments) {
  return rf_liftSelector(object, std::move(selector), rf_detail::liftedSignals(arguments));
}

RFSignalPtr rf_liftSelectorWithObjects(platform::Object& object, std::string selector,
                                       std::initializer_list<platform::Value> arguments) {
  // Exactly as many as the selector takes; nil stands for a missing one.
  platform::ValueArray taken(arguments);
  taken.resize(platform::selectorArgumentCount(selector));
  for (platform::Value& argument : taken)
    if (argument.isNil()) argument = RFTupleNil::tupleNilValue();
  return rf_liftSelectorWithObjectsFromArray(object, std::move(selector), taken);
}
