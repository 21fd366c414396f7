/*
 * The interval options of libKestrion: their defaults and their ranges, stated once.
 *
 * Header-only C++, so that a caller that links only the library's C exports checks its values
 * with the same rules that runkestrion applies to its arguments. Every check returns the message
 * of the first problem it finds, or nullptr when the value is usable; the messages carry no
 * severity prefix and name each argument by its option name (NBOOTSTRAP1, NGRID, ...).
 */
#ifndef KESTRION_OPTIONS_H
#define KESTRION_OPTIONS_H

#include <cstdint>

namespace kestrion {

struct IntervalOptions {
  int32_t nBootstrap1 = 1000;  // main bootstrap replicates
  int32_t nBootstrap2 = 1000;  // covariance bootstrap replicates
  int32_t nGrid = 10;          // grid values per treatment-effect coefficient
  double gridScale = 2.58;     // grid half-width in standard deviations
  double alpha = 0.05;         // one minus the confidence level
  int32_t cores = 0;           // threads asked for; 0 or less: every usable core (kestrion_plan.h)
};

// The value bootstrap needs enough resamples for its order statistics to mean something.
inline constexpr int32_t kFewestValueResamples = 10;
constexpr const char* nbootvalue_problem(int32_t n) {
  return n >= kFewestValueResamples ? nullptr : "NBOOTVALUE must be at least 10.";
}

// SEED= takes 1 .. kLargestSeed: the first modulus of the generator minus one.
inline constexpr int32_t kLargestSeed = 2147483562;
// Grid rows (points and the centre) are counted in 32 bits.
inline constexpr int64_t kLargestGridRows = 2147483647;

constexpr const char* nbootstrap1_problem(int32_t n) {
  return n > 0 ? nullptr : "NBOOTSTRAP1 must be positive.";
}
constexpr const char* nbootstrap2_problem(int32_t n) {
  return n > 0 ? nullptr : "NBOOTSTRAP2 must be positive.";
}
constexpr const char* ngrid_problem(int32_t n) {
  return n > 0 ? nullptr : "NGRID must be positive.";
}
// The grid spacing divides by NGRID - 1.
constexpr const char* ngrid_for_intervals_problem(int32_t n) {
  return n >= 2 ? nullptr : "NGRID must be at least 2 when DERIVECI is specified.";
}
// NaN fails both comparisons and so is refused.
constexpr const char* alpha_problem(double alpha) {
  if (!(alpha > 0)) return "ALPHA must be positive.";
  if (!(alpha < 1)) return "ALPHA must be less than 1.";
  return nullptr;
}
constexpr const char* grid_scale_problem(double scale) {
  return scale > 0 ? nullptr : "GRID_SCALE must be positive.";
}
constexpr bool seed_in_range(double seed) {
  return seed >= 1 && seed <= kLargestSeed;
}
inline constexpr const char* kSeedRangeMessage = "SEED must be between 1 and 2147483562.";

// nGrid**d2 + 1, the grid rows of d2 treatment-effect coefficients; any count above
// kLargestGridRows is returned as kLargestGridRows + 1.
constexpr int64_t grid_rows(int32_t nGrid, int32_t d2) {
  int64_t points = 1;
  for (int32_t e = 0; e < d2; ++e) {
    points *= nGrid < 0 ? -int64_t{nGrid} : int64_t{nGrid};
    if (points > kLargestGridRows) return kLargestGridRows + 1;
  }
  return points + 1;
}
// A printf format that takes d2 as an int.
inline constexpr const char* kGridTooLargeFormat =
    "The grid of NGRID**%d points is too large; lower NGRID.";
constexpr bool grid_too_large(int32_t nGrid, int32_t d2) {
  return grid_rows(nGrid, d2) > kLargestGridRows;
}

// What runkestrion refuses of an interval run with d2 treatment-effect coefficients: the options
// without which the intervals have no defined value, in this order. (NBOOTSTRAP1 below 3 is not
// refused: it ends in "Too many bootstrap loops have collinearity.", as does any run that keeps
// fewer than 3 replicates. A caller that checks NBOOTSTRAP1, NGRID and GRID_SCALE with the rules
// above refuses them before any data are read.) The grid message is kGridTooLargeFormat.
constexpr const char* interval_arguments_problem(const IntervalOptions& o, int32_t d2) {
  if (const char* p = nbootstrap2_problem(o.nBootstrap2)) return p;
  if (const char* p = ngrid_for_intervals_problem(o.nGrid)) return p;
  if (grid_too_large(o.nGrid, d2)) return kGridTooLargeFormat;
  return alpha_problem(o.alpha);
}

// MALPHA= absent is passed as 0; a given value must be above 0. NaN is refused.
constexpr const char* malpha_problem(double mAlpha) {
  return mAlpha >= 0 ? nullptr : "MALPHA must be positive.";
}
inline constexpr int32_t kFewestTuneResamples = 10;
constexpr const char* nboottune_problem(int32_t n) {
  return n >= kFewestTuneResamples ? nullptr : "NBOOTTUNE must be at least 10.";
}
// The value bootstrap's options, in the order the procedure checks them.
constexpr const char* value_options_problem(int32_t nBootValue, double mAlpha, int32_t nBootTune,
                                            int32_t nBootstrap2) {
  if (const char* p = nbootvalue_problem(nBootValue)) return p;
  if (const char* p = malpha_problem(mAlpha)) return p;
  if (const char* p = nboottune_problem(nBootTune)) return p;
  return nbootstrap2_problem(nBootstrap2);
}

}  // namespace kestrion

#endif /* KESTRION_OPTIONS_H */
