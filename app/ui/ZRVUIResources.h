// The interface's compiled resources: layout files, images and style sheets under
// /org/zorvel/Zorvel/ (kZRVResourcePrefix).
//
// Failure: none; the resource is compiled into the program.
// Threads: any; registration happens once, on first use.
#pragma once

#include <string>

// The prefix of every resource path of the interface.
inline constexpr const char* kZRVResourcePrefix = "/org/zorvel/Zorvel/";

// Registers the interface's resources with GLib's global resource lookup (idempotent). Every call
// that loads a layout file, an image or a style sheet by resource path needs it first.
void ZRVRegisterUIResources();

// The full resource path of a file under resources/ (e.g. "ui/Main.ui").
std::string ZRVResourcePath(const std::string& relative);
