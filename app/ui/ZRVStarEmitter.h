// The model behind the star particles: an emitter that gives birth to particles inside a
// rectangle at a steady rate and moves, turns, grows, tints and fades each one over its lifetime.
// It knows nothing of drawing; ZRVParticlesStarsImageView steps it by the frame clock and draws it.
//
// Values follow the emitter-cell conventions: a property with a range takes, at birth, a value
// spread evenly over [value - range, value + range]; a "speed" is the change per second over the
// particle's life (colours and alpha stay within 0 and 1); the emission range is the full angle
// of the cone birth directions are spread over. Births are counted exactly: a rate of 15 per
// second gives one birth each 1/15 s of stepped time. The random source is a GRand with the
// given seed, so one seed always gives the same stars.
//
// Failure: none.
// Threads: an emitter is used by one thread at a time (the main thread in the interface).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

typedef struct _GRand GRand;

struct ZRVEmitterCell {
  std::string name;
  bool enabled = true;
  double scale = 1, scaleRange = 0, scaleSpeed = 0;
  double red = 1, green = 1, blue = 1, alpha = 1;
  double redSpeed = 0, greenSpeed = 0, blueSpeed = 0, alphaSpeed = 0;
  double lifetime = 0, lifetimeRange = 0;
  double birthRate = 0;
  double spin = 0, spinRange = 0;
  double velocity = 0, velocityRange = 0;
  double emissionRange = 0;
  // The image of a particle, by the interface's image names, the part of it used (unit
  // rectangle: x, y, width, height) and its pixels per point.
  std::string contents;
  double contentsRect[4] = {0, 0, 1, 1};
  double contentsScale = 1;

  // The cell of the completed item's stars, for a screen of the given scale factor.
  static ZRVEmitterCell starParticle(double contentsScale);
};

struct ZRVParticle {
  // At birth.
  double x = 0, y = 0;    // position in the emitter's coordinates
  double vx = 0, vy = 0;  // points per second
  double lifetime = 0, scale = 0, spin = 0;
  // Now.
  double age = 0;

  double currentX() const { return x + vx * age; }
  double currentY() const { return y + vy * age; }
  double currentScale(const ZRVEmitterCell& cell) const { return scale + cell.scaleSpeed * age; }
  double currentAngle() const { return spin * age; }
  // Colour channels and alpha now, each within 0 and 1.
  double red(const ZRVEmitterCell& cell) const;
  double green(const ZRVEmitterCell& cell) const;
  double blue(const ZRVEmitterCell& cell) const;
  double alpha(const ZRVEmitterCell& cell) const;
};

class ZRVStarEmitter {
 public:
  // An emitter named "StarEmitter" whose rectangle of `width` x `height` is centred on (x, y).
  ZRVStarEmitter(ZRVEmitterCell cell, double x, double y, double width, double height, std::uint32_t seed);
  ~ZRVStarEmitter();
  ZRVStarEmitter(const ZRVStarEmitter&) = delete;
  ZRVStarEmitter& operator=(const ZRVStarEmitter&) = delete;

  const std::string& name() const { return name_; }
  const ZRVEmitterCell& cell() const { return cell_; }
  std::uint32_t seed() const { return seed_; }
  double positionX() const { return x_; }
  double positionY() const { return y_; }
  double width() const { return width_; }
  double height() const { return height_; }

  // Advances the particles by `seconds` (negative counts as 0): ages them, drops those whose
  // lifetime is over, then gives birth to the particles due.
  void step(double seconds);

  const std::vector<ZRVParticle>& particles() const { return particles_; }
  // Particles born so far, and the time stepped so far.
  std::uint64_t births() const { return births_; }
  double elapsed() const { return elapsed_; }

 private:
  double spread(double value, double range);
  void giveBirth();

  std::string name_ = "StarEmitter";
  ZRVEmitterCell cell_;
  double x_, y_, width_, height_;
  std::uint32_t seed_;
  GRand* random_;
  std::vector<ZRVParticle> particles_;
  std::uint64_t births_ = 0;
  double due_ = 0;
  double elapsed_ = 0;
};
