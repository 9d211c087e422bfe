#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "app/ui/ZRVImages.h"
#include "platform/codecs/property_list.h"
#include "platform/services/bundle.h"

namespace {

TEST(Images, TheInterfacesOwnImagesAreFoundByNameAtTheirSizes) {
  struct Case {
    const char* name;
    int width, height;
  } cases[] = {
      {"zv_statusbar_icon", 22, 22},       {"zv_statusbar_icon@2x", 44, 44}, {"zv_particle_star_blurred", 32, 32},
      {"zv_add_first_event", 64, 64},      {"zv_resize_corner", 20, 20},     {"zv_review_button", 160, 28},
      {"zv_review_button_hover", 160, 28},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GdkTexture* texture = ZRVImageNamed(c.name);
    ASSERT_NE(texture, nullptr);
    EXPECT_EQ(gdk_texture_get_width(texture), c.width);
    EXPECT_EQ(gdk_texture_get_height(texture), c.height);
    EXPECT_EQ(ZRVImageNamed(c.name), texture);  // made once
  }
}

TEST(Images, EveryButtonImageHasAHoverImageOfItsSize) {
  for (const char* name : {"zv_add_button", "zv_options_button", "zv_item_edit_button", "zv_item_link_button",
                           "zv_item_share_button", "zv_item_archive_button", "zv_item_delete_button",
                           "zv_about_facebook_button", "zv_about_twitter_button", "zv_review_button"}) {
    SCOPED_TRACE(name);
    GdkTexture* normal = ZRVImageNamed(name);
    GdkTexture* hover = ZRVImageNamed(std::string(name) + "_hover");
    ASSERT_TRUE(normal && hover);
    EXPECT_EQ(gdk_texture_get_width(normal), gdk_texture_get_width(hover));
    EXPECT_EQ(gdk_texture_get_height(normal), gdk_texture_get_height(hover));
  }
}

TEST(Images, EverySkinOfTheCatalogueHasItsPicture) {
  std::optional<std::filesystem::path> path = platform::Bundle::main()->pathForResource("ZRVSkinsData", "plist");
  ASSERT_TRUE(path.has_value());
  std::ifstream file(*path, std::ios::binary);
  std::stringstream bytes;
  bytes << file.rdbuf();
  const platform::Value catalogue = platform::propertyListWithData(bytes.str());
  ASSERT_TRUE(catalogue.isArray());
  int skins = 0;
  for (const platform::Value& collection : catalogue.asArray()) {
    for (const platform::Value& skin : collection["skins"].asArray()) {
      const std::string& name = skin["name"].asString();
      SCOPED_TRACE(name);
      GdkTexture* texture = ZRVImageNamed(name);
      ASSERT_NE(texture, nullptr);
      EXPECT_EQ(gdk_texture_get_width(texture), 375);
      EXPECT_EQ(gdk_texture_get_height(texture), 175);
      ++skins;
    }
  }
  EXPECT_GT(skins, 0);
}

TEST(Images, AnUnknownNameHasNoImage) {
  for (const char* name : {"", "no_such_image", "../images/zv_resize_corner", "zv_statusbar_icon.png"}) {
    EXPECT_EQ(ZRVImageNamed(name), nullptr) << name;
  }
}

}  // namespace
