#pragma once

// Property-list serialization of Values in the XML and binary formats. Thread-safe: no shared
// state.
//
// Kinds: string, integer (signed or unsigned 64-bit), real (double), bool, date, data, array and
// dictionary (string keys). Nil, the null marker, sets and objects cannot be written; dates must lie
// between 1932-12-13 and 2069-01-19 (the range the property-list library stores); both fail with an
// Error in kCocoaErrorDomain, code kPropertyListWriteInvalidError (3851).
// XML dates keep whole seconds (the format's precision); binary ones keep microseconds, except that
// a date less than one second before 2001-01-01 reads back without its sign.
// Malformed, truncated or unsupported input fails with an Error in kCocoaErrorDomain, code
// kPropertyListReadCorruptError (3840), and so does input nested deeper than kPropertyListMaxDepth
// or (binary) expanding to more values, once every reference to a shared object is counted, than
// kPropertyListNodesPerByte per byte of input (at least kPropertyListMinNodeBudget): both are
// checked before the bytes reach the property-list library, so hostile input costs time and memory
// in proportion to its size. Nothing throws.

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/runtime/error.h"
#include "platform/runtime/value.h"

namespace platform {

enum class PropertyListFormat { Xml, Binary };

inline constexpr int kPropertyListMaxDepth = 512;
inline constexpr std::uint64_t kPropertyListNodesPerByte = 16;
inline constexpr std::uint64_t kPropertyListMinNodeBudget = 1 << 16;

// The value stored in XML or binary property-list bytes; the format found goes to *format.
// Nil and *error set on failure. Binary keyed-archive references (UIDs) read as dictionaries
// {"CF$UID": n}.
Value propertyListWithData(std::string_view bytes, PropertyListFormat* format = nullptr, ErrorPtr* error = nullptr);
Value propertyListWithData(const Bytes& bytes, PropertyListFormat* format = nullptr, ErrorPtr* error = nullptr);

// The value as property-list bytes in the given format; nullopt and *error set on failure.
std::optional<Bytes> dataWithPropertyList(const Value& value, PropertyListFormat format, ErrorPtr* error = nullptr);

// Whether the value contains only kinds a property list can hold.
bool isValidPropertyList(const Value& value);

}  // namespace platform
