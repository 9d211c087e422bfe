#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "app/ui/ZRVImages.h"
#include "app/ui/ZRVLayout.h"
#include "app/ui/ZRVParticlesStarsImageView.h"
#include "app/ui/ZRVStarEmitter.h"
#include "platform/dispatch/run_loop.h"
#include "support/interface/test_window.h"
#include "support/interface/widget_tree.h"

namespace {

constexpr double kFrame = 1.0 / 60;

ZRVStarEmitter starEmitter(std::uint32_t seed) {
  return ZRVStarEmitter(ZRVEmitterCell::starParticle(1), 187.5, 87.5, 375, 175, seed);
}

TEST(StarEmitter, TheStarCellHasItsValues) {
  const ZRVEmitterCell cell = ZRVEmitterCell::starParticle(2);
  struct Case {
    const char* label;
    double value, expected;
  } cases[] = {
      {"scale", cell.scale, 0.5},
      {"scaleRange", cell.scaleRange, 0.1},
      {"scaleSpeed", cell.scaleSpeed, 2.0},
      {"red", cell.red, 0.4},
      {"green", cell.green, 0.86},
      {"blue", cell.blue, 1.0},
      {"alpha", cell.alpha, 1.0},
      {"redSpeed", cell.redSpeed, 1.7},
      {"greenSpeed", cell.greenSpeed, 0.5},
      {"blueSpeed", cell.blueSpeed, -1.5},
      {"alphaSpeed", cell.alphaSpeed, -1.5},
      {"lifetime", cell.lifetime, 0.7},
      {"lifetimeRange", cell.lifetimeRange, 0.1},
      {"birthRate", cell.birthRate, 15},
      {"spin", cell.spin, -1.0},
      {"spinRange", cell.spinRange, 2.0},
      {"velocity", cell.velocity, 50},
      {"velocityRange", cell.velocityRange, 20},
      {"emissionRange", cell.emissionRange, 6.283185307179586},
      {"contentsScale", cell.contentsScale, 2},
  };
  for (const Case& c : cases) EXPECT_DOUBLE_EQ(c.value, c.expected) << c.label;
  EXPECT_EQ(cell.name, "StarParticle");
  EXPECT_TRUE(cell.enabled);
  EXPECT_EQ(cell.contents, "zv_particle_star_blurred");
  EXPECT_NE(ZRVImageNamed(cell.contents), nullptr);
}

TEST(StarEmitter, BirthsFollowTheRateAndEveryStarLivesItsLifetime) {
  struct Case {
    const char* label;
    int frames;
    std::uint64_t births;
  } cases[] = {
      {"no time", 0, 0},      {"three frames", 3, 0},    {"four frames (1/15 s)", 4, 1},
      {"one second", 60, 15}, {"ten seconds", 600, 150},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ZRVStarEmitter emitter = starEmitter(7);
    for (int i = 0; i < c.frames; ++i) emitter.step(kFrame);
    EXPECT_EQ(emitter.births(), c.births);
    EXPECT_NEAR(emitter.elapsed(), c.frames * kFrame, 1e-9);
  }

  ZRVStarEmitter emitter = starEmitter(7);
  size_t most = 0, fewest = SIZE_MAX;
  for (int frame = 1; frame <= 600; ++frame) {
    emitter.step(kFrame);
    for (const ZRVParticle& p : emitter.particles()) {
      ASSERT_GE(p.lifetime, 0.6 - 1e-9);
      ASSERT_LE(p.lifetime, 0.8 + 1e-9);
      ASSERT_LT(p.age, p.lifetime);
    }
    if (frame > 60) {  // after the first second the emitter is steady
      most = std::max(most, emitter.particles().size());
      fewest = std::min(fewest, emitter.particles().size());
    }
  }
  // 15 stars a second living 0.6 to 0.8 s: about ten at any time.
  EXPECT_GE(fewest, 8u);
  EXPECT_LE(most, 13u);
}

TEST(StarEmitter, StarsAreBornInTheRectangleAndChangeAtTheCellsSpeeds) {
  ZRVStarEmitter emitter = starEmitter(42);
  for (int i = 0; i < 60; ++i) emitter.step(kFrame);
  const ZRVEmitterCell& cell = emitter.cell();
  ASSERT_FALSE(emitter.particles().empty());
  for (const ZRVParticle& p : emitter.particles()) {
    EXPECT_GE(p.x, 0);
    EXPECT_LE(p.x, 375);
    EXPECT_GE(p.y, 0);
    EXPECT_LE(p.y, 175);
    const double speed = std::hypot(p.vx, p.vy);
    EXPECT_GE(speed, 30 - 1e-9);
    EXPECT_LE(speed, 70 + 1e-9);
    EXPECT_GE(p.scale, 0.4 - 1e-9);
    EXPECT_LE(p.scale, 0.6 + 1e-9);
    EXPECT_GE(p.spin, -3 - 1e-9);
    EXPECT_LE(p.spin, 1 + 1e-9);
    EXPECT_NEAR(p.currentScale(cell), p.scale + 2.0 * p.age, 1e-9);
    EXPECT_NEAR(p.red(cell), std::min(1.0, 0.4 + 1.7 * p.age), 1e-9);
    EXPECT_NEAR(p.green(cell), std::min(1.0, 0.86 + 0.5 * p.age), 1e-9);
    EXPECT_NEAR(p.blue(cell), std::max(0.0, 1.0 - 1.5 * p.age), 1e-9);
    EXPECT_NEAR(p.alpha(cell), std::max(0.0, 1.0 - 1.5 * p.age), 1e-9);
    EXPECT_NEAR(p.currentX(), p.x + p.vx * p.age, 1e-9);
  }
  // Directions cover the whole circle: stars go both left and right, up and down.
  ZRVStarEmitter many = starEmitter(42);
  bool left = false, right = false, up = false, down = false;
  for (int i = 0; i < 300; ++i) {
    many.step(kFrame);
    for (const ZRVParticle& p : many.particles()) {
      left |= p.vx<-20, right |= p.vx> 20, up |= p.vy<-20, down |= p.vy> 20;
    }
  }
  EXPECT_TRUE(left && right && up && down);
  // Births fill the whole rectangle, centred on the emitter's position.
  ZRVStarEmitter spread = starEmitter(3);
  double minX = 1e9, maxX = -1e9, minY = 1e9, maxY = -1e9, sumX = 0;
  int newborn = 0;
  for (int i = 0; i < 1200; ++i) {
    spread.step(kFrame);
    for (const ZRVParticle& p : spread.particles()) {
      if (p.age > 0) continue;
      minX = std::min(minX, p.x), maxX = std::max(maxX, p.x), minY = std::min(minY, p.y), maxY = std::max(maxY, p.y);
      sumX += p.x, ++newborn;
    }
  }
  ASSERT_EQ(newborn, 300);
  EXPECT_LT(minX, 40);
  EXPECT_GT(maxX, 335);
  EXPECT_LT(minY, 20);
  EXPECT_GT(maxY, 155);
  EXPECT_NEAR(sumX / newborn, 187.5, 20);
}

TEST(StarEmitter, OneSeedGivesTheSameStarsAndAnotherSeedOthers) {
  ZRVStarEmitter a = starEmitter(1234), b = starEmitter(1234), c = starEmitter(99);
  for (int i = 0; i < 30; ++i) {
    a.step(kFrame), b.step(kFrame), c.step(kFrame);
  }
  ASSERT_EQ(a.particles().size(), b.particles().size());
  ASSERT_FALSE(a.particles().empty());
  for (size_t i = 0; i < a.particles().size(); ++i) {
    EXPECT_EQ(a.particles()[i].x, b.particles()[i].x);
    EXPECT_EQ(a.particles()[i].vy, b.particles()[i].vy);
  }
  EXPECT_NE(a.particles()[0].x, c.particles()[0].x);
}

struct StarsView {
  StarsView() {
    ZRVRegisterControlTypes();
    widget = GTK_WIDGET(
        g_object_new(g_type_from_name("ZRVParticlesStarsImageView"), "image-name", "nature_forest", nullptr));
    view = ZRVParticlesStarsImageView::fromWidget(widget);
    window = zorvel::test::showInWindow(widget, 375, 175);
  }
  ~StarsView() {
    if (window) gtk_window_destroy(GTK_WINDOW(window));
  }
  GtkWidget* widget = nullptr;
  ZRVParticlesStarsImageView* view = nullptr;
  GtkWidget* window = nullptr;
};

TEST(StarParticles, FireStartsOneEmitterCentredOnTheViewThatTheFrameClockSteps) {
  ZORVEL_ASSERT_DISPLAY();
  StarsView stars;
  ASSERT_TRUE(stars.window);
  EXPECT_EQ(stars.view->image(), GDK_PAINTABLE(ZRVImageNamed("nature_forest")));
  EXPECT_EQ(stars.view->emitter(), nullptr);
  stars.view->fire(5);
  const ZRVStarEmitter* emitter = stars.view->emitter();
  ASSERT_NE(emitter, nullptr);
  EXPECT_EQ(emitter->name(), "StarEmitter");
  EXPECT_EQ(emitter->seed(), 5u);
  EXPECT_DOUBLE_EQ(emitter->positionX(), gtk_widget_get_width(stars.widget) / 2.0);
  EXPECT_DOUBLE_EQ(emitter->positionY(), gtk_widget_get_height(stars.widget) / 2.0);
  EXPECT_DOUBLE_EQ(emitter->width(), 375);
  EXPECT_DOUBLE_EQ(emitter->height(), 175);
  EXPECT_EQ(emitter->cell().contentsScale, gtk_widget_get_scale_factor(stars.widget));
  EXPECT_TRUE(platform::runMainLoopUntil([&] { return emitter->births() >= 5; }, 5));
  EXPECT_FALSE(emitter->particles().empty());
  (void)zorvel::test::saveScreenshot(stars.widget, "star_particles");
}

TEST(StarParticles, FiringTwiceLeavesOneEmitterSteppedOncePerFrame) {
  ZORVEL_ASSERT_DISPLAY();
  StarsView stars;
  ASSERT_TRUE(stars.window);
  stars.view->fire(1);
  stars.view->fire(2);
  const ZRVStarEmitter* emitter = stars.view->emitter();
  ASSERT_EQ(emitter->seed(), 2u);
  GdkFrameClock* clock = gtk_widget_get_frame_clock(stars.widget);
  const gint64 start = gdk_frame_clock_get_frame_time(clock);
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return emitter->elapsed() >= 0.5; }, 10));
  const double clockTime = static_cast<double>(gdk_frame_clock_get_frame_time(clock) - start) / G_USEC_PER_SEC;
  // One stepping per frame: the emitter's time is the clock's, not twice it.
  EXPECT_LE(emitter->elapsed(), clockTime + 0.1);
}

TEST(StarParticles, StopRemovesTheEmitterAndItsStepping) {
  ZORVEL_ASSERT_DISPLAY();
  StarsView stars;
  ASSERT_TRUE(stars.window);
  stars.view->fire();
  ASSERT_NE(stars.view->emitter(), nullptr);
  stars.view->stop();
  EXPECT_EQ(stars.view->emitter(), nullptr);
  ASSERT_TRUE(zorvel::test::nextFrame(stars.widget));  // a frame without an emitter draws the picture only
  stars.view->fire();
  stars.view->removeAllSublayers();
  EXPECT_EQ(stars.view->emitter(), nullptr);
}

}  // namespace
