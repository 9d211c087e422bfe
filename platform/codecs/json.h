#pragma once

// JSON serialization of Values. Thread-safe: no shared state.
//
// Reading: objects become dictionaries (a repeated key keeps its last value), arrays arrays,
// strings strings, true/false bools, null the null marker; integers keep their kind (negative ->
// signed, non-negative that fits int64 -> signed, larger -> unsigned), numbers with a fraction or
// exponent or beyond 64 bits -> double. Malformed text, invalid UTF-8 or nesting deeper than
// kJsonMaxDepth fail with an Error in kCocoaErrorDomain, code kPropertyListReadCorruptError (3840).
//
// Writing: dictionaries, arrays, strings, numbers, bools and the null marker only. Dates, data,
// sets, objects, nil, NaN or infinite numbers fail with an Error in kCocoaErrorDomain, code
// kPropertyListReadCorruptError (3840, as the platform reports JSON failures). Nothing throws.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/runtime/error.h"
#include "platform/runtime/value.h"

namespace platform {

// Reading options (bit mask).
inline constexpr unsigned kJsonReadingMutableContainers = 1;  // accepted; Values are always editable copies
inline constexpr unsigned kJsonReadingMutableLeaves = 2;      // accepted; no effect
inline constexpr unsigned kJsonReadingFragmentsAllowed = 4;   // top level may be any JSON value

// Writing options (bit mask).
inline constexpr unsigned kJsonWritingPrettyPrinted = 1;           // two-space indentation, "key" : value
inline constexpr unsigned kJsonWritingSortedKeys = 2;              // keys in byte order (else insertion order)
inline constexpr unsigned kJsonWritingFragmentsAllowed = 4;        // top level may be a scalar
inline constexpr unsigned kJsonWritingWithoutEscapingSlashes = 8;  // "/" instead of "\/"

inline constexpr int kJsonMaxDepth = 512;

// The value of JSON text; nil and *error set on failure. Without kJsonReadingFragmentsAllowed the
// top level must be an object or an array.
Value jsonObjectWithData(std::string_view json, unsigned options = 0, ErrorPtr* error = nullptr);
Value jsonObjectWithData(const Bytes& json, unsigned options = 0, ErrorPtr* error = nullptr);

// UTF-8 JSON text of the value; nullopt and *error set on failure. Without
// kJsonWritingFragmentsAllowed the top level must be a dictionary or an array.
std::optional<std::string> jsonStringWithObject(const Value& value, unsigned options = 0, ErrorPtr* error = nullptr);
std::optional<Bytes> jsonDataWithObject(const Value& value, unsigned options = 0, ErrorPtr* error = nullptr);

// Whether jsonStringWithObject would accept the value with the given writing options.
bool isValidJsonObject(const Value& value, unsigned options = 0);

}  // namespace platform
