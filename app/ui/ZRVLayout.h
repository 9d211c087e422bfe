// Layout files: the GtkBuilder files under ui/ of the interface's resources, one per screen,
// item or window, named like the controller that loads them (ui/ZRVReviewViewController.ui).
// Every widget a controller fills in code has the id of its outlet ("titleLabel"); the root of a
// view controller's file is "view" (the launch window's is "window").
//
// Failure: a layout file that is missing or does not build gives nullptr and the error.
// Threads: main thread only.
#pragma once

#include <gtk/gtk.h>

#include <string>
#include <string_view>

// Makes the widget types of our own controls known to GtkBuilder (the types layout files name:
// ZRVHoverButton, ZRVHoverImageView, PellDatePicker, ZRVParticlesStarsImageView). Idempotent.
void ZRVRegisterControlTypes();

// The resource path of the layout file `name` ("ZRVReviewViewController").
std::string ZRVLayoutPath(std::string_view name);

// Builds the layout file `name` (registering the resources and control types first). The caller
// owns the builder; on failure nullptr, and `error` (when given) describes why.
[[nodiscard]] GtkBuilder* ZRVLoadLayout(std::string_view name, GError** error = nullptr);
