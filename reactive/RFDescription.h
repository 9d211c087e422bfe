#pragma once

// Debug naming: signal names and descriptions of values are built only when the environment
// variable RF_DEBUG_SIGNAL_NAMES is set (to anything, even empty). It is read on every call, so
// it may be switched while the program runs.

#include <string>

#include "platform/runtime/object.h"
#include "platform/runtime/value.h"

bool rf_debugNamesEnabled();

// Strings and numbers: their description. Tuples: the description of their values. Anything
// else: "<Class: 0x...>" with debug naming on, else "(description skipped)". Nil: "(null)".
std::string rf_description(const platform::Value& value);
std::string rf_description(const platform::Object& object);
