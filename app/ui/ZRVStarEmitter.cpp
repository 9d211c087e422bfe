#include "app/ui/ZRVStarEmitter.h"

#include <glib.h>

#include <algorithm>
#include <cmath>
#include <numbers>

ZRVEmitterCell ZRVEmitterCell::starParticle(double contentsScale) {
  ZRVEmitterCell cell;
  cell.name = "StarParticle";
  cell.enabled = true;
  cell.scale = 0.5;
  cell.scaleRange = 0.1;
  cell.scaleSpeed = 2.0;
  cell.red = 0.4;
  cell.green = 0.86;
  cell.blue = 1.0;
  cell.alpha = 1.0;
  cell.redSpeed = 1.7;
  cell.greenSpeed = 0.5;
  cell.blueSpeed = -1.5;
  cell.alphaSpeed = -1.5;
  cell.lifetime = 0.7;
  cell.lifetimeRange = 0.1;
  cell.birthRate = 15;
  cell.spin = -1.0;
  cell.spinRange = 2.0;
  cell.velocity = 50;
  cell.velocityRange = 20;
  cell.emissionRange = 2 * std::numbers::pi;
  cell.contents = "zv_particle_star_blurred";
  cell.contentsScale = contentsScale;
  return cell;
}

namespace {
double channel(double value, double speed, double age) { return std::clamp(value + speed * age, 0.0, 1.0); }
}  // namespace

double ZRVParticle::red(const ZRVEmitterCell& cell) const { return channel(cell.red, cell.redSpeed, age); }
double ZRVParticle::green(const ZRVEmitterCell& cell) const { return channel(cell.green, cell.greenSpeed, age); }
double ZRVParticle::blue(const ZRVEmitterCell& cell) const { return channel(cell.blue, cell.blueSpeed, age); }
double ZRVParticle::alpha(const ZRVEmitterCell& cell) const { return channel(cell.alpha, cell.alphaSpeed, age); }

ZRVStarEmitter::ZRVStarEmitter(ZRVEmitterCell cell, double x, double y, double width, double height, std::uint32_t seed)
    : cell_(std::move(cell)),
      x_(x),
      y_(y),
      width_(width),
      height_(height),
      seed_(seed),
      random_(g_rand_new_with_seed(seed)) {}

ZRVStarEmitter::~ZRVStarEmitter() { g_rand_free(random_); }

double ZRVStarEmitter::spread(double value, double range) {
  return range == 0 ? value : value + range * g_rand_double_range(random_, -1.0, 1.0);
}

void ZRVStarEmitter::step(double seconds) {
  seconds = std::max(seconds, 0.0);
  elapsed_ += seconds;
  for (ZRVParticle& particle : particles_) particle.age += seconds;
  std::erase_if(particles_, [](const ZRVParticle& p) { return p.age >= p.lifetime; });
  if (!cell_.enabled || cell_.birthRate <= 0) return;
  due_ += cell_.birthRate * seconds;
  // A tiny tolerance keeps sums of frame times (1/60 s steps) from losing a birth to rounding.
  while (due_ >= 1 - 1e-9) {
    due_ -= 1;
    giveBirth();
  }
}

void ZRVStarEmitter::giveBirth() {
  ZRVParticle particle;
  particle.x = x_ + width_ * g_rand_double_range(random_, -0.5, 0.5);
  particle.y = y_ + height_ * g_rand_double_range(random_, -0.5, 0.5);
  const double direction = cell_.emissionRange * g_rand_double_range(random_, -0.5, 0.5);
  const double speed = spread(cell_.velocity, cell_.velocityRange);
  particle.vx = speed * std::cos(direction);
  particle.vy = speed * std::sin(direction);
  particle.lifetime = std::max(0.0, spread(cell_.lifetime, cell_.lifetimeRange));
  particle.scale = spread(cell_.scale, cell_.scaleRange);
  particle.spin = spread(cell_.spin, cell_.spinRange);
  ++births_;
  if (particle.lifetime > 0) particles_.push_back(particle);
}
