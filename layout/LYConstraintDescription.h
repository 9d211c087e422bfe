#pragma once

// Readable descriptions of layout constraints, for debugging:
//
//   <LYLayoutConstraint:left0 ZorvelView:avatar.left == ZorvelView:container.left + 10 ^high>
//
// Items are named by class (a view by its widget's type) and debug key (ly_key), or by class and
// address when they have none; attributes and relations by name; the multiplier only when it is
// not 1 (" * 0.5"); the constant always for a constant-only constraint (" 355"), otherwise only
// when it is not 0, with its sign (" - 8"); the priority only when it is not required, by name
// (" ^high") or number (" ^999"). Numbers print as printf's %g does.
//
// Every platform::LayoutConstraint describes itself this way once this library is linked (the
// form is installed on the class by name, as a category would be).
//
// The tables are made once, safely from any thread, and never change.

#include <cstdint>
#include <map>
#include <string>

#include "platform/interface/layout_constraint.h"
#include "platform/runtime/object.h"
#include "platform/runtime/value.h"

const std::map<std::int64_t, std::string>& layoutRelationDescriptionsByValue();
const std::map<std::int64_t, std::string>& layoutAttributeDescriptionsByValue();
const std::map<float, std::string>& layoutPriorityDescriptionsByValue();

// "<class>:<key>" when the object has a debug key, otherwise "<class>:<address>"; "(null)" for
// nil.
std::string descriptionForObject(const platform::Value& object);
std::string layoutConstraintDescription(const platform::LayoutConstraint& constraint);
