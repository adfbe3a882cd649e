#include "identify/model.hpp"

#include <algorithm>
#include <math.h>  // lgamma_r

#include <cmath>
#include <limits>
#include <numbers>

namespace korvex::identify {

namespace {

// The Beta prior of a message's field presence: a = b = 1, every count of
// used fields equally likely.
constexpr double kPresenceA = 1;
constexpr double kPresenceB = 1;

// lgamma_r, not std::lgamma: lgamma stores the sign of the result in the
// global signgam, a data race between threads that build lookups at once.
double log2_gamma(double x) {
  int sign = 0;
  return ::lgamma_r(x, &sign) / std::numbers::ln2;
}

}  // namespace

double log2_bits(double n) noexcept { return n <= 1 ? 0.0 : quantise(std::log2(n)); }

double mixture(double a, double b) noexcept {
  const double lo = std::min(a, b), hi = std::max(a, b);
  return quantise(lo - std::log2(1 + std::exp2(lo - hi)));
}

Presence::Presence(std::uint32_t max_declared) {
  const std::size_t size = std::size_t{max_declared} + 1;
  lg_a_.resize(size);
  lg_b_.resize(size);
  lg_ab_.resize(size);
  for (std::size_t n = 0; n < size; ++n) {
    const auto x = static_cast<double>(n);
    lg_a_[n] = log2_gamma(x + kPresenceA);
    lg_b_[n] = log2_gamma(x + kPresenceB);
    lg_ab_[n] = log2_gamma(x + kPresenceA + kPresenceB);
  }
  base_ = log2_gamma(kPresenceA) + log2_gamma(kPresenceB) - log2_gamma(kPresenceA + kPresenceB);
}

double Presence::least(std::uint32_t declared, std::uint32_t lo, std::uint32_t hi) const noexcept {
  // bits(D, k) is a constant less log2 Gamma(k + a) + log2 Gamma(D - k + b),
  // a sum of two convex functions of k: concave, so its least over a range
  // lies at one of the range's ends (rounding to quanta keeps the order).
  hi = std::min(hi, declared);
  if (lo > hi) return std::numeric_limits<double>::infinity();
  return std::min(bits(declared, lo), bits(declared, hi));
}

}  // namespace korvex::identify
