// The interface's images by name, as the layout files and the skin catalogue name them: the PNG
// resource images/<name>.png of the interface's GResource ("zv_particle_star_blurred",
// "nature_forest").
//
// Failure: an unknown name, or one that is not a plain file name (holds a "/"), gives nullptr.
// Threads: main thread only (textures are made and cached there).
#pragma once

#include <gdk/gdk.h>

#include <string_view>

// The image named `name`, made once and kept for the life of the process (the caller does not
// own the reference); nullptr when the interface has no image of that name.
GdkTexture* ZRVImageNamed(std::string_view name);
