#include "app/ui/ZRVImages.h"

#include <map>
#include <string>

#include "app/ui/ZRVUIResources.h"
#include "platform/system/this_thread.h"
#include "platform/system/thread_safety.h"

GdkTexture* ZRVImageNamed(std::string_view name) {
  ZORVEL_ASSERT_THREAD(platform::isMainThread(), "interface images are made and cached on the main thread");
  // Kept past exit on purpose: the textures live as long as the process.
  static auto& cache = *new std::map<std::string, GdkTexture*, std::less<>>;
  // A name is one file name, never a path into other resources.
  if (name.empty() || name.find('/') != std::string_view::npos) return nullptr;
  if (auto found = cache.find(name); found != cache.end()) return found->second;
  ZRVRegisterUIResources();
  const std::string path = ZRVResourcePath("images/" + std::string(name) + ".png");
  GdkTexture* texture = nullptr;
  if (g_resources_get_info(path.c_str(), G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr, nullptr, nullptr)) {
    texture = gdk_texture_new_from_resource(path.c_str());
  }
  // Unknown names are remembered too, so a missing image is looked up once.
  cache.emplace(std::string(name), texture);
  return texture;
}
