#pragma once

// Threads: everything of this_thread.h (identity and names, the main thread, sleeping) and
// locks.h (recursive lock, condition, spin lock), plus the per-thread dictionary of runtime
// values. For run-once initialisation use std::call_once or a function-local static.
//
// Code below the object runtime (dispatch, the OS helpers) includes this_thread.h and locks.h
// instead: the dictionary is what brings in platform::Value.

#include <map>
#include <string>

#include "platform/runtime/value.h"
#include "platform/system/locks.h"
#include "platform/system/this_thread.h"

namespace platform {

// The calling thread's own dictionary. Only the calling thread may use the returned reference;
// it lives until the thread ends.
using ThreadDictionary = std::map<std::string, Value, std::less<>>;
ThreadDictionary& threadDictionary();

}  // namespace platform
