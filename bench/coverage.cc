// Monte Carlo coverage of the adaptive confidence intervals for the stage-1 coefficients.
//
//   talven_coverage [--n 300] [--reps 500] [--models a,b,...] [--seed 1] [--nboot1 1000]
//                   [--nboot2 1000] [--naive 1000] [--ngrid 10] [--alpha 0.05]
//   talven_coverage --check-truth 10000000
//
// Each repetition draws a study of n subjects from a generative model whose true stage-1
// coefficients are known, runs libKestrion's adaptive intervals on it (runkestrion with
// DERIVECI, seeded by seedkestrion), and a naive percentile bootstrap: the percentile interval of
// the stage-1 coefficients over plain bootstrap refits of the two-stage fit (resampled subjects,
// runkestrion without intervals, the same order statistics as the adaptive intervals). The table
// gives, per coefficient, the share of repetitions whose interval holds the true value and the
// mean width. With 500 repetitions the Monte Carlo standard error of a coverage near 0.95 is
// about 0.01.
//
// The models. Every subject has x ~ N(0, 1), o11 uniform on {-1, -0.5, 0, 0.5, 1} and a
// randomised stage-1 treatment a1 = -1 or 1. In models with responders a subject responds with
// probability logistic(rho0 + rho1 o11 + rhoa a1); a responder leaves the trial with
//   y = r0 + cx x + r1 o11 + ra a1 + roa o11 a1 + e,
// and a non-responder (the stage-2 sample; in the other models everyone) has
//   o21 = m0 + m1 o11 + m2 a1 + sigma z,
//   a2 = -1 or 1, randomised,
//   y = c0 + cx x + c1 o11 + ca a1 + co o21 + a2 (psi0 + psia a1 + (psi1 + psi1a a1) o21) + e,
// with z, e ~ N(0, 1). The fitted model is MAIN1 x; TAILOR1 o11; STG1TRT a1; STG2TRT a2;
// RESPONSE y, with MAIN2 and TAILOR2 chosen per model so that the stage-2 model holds every term
// of the true stage-2 mean: the stage-2 fit is correctly specified, as the method assumes.
//
// The truth. The stage-1 coefficients that the method estimates are those of the population
// regression of the true pseudo-outcome on the stage-1 design (1, x, o11, o11 a1, a1): for a
// non-responder the true maximum over a2 of the true stage-2 mean, for a responder y. As x is
// independent of (o11, a1, o21) with mean 0 and enters every outcome as cx x, its coefficient is
// cx and the other four are the regression of g(o11, a1) = E[pseudo-outcome - cx x | o11, a1] on
// (1, o11, o11 a1, a1) over the ten equally likely points (o11, a1): a 4 x 4 weighted least
// squares problem solved exactly. With p the response probability and mu = m0 + m1 o11 + m2 a1,
//   g = p (r0 + r1 o11 + ra a1 + roa o11 a1)
//       + (1 - p) (c0 + c1 o11 + ca a1 + co mu + E|m + s z|),
// where max over a2 = -1, 1 of a2 d is |d|, and d = psi0 + psia a1 + (psi1 + psi1a a1) o21 is
// normal with mean m = psi0 + psia a1 + (psi1 + psi1a a1) mu and standard deviation
// s = |psi1 + psi1a a1| sigma, so E|m + s z| = s sqrt(2/pi) exp(-m^2 / (2 s^2)) + m (1 - 2
// Phi(-m/s)) (the folded normal mean; |m| when s = 0). --check-truth N confirms these values by the
// least squares fit of the pseudo-outcome on N simulated subjects and prints each difference with
// its sandwich standard error.
//
// Not run by CI (about 20 minutes at the defaults); a smoke run with a few repetitions is.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numbers>
#include <span>
#include <string>
#include <vector>

#include "examples/study/study.h"
#include "kestrion.h"
#include "kestrion_model.h"

namespace {

// The analysed stage-1 model: MAIN1 x, TAILOR1 o11, two treatments.
constexpr kestrion::ModelShape kStage1{.p10 = 1, .p11 = 1};
constexpr int kP1 = kStage1.p1();  // intercept, x, o11, o11:a1, a1
const char* const kCoefficients[kP1] = {"intercept", "x", "o11", "o11:a1", "a1"};
constexpr double kO11Values[] = {-1.0, -0.5, 0.0, 0.5, 1.0};
constexpr double kO11Binary[] = {-1.0, 1.0};

// Unset coefficients are 0.
struct Model {
  const char* name = "";
  const char* description = "";
  bool responders = false;
  double rho0 = 0, rho1 = 0, rhoa = 0;             // response probability (logistic)
  double r0 = 0, r1 = 0, ra = 0, roa = 0;          // responders' outcome
  double m0 = 0, m1 = 0, m2 = 0, sigma = 1;        // o21 of the stage-2 sample
  double c0 = 0, cx = 0, c1 = 0, ca = 0, co = 0;   // stage-2 mean without the treatment
  double psi0 = 0, psia = 0, psi1 = 0, psi1a = 0;  // stage-2 treatment effect per unit of a2
  std::vector<std::string> main2, tailor2;         // the fitted stage-2 lists
  // o11 takes -1 and 1 only: the stage-1 model then holds the true stage-1 Q-function exactly,
  // so the optimal regime's value under the Q-models is the true one. The models of the
  // estimated regime's value interval.
  bool binary_o11 = false;
};

std::span<const double> o11_values(const Model& m) {
  if (m.binary_o11) return kO11Binary;
  return kO11Values;
}

// Each stage-2 fit holds every term whose coefficient is not zero.
std::vector<Model> all_models() {
  return {
      {.name = "regular",
       .description = "regular: a clear stage-2 effect tailored by o21, everyone in stage 2",
       .m1 = 0.5,
       .m2 = 0.3,
       .c0 = 1.0,
       .cx = 0.3,
       .co = 0.5,
       .psi0 = 1.0,
       .psi1 = 0.5,
       .main2 = {"x"},
       .tailor2 = {"o21"}},
      {.name = "regular_responders",
       .description = "regular: a clear stage-2 effect tailored by o21, responders leave",
       .responders = true,
       .rho0 = -0.2,
       .rho1 = 0.8,
       .rhoa = 0.3,
       .r0 = 2.0,
       .r1 = 0.5,
       .ra = 0.4,
       .roa = 0.3,
       .m0 = -0.3,
       .m1 = 0.4,
       .m2 = -0.4,
       .c0 = 0.5,
       .cx = 0.3,
       .c1 = 0.4,
       .ca = 0.2,
       .co = 0.6,
       .psi0 = -1.0,
       .psi1 = 0.5,
       .main2 = {"x", "o11", "a1"},
       .tailor2 = {"o21"}},
      {.name = "no_stage2_effect",
       .description = "non-regular: no stage-2 treatment effect at all, everyone in stage 2",
       .m1 = 0.5,
       .m2 = 0.3,
       .c0 = 1.0,
       .cx = 0.3,
       .c1 = 0.3,
       .ca = 0.2,
       .co = 0.5,
       .main2 = {"x", "o11", "a1"},
       .tailor2 = {"o21"}},
      {.name = "effect_in_one_arm",
       .description = "non-regular: a stage-2 effect for a1 = 1 only, none for a1 = -1; "
                      "responders leave",
       .responders = true,
       .rho0 = -0.2,
       .rho1 = 0.8,
       .rhoa = 0.3,
       .r0 = 2.0,
       .r1 = 0.5,
       .ra = 0.4,
       .roa = 0.3,
       .m0 = -0.3,
       .m1 = 0.4,
       .m2 = -0.4,
       .c0 = 0.5,
       .cx = 0.3,
       .ca = 0.2,
       .co = 0.4,
       .psi0 = 0.5,
       .psia = 0.5,
       .main2 = {"x", "o21"},
       .tailor2 = {"a1"}},
      {.name = "tiny_effect",
       .description = "near non-regular: a stage-2 effect of 0.1 for everyone, everyone in "
                      "stage 2",
       .m1 = 0.5,
       .m2 = 0.3,
       .c0 = 1.0,
       .cx = 0.3,
       .co = 0.5,
       .psi0 = 0.1,
       .main2 = {"x"},
       .tailor2 = {"o21"}},
      {.name = "value_null",
       .description = "no treatment effect at either stage, everyone in stage 2",
       .m1 = 0.5,
       .c0 = 1.0,
       .cx = 0.3,
       .c1 = 0.3,
       .co = 0.5,
       .main2 = {"x", "o11"},
       .tailor2 = {"o21"},
       .binary_o11 = true},
      {.name = "value_partial",
       .description = "a stage-2 effect for a1 = 1 only, none for a1 = -1; "
                      "responders leave",
       .responders = true,
       .rho0 = -0.2,
       .rho1 = 0.4,
       .r0 = 1.5,
       .ra = 0.25,
       .roa = 0.25,
       .m0 = -0.3,
       .m1 = 0.4,
       .c0 = 0.5,
       .cx = 0.3,
       .c1 = 0.2,
       .co = 0.4,
       .psi0 = 0.5,
       .psia = 0.5,
       .main2 = {"x", "o11", "o21"},
       .tailor2 = {"a1"},
       .binary_o11 = true},
      {.name = "value_regular",
       .description = "clear treatment effects at both stages, everyone in stage 2",
       .m1 = 0.5,
       .m2 = 0.3,
       .c0 = 1.0,
       .cx = 0.3,
       .c1 = 0.3,
       .ca = 0.8,
       .co = 0.5,
       .psi0 = 1.0,
       .psi1 = 0.5,
       .main2 = {"x", "o11", "a1"},
       .tailor2 = {"o21"},
       .binary_o11 = true},
  };
}

// SplitMix64: simple, fast and the same on every machine.
class Draws {
 public:
  explicit Draws(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  double uniform() { return static_cast<double>((next() >> 11) + 1) * 0x1.0p-53; }  // (0, 1]
  double normal() {
    return std::sqrt(-2.0 * std::log(uniform())) * std::cos(2.0 * std::numbers::pi * uniform());
  }
  double sign() { return (next() >> 63) != 0 ? 1.0 : -1.0; }
  int32_t below(int32_t n) {
    return static_cast<int32_t>((next() >> 11) % static_cast<uint64_t>(n));
  }

 private:
  uint64_t state_;
};

uint64_t mix(uint64_t a, uint64_t b) {
  Draws d(a * 0x9E3779B97F4A7C15ULL ^ b);
  return d.next();
}

double response_probability(const Model& m, double o11, double a1) {
  if (!m.responders) return 0.0;
  return 1.0 / (1.0 + std::exp(-(m.rho0 + m.rho1 * o11 + m.rhoa * a1)));
}

double o21_mean(const Model& m, double o11, double a1) {
  return m.m0 + m.m1 * o11 + m.m2 * a1;
}

// The stage-2 treatment effect per unit of a2, at o21.
double effect(const Model& m, double a1, double o21) {
  return m.psi0 + m.psia * a1 + (m.psi1 + m.psi1a * a1) * o21;
}

double stage2_mean_without_treatment(const Model& m, double x, double o11, double a1, double o21) {
  return m.c0 + m.cx * x + m.c1 * o11 + m.ca * a1 + m.co * o21;
}

double responder_mean(const Model& m, double x, double o11, double a1) {
  return m.r0 + m.cx * x + m.r1 * o11 + m.ra * a1 + m.roa * o11 * a1;
}

// One subject: its stage-1 design row, its outcome and its true pseudo-outcome.
struct Subject {
  double x, o11, a1, responder, o21, a2, y, pseudo;
};

double stage1_mean(const Model& m, double o11, double a1);

// forced1, forced2 (when not 0) replace the randomised treatments, after the same draws; NaN
// gives the better treatment of the true Q-functions.
Subject draw_subject(const Model& m, Draws& d, double forced1 = 0.0, double forced2 = 0.0) {
  Subject s{};
  s.x = d.normal();
  s.o11 = m.binary_o11 ? (d.below(2) == 0 ? -1.0 : 1.0) : kO11Values[d.below(5)];
  s.a1 = d.sign();
  if (forced1 != 0.0) {
    s.a1 = !std::isnan(forced1)                                        ? forced1
           : stage1_mean(m, s.o11, 1.0) >= stage1_mean(m, s.o11, -1.0) ? 1.0
                                                                       : -1.0;
  }
  s.responder = d.uniform() <= response_probability(m, s.o11, s.a1) ? 1.0 : 0.0;
  if (s.responder != 0.0) {
    s.o21 = s.a2 = std::numeric_limits<double>::quiet_NaN();
    s.y = responder_mean(m, s.x, s.o11, s.a1) + d.normal();
    s.pseudo = s.y;
  } else {
    s.o21 = o21_mean(m, s.o11, s.a1) + m.sigma * d.normal();
    s.a2 = d.sign();
    const double base = stage2_mean_without_treatment(m, s.x, s.o11, s.a1, s.o21);
    const double e = effect(m, s.a1, s.o21);
    if (forced2 != 0.0) s.a2 = std::isnan(forced2) ? (e >= 0 ? 1.0 : -1.0) : forced2;
    s.y = base + s.a2 * e + d.normal();
    s.pseudo = base + std::fabs(e);
  }
  return s;
}

void design_row(const Subject& s, double row[kP1]) {
  row[0] = 1.0;
  row[1] = s.x;
  row[2] = s.o11;
  row[3] = s.o11 * s.a1;
  row[4] = s.a1;
}

// Solves the k x k system a b = r in place by Gaussian elimination with partial pivoting.
template <int k>
void solve(long double a[k][k], long double r[k], double out[k]) {
  for (int c = 0; c < k; ++c) {
    int pivot = c;
    for (int i = c + 1; i < k; ++i) {
      if (std::fabs(a[i][c]) > std::fabs(a[pivot][c])) pivot = i;
    }
    for (int j = 0; j < k; ++j) std::swap(a[c][j], a[pivot][j]);
    std::swap(r[c], r[pivot]);
    for (int i = c + 1; i < k; ++i) {
      const long double f = a[i][c] / a[c][c];
      for (int j = c; j < k; ++j) a[i][j] -= f * a[c][j];
      r[i] -= f * r[c];
    }
  }
  for (int c = k - 1; c >= 0; --c) {
    long double v = r[c];
    for (int j = c + 1; j < k; ++j) v -= a[c][j] * out[j];
    out[c] = static_cast<double>(v / a[c][c]);
  }
}

double folded_normal_mean(double m, double s) {
  if (s == 0.0) return std::fabs(m);
  return s * std::sqrt(2.0 / std::numbers::pi) * std::exp(-m * m / (2.0 * s * s)) +
         m * (1.0 - std::erfc(m / (s * std::sqrt(2.0))));
}

// g(o11, a1) = E[pseudo-outcome - cx x | o11, a1], as the header comment derives it.
double stage1_mean(const Model& m, double o11, double a1) {
  const double p = response_probability(m, o11, a1);
  const double mu = o21_mean(m, o11, a1);
  const double non_responder =
      stage2_mean_without_treatment(m, 0.0, o11, a1, mu) +
      folded_normal_mean(effect(m, a1, mu), std::fabs(m.psi1 + m.psi1a * a1) * m.sigma);
  return p * responder_mean(m, 0.0, o11, a1) + (1.0 - p) * non_responder;
}

// V(d*) = E[max over a1 of Q1]: x enters Q1 as cx x with mean 0, and with o11 binary the stage-1
// model holds g(o11, a1) exactly.
double true_optimal_value(const Model& m) {
  double total = 0.0;
  for (double o11 : o11_values(m)) {
    total += std::max(stage1_mean(m, o11, -1.0), stage1_mean(m, o11, 1.0));
  }
  return total / static_cast<double>(o11_values(m).size());
}

// The true stage-1 coefficients, derived as the header comment explains.
std::vector<double> true_stage1(const Model& m) {
  long double xtx[4][4] = {};
  long double xty[4] = {};
  for (double o11 : o11_values(m)) {
    for (double a1 : {-1.0, 1.0}) {
      const double g = stage1_mean(m, o11, a1);
      const double z[4] = {1.0, o11, o11 * a1, a1};
      for (int i = 0; i < 4; ++i) {
        xty[i] += z[i] * g;
        for (int j = 0; j < 4; ++j) xtx[i][j] += z[i] * z[j];
      }
    }
  }
  double b[4];
  solve<4>(xtx, xty, b);
  // A coefficient that is 0 by symmetry comes out as rounding noise; show it as 0.
  for (double& v : b) v = std::fabs(v) < 1e-12 ? 0.0 : v;
  return {b[0], m.cx, b[1], b[2], b[3]};
}

// Least squares of the true pseudo-outcome on the stage-1 design over `count` simulated subjects,
// with sandwich standard errors (the second pass draws the same subjects again). False when a
// derived value lies more than 5 standard errors from the fitted one.
// X'X and X'y of the true pseudo-outcome over `count` subjects drawn from `draws`.
void normal_equations(const Model& m, int64_t count, Draws& draws, long double (&xtx)[kP1][kP1],
                      long double (&xty)[kP1]) {
  double row[kP1];
  for (int64_t i = 0; i < count; ++i) {
    const Subject s = draw_subject(m, draws);
    design_row(s, row);
    for (int a = 0; a < kP1; ++a) {
      xty[a] += row[a] * s.pseudo;
      for (int b = 0; b < kP1; ++b) xtx[a][b] += row[a] * row[b];
    }
  }
}

// The sandwich's bread (X'X)^-1, column by column.
void bread_of(const long double (&xtx)[kP1][kP1], double (&bread)[kP1][kP1]) {
  for (int c = 0; c < kP1; ++c) {
    long double a2[kP1][kP1], unit[kP1] = {};
    std::memcpy(a2, xtx, sizeof xtx);
    unit[c] = 1.0L;
    double column[kP1];
    solve<kP1>(a2, unit, column);
    for (int r = 0; r < kP1; ++r) bread[r][c] = column[r];
  }
}

// The sandwich's meat: X' diag(e^2) X over the same subjects drawn again.
void meat_of(const Model& m, int64_t count, Draws& draws, const double (&beta)[kP1],
             long double (&meat)[kP1][kP1]) {
  double row[kP1];
  for (int64_t i = 0; i < count; ++i) {
    const Subject s = draw_subject(m, draws);
    design_row(s, row);
    double fit = 0.0;
    for (int a = 0; a < kP1; ++a) fit += row[a] * beta[a];
    const double e2 = (s.pseudo - fit) * (s.pseudo - fit);
    for (int a = 0; a < kP1; ++a) {
      for (int b = 0; b < kP1; ++b) meat[a][b] += row[a] * row[b] * e2;
    }
  }
}

double sandwich_se(const double (&bread)[kP1][kP1], const long double (&meat)[kP1][kP1], int k) {
  long double v = 0.0L;
  for (int a = 0; a < kP1; ++a) {
    for (int b = 0; b < kP1; ++b) v += bread[k][a] * meat[a][b] * bread[k][b];
  }
  return std::sqrt(static_cast<double>(v));
}

// The embedded regimes "give a1; in the stage-2 sample give a2", a1 outer, both in the order -1, 1,
// and their differences r - s for r < s, r outer.
constexpr int kRegimes = 4;
// The tuning constants the library chooses among, for the table of choices.
constexpr double kMAlphaGridShown[] = {0.025, 0.05, 0.1, 0.25, 0.5, 1.0};
constexpr int kValueRows = kRegimes + kRegimes * (kRegimes - 1) / 2;
double regime_a1(int r) {
  return r < 2 ? -1.0 : 1.0;
}
double regime_a2(int r) {
  return r % 2 == 0 ? -1.0 : 1.0;
}
int regime_index(double a1, double a2) {
  return (a1 > 0 ? 2 : 0) + (a2 > 0 ? 1 : 0);
}
std::string value_row_name(int k) {
  auto name = [](int r) {
    char text[24];
    std::snprintf(text, sizeof text, "(%+.0f,%+.0f)", regime_a1(r), regime_a2(r));
    return std::string(text);
  };
  if (k < kRegimes) return "a1,a2 = " + name(k);
  int pair = k - kRegimes;
  for (int r = 0; r < kRegimes; ++r) {
    for (int s = r + 1; s < kRegimes; ++s) {
      if (pair-- == 0) return name(r) + " - " + name(s);
    }
  }
  return "";
}

// E[y] when every subject gets a1 and, in the stage-2 sample, a2. x has mean 0 and o21 enters
// the stage-2 mean linearly, so the means stand for them.
double true_regime_value(const Model& m, double a1, double a2) {
  double total = 0.0;
  for (double o11 : o11_values(m)) {
    const double p = response_probability(m, o11, a1);
    const double mu = o21_mean(m, o11, a1);
    const double non_responder =
        stage2_mean_without_treatment(m, 0.0, o11, a1, mu) + a2 * effect(m, a1, mu);
    total += p * responder_mean(m, 0.0, o11, a1) + (1.0 - p) * non_responder;
  }
  return total / static_cast<double>(o11_values(m).size());
}

// The true values of the value table's rows.
std::vector<double> true_values(const Model& m) {
  std::vector<double> v(kValueRows);
  for (int r = 0; r < kRegimes; ++r) v[r] = true_regime_value(m, regime_a1(r), regime_a2(r));
  int k = kRegimes;
  for (int r = 0; r < kRegimes; ++r) {
    for (int s = r + 1; s < kRegimes; ++s) v[k++] = v[r] - v[s];
  }
  return v;
}

// The embedded regimes' values against the mean outcome of `count` subjects who follow each.
bool check_regime_values(const std::vector<Model>& models, int64_t count, uint64_t seed) {
  bool agree = true;
  std::printf(
      "\nTrue values of the embedded regimes: derived, and the mean outcome of %lld "
      "simulated followers\n",
      static_cast<long long>(count));
  std::printf("%-20s %-16s %12s %12s %10s %7s\n", "model", "regime", "derived", "simulated",
              "std.err", "z");
  for (size_t mi = 0; mi < models.size(); ++mi) {
    const Model& m = models[mi];
    for (int r = 0; r < kRegimes; ++r) {
      Draws draws(mix(seed, 2000 + mi * kRegimes + r));
      long double sum = 0.0L, sum2 = 0.0L;
      for (int64_t i = 0; i < count; ++i) {
        const double y = draw_subject(m, draws, regime_a1(r), regime_a2(r)).y;
        sum += y;
        sum2 += static_cast<long double>(y) * y;
      }
      const auto n = static_cast<long double>(count);
      const double mean = static_cast<double>(sum / n);
      const double se = std::sqrt(static_cast<double>((sum2 / n - (sum / n) * (sum / n)) / n));
      const double truth = true_regime_value(m, regime_a1(r), regime_a2(r));
      const double z = (mean - truth) / se;
      agree = agree && std::fabs(z) <= 5.0;
      std::printf("%-20s %-16s %12.6f %12.6f %10.6f %7.2f\n", r == 0 ? m.name : "",
                  value_row_name(r).c_str(), truth, mean, se, z);
    }
  }
  std::printf("%s\n", agree ? "The derived values agree with the simulation."
                            : "A derived value is more than 5 standard errors off.");
  return agree;
}

// The optimal regime's value against the mean outcome of `count` subjects who follow it.
bool check_optimal_values(const std::vector<Model>& models, int64_t count, uint64_t seed) {
  bool agree = true;
  std::printf(
      "\nTrue values of the optimal regime: derived, and the mean outcome of %lld "
      "simulated followers\n",
      static_cast<long long>(count));
  for (size_t mi = 0; mi < models.size(); ++mi) {
    const Model& m = models[mi];
    if (!m.binary_o11) continue;
    Draws draws(mix(seed, 3000 + mi));
    long double sum = 0.0L, sum2 = 0.0L;
    for (int64_t i = 0; i < count; ++i) {
      const double y = draw_subject(m, draws, NAN, NAN).y;
      sum += y;
      sum2 += static_cast<long double>(y) * y;
    }
    const auto n = static_cast<long double>(count);
    const double mean = static_cast<double>(sum / n);
    const double se = std::sqrt(static_cast<double>((sum2 / n - (sum / n) * (sum / n)) / n));
    const double truth = true_optimal_value(m);
    const double z = (mean - truth) / se;
    agree = agree && std::fabs(z) <= 5.0;
    std::printf("%-20s %12.6f %12.6f %10.6f %7.2f\n", m.name, truth, mean, se, z);
  }
  std::printf("%s\n", agree ? "The derived optimal values agree with the simulation."
                            : "A derived optimal value is more than 5 standard errors off.");
  return agree;
}

bool check_truth(const std::vector<Model>& models, int64_t count, uint64_t seed) {
  bool agree = true;
  std::printf("True stage-1 coefficients: derived, and fitted to %lld simulated subjects\n",
              static_cast<long long>(count));
  std::printf("%-20s %-10s %12s %12s %10s %7s\n", "model", "term", "derived", "simulated",
              "std.err", "z");
  for (size_t mi = 0; mi < models.size(); ++mi) {
    const Model& m = models[mi];
    long double xtx[kP1][kP1] = {}, xty[kP1] = {};
    Draws first(mix(seed, 1000 + mi));
    normal_equations(m, count, first, xtx, xty);
    long double a_copy[kP1][kP1];
    std::memcpy(a_copy, xtx, sizeof xtx);
    double beta[kP1];
    solve<kP1>(a_copy, xty, beta);
    double bread[kP1][kP1];
    bread_of(xtx, bread);
    long double meat[kP1][kP1] = {};
    Draws second(mix(seed, 1000 + mi));
    meat_of(m, count, second, beta, meat);
    const std::vector<double> truth = true_stage1(m);
    for (int k = 0; k < kP1; ++k) {
      const double se = sandwich_se(bread, meat, k);
      const double z = (beta[k] - truth[k]) / se;
      agree = agree && std::fabs(z) <= 5.0;
      std::printf("%-20s %-10s %12.6f %12.6f %10.6f %7.2f\n", k == 0 ? m.name : "",
                  kCoefficients[k], truth[k], beta[k], se, z);
    }
  }
  std::printf("%s\n", agree ? "The derived coefficients agree with the simulation."
                            : "A derived coefficient is more than 5 standard errors off.");
  return agree;
}

smart::Study draw_study(const Model& m, int n, Draws& d) {
  smart::Study study;
  const char* names[] = {"x", "o11", "a1", "stage2", "o21", "a2", "y"};
  for (const char* name : names) study.columns.push_back({name, std::vector<double>(n)});
  for (int i = 0; i < n; ++i) {
    const Subject s = draw_subject(m, d);
    const double values[] = {s.x, s.o11, s.a1, 1.0 - s.responder, s.o21, s.a2, s.y};
    for (size_t c = 0; c < study.columns.size(); ++c) study.columns[c].values[i] = values[c];
  }
  return study;
}

smart::AnalysisSpec spec_of(const Model& m) {
  return {.main1 = {"x"},
          .tailor1 = {"o11"},
          .stg1trt = {"a1"},
          .stg2sample = m.responders ? "stage2" : "",
          .main2 = m.main2,
          .tailor2 = m.tailor2,
          .stg2trt = {"a2"},
          .response = "y"};
}

// The subjects `rows` of the analysis arrays, in that order.
smart::AnalysisArrays resample(const smart::AnalysisArrays& a, const std::vector<int32_t>& rows) {
  smart::AnalysisArrays b = a;
  const size_t n = rows.size();
  auto pick = [&](const auto& from, auto& to, size_t columns) {
    for (size_t c = 0; c < columns; ++c) {
      for (size_t r = 0; r < n; ++r) to[r + c * n] = from[static_cast<size_t>(rows[r]) + c * n];
    }
  };
  pick(a.Y1, b.Y1, 1);
  pick(a.inputY2, b.inputY2, 1);
  pick(a.respStatus, b.respStatus, 1);
  pick(a.A1, b.A1, 1);
  pick(a.inputA2, b.inputA2, 1);
  pick(a.H10, b.H10, static_cast<size_t>(a.p10));
  pick(a.H11, b.H11, static_cast<size_t>(a.p11));
  pick(a.inputH20, b.inputH20, static_cast<size_t>(a.p20));
  pick(a.inputH21, b.inputH21, static_cast<size_t>(a.p21));
  b.n2 = static_cast<int32_t>(std::count(b.respStatus.begin(), b.respStatus.end(), 0));
  return b;
}

struct Options {
  bool stage1 = true;    // the stage-1 coefficients' intervals
  bool value = false;    // the embedded regimes' value intervals
  bool optimal = false;  // the estimated regime's value interval
  int nbootvalue = 1000;
  int nboottune = 200;
  double malpha = 0.0;  // 0: chosen by the double bootstrap
  int shard = 0;        // 1..shards, 0: every repetition
  int shards = 0;
  std::string out;                 // the shard's record file
  std::vector<std::string> merge;  // record files to join
  int n = 300;
  int reps = 500;
  uint64_t seed = 1;
  int nboot1 = 1000;
  int nboot2 = 1000;
  int naive = 1000;
  int ngrid = 10;
  double alpha = 0.05;
  int64_t check_truth = 0;
  std::vector<std::string> models;
};

struct Fit {
  bool ok = false;
  double beta1[kP1] = {};
  double upper[kP1] = {};
  double lower[kP1] = {};
  int32_t collinear = 0;
  std::vector<double> beta2;
};

Fit run(const smart::AnalysisArrays& a, const Options& o, bool intervals, int32_t seed) {
  Fit f;
  f.beta2.resize(static_cast<size_t>(a.p2()));
  std::vector<int32_t> message(3001);
  uint8_t flag = 0;
  if (intervals) seedkestrion(seed);
  runkestrion(1, 2, a.Y1.data(), a.inputY2.data(), a.n1, a.n2, a.respStatus.data(), a.A1.data(),
              a.inputA2.data(), a.H10.data(), a.p10, a.H11.data(), a.p11, a.inputH20.data(), a.p20,
              a.inputH21.data(), a.p21, a.levels1.data(), a.K1, a.levels2.data(), a.K2, nullptr, 0,
              o.nboot1, o.nboot2, o.ngrid, 2.58, intervals ? 1 : 0, o.alpha, f.beta1,
              f.beta2.data(), f.upper, f.lower, &f.collinear, &flag, 3001, message.data());
  f.ok = flag == 0;
  return f;
}

// Order statistics as the adaptive intervals take them.
void percentile(std::vector<double>& values, double alpha, double* low, double* high) {
  std::sort(values.begin(), values.end());
  const auto kept = static_cast<int64_t>(values.size());
  int64_t low_rank = static_cast<int64_t>(std::floor((0.5 * static_cast<double>(kept)) * alpha));
  int64_t high_rank =
      static_cast<int64_t>(std::ceil(static_cast<double>(kept) * (1 - 0.5 * alpha)));
  low_rank = std::max<int64_t>(low_rank, 1);
  high_rank = std::min(high_rank, kept);
  *low = values[static_cast<size_t>(low_rank - 1)];
  *high = values[static_cast<size_t>(high_rank - 1)];
}

struct Tally {
  int runs = 0;
  int covered[kP1] = {};
  double width[kP1] = {};
  void add(const std::vector<double>& truth, const double* low, const double* high) {
    ++runs;
    for (int k = 0; k < kP1; ++k) {
      if (low[k] <= truth[k] && truth[k] <= high[k]) ++covered[k];
      width[k] += high[k] - low[k];
    }
  }
  double coverage(int k) const { return runs ? static_cast<double>(covered[k]) / runs : NAN; }
  double mean_width(int k) const { return runs ? width[k] / runs : NAN; }
};

std::string clock_text(double seconds) {
  char text[32];
  const auto s = static_cast<long>(seconds);
  std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
  return text;
}

// One value table, its rows put in the order of the true values (the library numbers the
// treatments by first appearance, which differs between studies).
struct ValueRun {
  bool ok = false;
  double low[kValueRows] = {};
  double high[kValueRows] = {};
  bool has[kValueRows] = {};
};

ValueRun run_value(const smart::AnalysisArrays& a, const double* beta1, const double* beta2,
                   const Options& o, int32_t seed) {
  const int rows = KESTRION_VALUE_ROWS(2, 2);
  std::vector<double> estimate(rows), lower(rows), upper(rows);
  std::vector<int32_t> followers(rows), kept(rows), status(rows);
  double m = 0, p_hat = 0, m_alpha = 0;
  const KestrionValueData data = value_data(a, beta1, beta2);
  const KestrionValueOptions options{o.alpha, o.nbootvalue, seed, 1, 0, 0.0, 200, o.nboot2, 255};
  int32_t choice = 0;
  const KestrionValueTable table{estimate.data(), lower.data(),  upper.data(), followers.data(),
                                 kept.data(),     status.data(), &m,           &p_hat,
                                 &m_alpha,        &choice};
  std::vector<int32_t> message(3001);
  uint8_t flag = 0;
  valuekestrion(&data, &options, &table, &flag, 3001, message.data());
  ValueRun v;
  v.ok = flag == 0;
  if (!v.ok) return v;
  int code_of[kRegimes];  // regime in value order -> the library's regime number
  for (int c1 = 1; c1 <= 2; ++c1) {
    for (int c2 = 1; c2 <= 2; ++c2) {
      code_of[regime_index(a.levels1[c1 - 1], a.levels2[c2 - 1])] = (c1 - 1) * 2 + (c2 - 1);
    }
  }
  auto pair_row = [](int r, int s) {  // r < s among the library's regimes
    int k = 0;
    for (int i = 0; i < kRegimes; ++i) {
      for (int j = i + 1; j < kRegimes; ++j, ++k) {
        if (i == r && j == s) return 1 + kRegimes + k;
      }
    }
    return -1;
  };
  auto take = [&](int k, int row, bool flip) {
    v.has[k] = status[row] == KESTRION_VALUE_OK;
    v.low[k] = flip ? -upper[row] : lower[row];
    v.high[k] = flip ? -lower[row] : upper[row];
  };
  for (int r = 0; r < kRegimes; ++r) take(r, 1 + code_of[r], false);
  int k = kRegimes;
  for (int r = 0; r < kRegimes; ++r) {
    for (int s = r + 1; s < kRegimes; ++s, ++k) {
      const int cr = code_of[r], cs = code_of[s];
      take(k, cr < cs ? pair_row(cr, cs) : pair_row(cs, cr), cr > cs);
    }
  }
  return v;
}

struct ValueTally {
  int runs = 0;
  int covered[kValueRows] = {};
  int intervals[kValueRows] = {};
  double width[kValueRows] = {};
  void add(const std::vector<double>& truth, const ValueRun& v) {
    ++runs;
    for (int k = 0; k < kValueRows; ++k) {
      if (!v.has[k]) continue;
      ++intervals[k];
      if (v.low[k] <= truth[k] && truth[k] <= v.high[k]) ++covered[k];
      width[k] += v.high[k] - v.low[k];
    }
  }
  double coverage(int k) const {
    return intervals[k] ? static_cast<double>(covered[k]) / intervals[k] : NAN;
  }
  double standard_error(int k) const {
    const double c = coverage(k);
    return intervals[k] ? std::sqrt(c * (1 - c) / intervals[k]) : NAN;
  }
};

// The naive percentile bootstrap of one study, tallied when at least three refits succeed.
// Returns the number of refits that failed.
int naive_bootstrap(const smart::AnalysisArrays& a, const Options& o, Draws& draws,
                    const std::vector<double>& truth, Tally* naive) {
  int failed = 0;
  std::vector<std::vector<double>> refits(kP1);
  std::vector<int32_t> rows(static_cast<size_t>(a.n1));
  for (int b = 0; b < o.naive; ++b) {
    for (int32_t& r : rows) r = draws.below(a.n1);
    const smart::AnalysisArrays boot = resample(a, rows);
    const Fit g = boot.n2 >= boot.p2() ? run(boot, o, false, 0) : Fit{};
    if (!g.ok) {
      ++failed;
      continue;
    }
    for (int k = 0; k < kP1; ++k) refits[k].push_back(g.beta1[k]);
  }
  if (refits[0].size() >= 3) {
    double low[kP1], high[kP1];
    for (int k = 0; k < kP1; ++k) percentile(refits[k], o.alpha, &low[k], &high[k]);
    naive->add(truth, low, high);
  }
  return failed;
}

// What one model's repetitions add up to.
struct ModelTallies {
  std::vector<double> truth;  // stage-1 coefficients
  Tally adaptive, naive;
  int failed = 0;
  int naive_failed = 0;
  long collinear = 0;
};

void stage1_repetition(const smart::AnalysisArrays& a, const Options& o, int32_t seed, Draws& draws,
                       ModelTallies& t) {
  const Fit f = run(a, o, true, seed);
  if (!f.ok) {
    ++t.failed;
  } else {
    t.adaptive.add(t.truth, f.lower, f.upper);
    t.collinear += f.collinear;
  }
  t.naive_failed += naive_bootstrap(a, o, draws, t.truth, &t.naive);
}

void print_stage1(const ModelTallies& t, double* lowest) {
  std::printf(
      "  %d repetitions with intervals, %d failed; %.1f collinear replicates per run; "
      "naive refits failed: %d\n",
      t.adaptive.runs, t.failed, t.adaptive.runs ? double(t.collinear) / t.adaptive.runs : 0.0,
      t.naive_failed);
  std::printf("  %-10s %10s   %9s %9s   %9s %9s\n", "term", "truth", "adaptive", "width", "naive",
              "width");
  for (int k = 0; k < kP1; ++k) {
    std::printf("  %-10s %10.4f   %9.3f %9.3f   %9.3f %9.3f\n", kCoefficients[k], t.truth[k],
                t.adaptive.coverage(k), t.adaptive.mean_width(k), t.naive.coverage(k),
                t.naive.mean_width(k));
    *lowest = std::min(*lowest, t.adaptive.coverage(k));
  }
}

// `index` is the model's place in all_models(), so that a model draws the same studies whichever
// models run with it.
int run_model(const Model& m, size_t index, const Options& o, double* lowest) {
  ModelTallies t;
  t.truth = true_stage1(m);
  const smart::AnalysisSpec spec = spec_of(m);
  const auto start = std::chrono::steady_clock::now();
  auto elapsed = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  double last_report = 0.0;
  for (int rep = 0; rep < o.reps; ++rep) {
    Draws draws(mix(o.seed, index * 1000003ULL + static_cast<uint64_t>(rep)));
    const smart::Study study = draw_study(m, o.n, draws);
    smart::AnalysisArrays a;
    std::string error;
    if (!smart::build_analysis_arrays(study, spec, &a, &error)) {
      ++t.failed;
      continue;
    }
    const auto seed = static_cast<int32_t>(1 + draws.next() % 2147483562ULL);
    stage1_repetition(a, o, seed, draws, t);
    if (elapsed() - last_report >= 10.0 || rep + 1 == o.reps) {
      last_report = elapsed();
      std::fprintf(stderr, "coverage: %s, repetition %d of %d, %s elapsed\n", m.name, rep + 1,
                   o.reps, clock_text(last_report).c_str());
    }
  }

  std::printf("\nModel %s (%s); %s\n", m.name, m.description, clock_text(elapsed()).c_str());
  print_stage1(t, lowest);
  std::fflush(stdout);
  return t.failed;
}

// ---- The value studies, one record per repetition, so that they can run as shards.
//
// Repetition r of the model at place k of all_models() draws its study and its seeds from
// mix(seed, k * 1000003 + r), whichever process runs it. Shard I of N runs the repetitions r
// with r mod N = I - 1 and writes their records; --merge reads the records of every shard and
// tallies them in repetition order, as an unsharded run does, so its table is that run's, bit
// for bit.

struct RepRecord {
  char study = 'V';  // V: the embedded regimes; O: the estimated regime
  size_t model = 0;
  int rep = 0;
  std::vector<double> values;  // empty: the analysis failed
};

// The estimated regime's row with MALPHA = malpha (0: chosen): has, lower, upper, m, pHat,
// mAlpha, choice; empty when the call failed.
std::vector<double> optimal_row(const smart::AnalysisArrays& a, const Fit& point, const Options& o,
                                int32_t seed, double malpha) {
  const int rows = KESTRION_VALUE_ROWS(2, 2);
  std::vector<double> estimate(rows), lower(rows), upper(rows);
  std::vector<int32_t> followers(rows), kept(rows), status(rows);
  double m = 0, p_hat = 0, m_alpha = 0;
  int32_t choice = 0;
  const KestrionValueData data = value_data(a, point.beta1, point.beta2.data());
  const KestrionValueOptions options{o.alpha, o.nbootvalue, seed,     1, 0,
                                     malpha,  o.nboottune,  o.nboot2, 0};
  const KestrionValueTable table{estimate.data(), lower.data(),  upper.data(), followers.data(),
                                 kept.data(),     status.data(), &m,           &p_hat,
                                 &m_alpha,        &choice};
  std::vector<int32_t> message(3001);
  uint8_t flag = 0;
  valuekestrion(&data, &options, &table, &flag, 3001, message.data());
  if (flag != 0) return {};
  const bool has = status[0] == KESTRION_VALUE_OK;
  return {has ? 1.0 : 0.0, lower[0], upper[0], m, p_hat, m_alpha, static_cast<double>(choice)};
}

// The interval with m = n1 always: a tuning constant so small that m rounds up to n1.
constexpr double kOrdinaryMAlpha = 1e-12;

std::vector<RepRecord> repetition_records(const Model& m, size_t index, int rep, const Options& o) {
  Draws draws(mix(o.seed, index * 1000003ULL + static_cast<uint64_t>(rep)));
  const smart::Study study = draw_study(m, o.n, draws);
  smart::AnalysisArrays a;
  std::string error;
  std::vector<RepRecord> out;
  const bool built = smart::build_analysis_arrays(study, spec_of(m), &a, &error);
  const auto seed = static_cast<int32_t>(1 + draws.next() % 2147483562ULL);
  const Fit point = built ? run(a, o, false, 0) : Fit{};
  if (o.value) {
    RepRecord r{'V', index, rep, {}};
    const ValueRun v =
        point.ok ? run_value(a, point.beta1, point.beta2.data(), o, seed) : ValueRun{};
    for (int k = 0; v.ok && k < kValueRows; ++k) {
      r.values.insert(r.values.end(), {v.has[k] ? 1.0 : 0.0, v.low[k], v.high[k]});
    }
    out.push_back(r);
  }
  if (o.optimal) {
    RepRecord r{'O', index, rep, {}};
    if (point.ok) {
      const std::vector<double> adaptive = optimal_row(a, point, o, seed, o.malpha);
      const std::vector<double> ordinary = optimal_row(a, point, o, seed, kOrdinaryMAlpha);
      if (!adaptive.empty() && !ordinary.empty()) {
        r.values = adaptive;
        r.values.insert(r.values.end(), ordinary.begin(), ordinary.begin() + 3);
      }
    }
    out.push_back(r);
  }
  return out;
}

std::vector<RepRecord> model_records(const Model& m, size_t index, const Options& o) {
  std::vector<RepRecord> records;
  const auto start = std::chrono::steady_clock::now();
  double last_report = -10.0;
  for (int rep = 0; rep < o.reps; ++rep) {
    if (o.shards > 0 && rep % o.shards != o.shard - 1) continue;
    for (RepRecord& r : repetition_records(m, index, rep, o)) records.push_back(std::move(r));
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (elapsed - last_report >= 10.0) {
      last_report = elapsed;
      std::fprintf(stderr, "coverage: %s, repetition %d of %d, %s elapsed\n", m.name, rep + 1,
                   o.reps, clock_text(elapsed).c_str());
    }
  }
  return records;
}

void print_embedded(const Model& m, const std::vector<const RepRecord*>& records,
                    std::vector<double>* coverages) {
  const std::vector<double> truth = true_values(m);
  ValueTally t;
  int failed = 0;
  for (const RepRecord* r : records) {
    if (r->values.empty()) {
      ++failed;
      continue;
    }
    ValueRun v;
    for (int k = 0; k < kValueRows; ++k) {
      const double* row = r->values.data() + static_cast<ptrdiff_t>(3) * k;
      v.has[k] = row[0] != 0.0;
      v.low[k] = row[1];
      v.high[k] = row[2];
    }
    t.add(truth, v);
  }
  std::printf("  embedded regimes: %d repetitions, %d failed\n", t.runs, failed);
  std::printf("  %-26s %10s   %9s %7s %9s %10s\n", "embedded regime / difference", "truth",
              "coverage", "s.e.", "width", "intervals");
  for (int k = 0; k < kValueRows; ++k) {
    std::printf("  %-26s %10.4f   %9.3f %7.3f %9.3f %10d\n", value_row_name(k).c_str(), truth[k],
                t.coverage(k), t.standard_error(k),
                t.intervals[k] ? t.width[k] / t.intervals[k] : NAN, t.intervals[k]);
    coverages->push_back(t.coverage(k));
  }
}

// Coverage and width of one interval over the repetitions.
struct IntervalTally {
  int intervals = 0;
  int covered = 0;
  double width = 0.0;
  void add(double truth, double has, double low, double high) {
    if (has == 0.0) return;
    ++intervals;
    covered += low <= truth && truth <= high ? 1 : 0;
    width += high - low;
  }
  double coverage() const { return intervals ? static_cast<double>(covered) / intervals : NAN; }
  void print(const char* name) const {
    const double c = coverage();
    std::printf("  %-26s %9.3f %7.3f %9.3f %10d\n", name, c,
                intervals ? std::sqrt(c * (1 - c) / intervals) : NAN,
                intervals ? width / intervals : NAN, intervals);
  }
};

void print_optimal(const Model& m, const std::vector<const RepRecord*>& records,
                   std::vector<double>* coverages) {
  const double truth = true_optimal_value(m);
  IntervalTally adaptive, ordinary;
  int failed = 0, runs = 0;
  double m_sum = 0, p_sum = 0;
  std::vector<int> chosen(std::size(kMAlphaGridShown) + 1, 0);  // the last: none eligible
  for (const RepRecord* r : records) {
    if (r->values.empty()) {
      ++failed;
      continue;
    }
    const std::vector<double>& v = r->values;
    ++runs;
    adaptive.add(truth, v[0], v[1], v[2]);
    ordinary.add(truth, v[7], v[8], v[9]);
    if (v[0] != 0.0) m_sum += v[3];
    p_sum += v[4];
    size_t g = 0;
    while (g < std::size(kMAlphaGridShown) && kMAlphaGridShown[g] != v[5]) ++g;
    ++chosen[g];
  }
  std::printf("  estimated regime's value: V(d*) = %.4f; %d repetitions, %d failed\n", truth, runs,
              failed);
  std::printf("  %-26s %9s %7s %9s %10s\n", "interval", "coverage", "s.e.", "width", "intervals");
  adaptive.print("adaptive m-out-of-n");
  ordinary.print("ordinary (m = n1)");
  coverages->push_back(adaptive.coverage());
  std::printf("  mean m %.1f, mean pHat %.3f; alpha chosen:",
              adaptive.intervals ? m_sum / adaptive.intervals : NAN, runs ? p_sum / runs : NAN);
  for (size_t g = 0; g < std::size(kMAlphaGridShown); ++g) {
    std::printf(" %g: %d", kMAlphaGridShown[g], chosen[g]);
  }
  std::printf("; none eligible or other: %d\n", chosen.back());
}

// The options that make a run's records, so that --merge joins only records of one study.
std::string options_key(const Options& o) {
  char text[320];
  std::snprintf(text, sizeof text,
                "value=%d optimal=%d n=%d reps=%d seed=%llu nbootvalue=%d nboot2=%d "
                "nboottune=%d malpha=%a alpha=%a",
                o.value ? 1 : 0, o.optimal ? 1 : 0, o.n, o.reps,
                static_cast<unsigned long long>(o.seed), o.nbootvalue, o.nboot2, o.nboottune,
                o.malpha, o.alpha);
  std::string key = text;
  key += " models=";
  for (const std::string& name : o.models) key += name + ",";
  return key;
}

bool write_records(const Options& o, const std::vector<RepRecord>& records) {
  const std::vector<Model> every = all_models();
  FILE* f = std::fopen(o.out.c_str(), "w");
  if (f == nullptr) {
    std::fprintf(stderr, "talven_coverage: cannot write %s\n", o.out.c_str());
    return false;
  }
  std::fprintf(f, "talven_coverage records, shard %d/%d; %s\n", o.shard, o.shards,
               options_key(o).c_str());
  for (const RepRecord& r : records) {
    std::fprintf(f, "%c %s %d %zu", r.study, every[r.model].name, r.rep, r.values.size());
    for (double v : r.values) std::fprintf(f, " %a", v);
    std::fprintf(f, "\n");
  }
  const bool ok = std::ferror(f) == 0;
  return std::fclose(f) == 0 && ok;
}

// Appends the records of one shard file; false (with a message) when it is not one of this
// run's or cannot be read.
bool read_records(const std::string& path, const Options& o, std::vector<RepRecord>& records) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) {
    std::fprintf(stderr, "talven_coverage: cannot read %s\n", path.c_str());
    return false;
  }
  char line[512];
  const std::string key = options_key(o);
  bool ok = std::fgets(line, sizeof line, f) != nullptr &&
            std::string(line).find("; " + key + "\n") != std::string::npos;
  if (!ok)
    std::fprintf(stderr, "talven_coverage: %s is not a record file of these options\n",
                 path.c_str());
  const std::vector<Model> every = all_models();
  char study = 0;
  char name[64];
  int rep = 0;
  size_t count = 0;
  while (ok && std::fscanf(f, " %c %63s %d %zu", &study, name, &rep, &count) == 4) {
    RepRecord r{study, every.size(), rep, std::vector<double>(count)};
    for (size_t m = 0; m < every.size(); ++m) {
      if (std::strcmp(every[m].name, name) == 0) r.model = m;
    }
    for (double& v : r.values) ok = ok && std::fscanf(f, " %la", &v) == 1;
    ok = ok && r.model < every.size();
    if (!ok) std::fprintf(stderr, "talven_coverage: %s: a damaged record\n", path.c_str());
    records.push_back(std::move(r));
  }
  ok = ok && std::feof(f) != 0;
  std::fclose(f);
  return ok;
}

// The records of one model and study in repetition order; false when a repetition is missing
// or repeated.
bool ordered(const std::vector<RepRecord>& records, size_t model, char study, int reps,
             std::vector<const RepRecord*>& out) {
  out.assign(static_cast<size_t>(reps), nullptr);
  for (const RepRecord& r : records) {
    if (r.model != model || r.study != study) continue;
    if (r.rep < 0 || r.rep >= reps || out[static_cast<size_t>(r.rep)] != nullptr) return false;
    out[static_cast<size_t>(r.rep)] = &r;
  }
  return std::all_of(out.begin(), out.end(), [](const RepRecord* r) { return r != nullptr; });
}

bool print_value_studies(const std::vector<Model>& models, const std::vector<size_t>& indices,
                         const std::vector<RepRecord>& records, const Options& o) {
  std::vector<double> embedded, optimal;
  for (size_t i = 0; i < models.size(); ++i) {
    std::printf("\nModel %s (%s)\n", models[i].name, models[i].description);
    std::vector<const RepRecord*> mine;
    for (const char study : {'V', 'O'}) {
      if ((study == 'V' && !o.value) || (study == 'O' && !o.optimal)) continue;
      if (!ordered(records, indices[i], study, o.reps, mine)) {
        std::fprintf(stderr, "talven_coverage: the records of %s are incomplete\n", models[i].name);
        return false;
      }
      if (study == 'V') print_embedded(models[i], mine, &embedded);
      if (study == 'O') print_optimal(models[i], mine, &optimal);
    }
  }
  for (const auto& [name, figures] :
       {std::pair{"Embedded regimes", &embedded}, std::pair{"Estimated regime", &optimal}}) {
    if (figures->empty()) continue;
    double sum = 0.0;
    for (double c : *figures) sum += c;
    std::printf("\n%s: lowest coverage %.3f, mean %.3f over %zu figures\n", name,
                *std::min_element(figures->begin(), figures->end()),
                sum / static_cast<double>(figures->size()), figures->size());
  }
  return true;
}

std::vector<std::string> split_list(const std::string& list) {
  std::vector<std::string> items;
  for (size_t start = 0, end; start <= list.size(); start = end + 1) {
    end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    items.push_back(list.substr(start, end - start));
  }
  return items;
}

int stage1_study(const std::vector<Model>& models, const std::vector<size_t>& indices,
                 const Options& o) {
  std::printf(
      "Coverage of nominal %.0f%% intervals for the stage-1 coefficients: n = %d, %d "
      "repetitions (Monte Carlo s.e. of a coverage near %.2f: %.3f)\n",
      100 * (1 - o.alpha), o.n, o.reps, 1 - o.alpha, std::sqrt(o.alpha * (1 - o.alpha) / o.reps));
  std::printf(
      "adaptive: NBOOTSTRAP1=%d NBOOTSTRAP2=%d NGRID=%d GRID_SCALE=2.58; naive: "
      "percentile interval of %d bootstrap refits; seed %llu\n",
      o.nboot1, o.nboot2, o.ngrid, o.naive, static_cast<unsigned long long>(o.seed));
  double lowest = 1.0;
  int failed = 0;
  for (size_t i = 0; i < models.size(); ++i) failed += run_model(models[i], indices[i], o, &lowest);
  std::printf("\nLowest adaptive coverage: %.3f\n", lowest);
  return failed == 0 ? 0 : 1;
}

bool parse_study(const std::string& what, Options* o) {
  o->stage1 = what == "stage1" || what == "both";
  o->value = what == "value" || what == "both" || what == "values";
  o->optimal = what == "optimal" || what == "values";
  return o->stage1 || o->value || o->optimal;
}

// "I/N" with 1 <= I <= N.
bool parse_shard(const std::string& text, Options* o) {
  const size_t slash = text.find('/');
  if (slash == std::string::npos) return false;
  o->shard = std::atoi(text.substr(0, slash).c_str());
  o->shards = std::atoi(text.substr(slash + 1).c_str());
  return o->shards >= 1 && o->shard >= 1 && o->shard <= o->shards;
}

// One option and its value; false for an unknown option or an unreadable value.
bool read_option(const std::string& arg, const char* v, Options* o) {
  const std::pair<const char*, int*> counts[] = {{"--n", &o->n},
                                                 {"--reps", &o->reps},
                                                 {"--nboot1", &o->nboot1},
                                                 {"--nboot2", &o->nboot2},
                                                 {"--naive", &o->naive},
                                                 {"--ngrid", &o->ngrid},
                                                 {"--nbootvalue", &o->nbootvalue},
                                                 {"--nboottune", &o->nboottune}};
  for (const auto& [name, field] : counts) {
    if (arg == name) {
      *field = std::atoi(v);
      return true;
    }
  }
  const std::pair<const char*, double*> reals[] = {{"--alpha", &o->alpha},
                                                   {"--malpha", &o->malpha}};
  for (const auto& [name, field] : reals) {
    if (arg == name) {
      *field = std::atof(v);
      return true;
    }
  }
  if (arg == "--seed")
    o->seed = std::strtoull(v, nullptr, 10);
  else if (arg == "--check-truth")
    o->check_truth = std::atoll(v);
  else if (arg == "--models")
    o->models = split_list(v);
  else if (arg == "--out")
    o->out = v;
  else if (arg == "--study")
    return parse_study(v, o);
  else if (arg == "--shard")
    return parse_shard(v, o);
  else
    return false;
  return true;
}

bool usable(const Options& o) {
  // Shards write records, and only the value studies have them.
  const bool sharded = o.shards > 0 || !o.out.empty() || !o.merge.empty();
  if (sharded &&
      (o.stage1 || (o.shards > 0) != !o.out.empty() || (o.shards > 0 && !o.merge.empty()))) {
    return false;
  }
  return o.n > 0 && o.reps > 0 && o.nbootvalue >= 10 && o.nboottune >= 10 && o.malpha >= 0 &&
         o.nboot1 > 0 && o.nboot2 > 0 && o.naive >= 0 && o.ngrid >= 2 && o.alpha > 0 && o.alpha < 1;
}

bool parse(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return false;
    if (arg == "--merge") {  // the files to the end
      o->merge.assign(argv + i + 1, argv + argc);
      break;
    }
    if (!read_option(arg, argv[++i], o)) return false;
  }
  return usable(*o);
}

// The value studies: records computed here (or read from shard files), then the table; a shard
// writes its records instead.
int value_studies(const std::vector<Model>& models, const std::vector<size_t>& indices,
                  const Options& o) {
  std::vector<RepRecord> records;
  if (!o.merge.empty()) {
    for (const std::string& path : o.merge) {
      if (!read_records(path, o, records)) return 2;
    }
  } else {
    for (size_t i = 0; i < models.size(); ++i) {
      for (RepRecord& r : model_records(models[i], indices[i], o)) records.push_back(std::move(r));
    }
    if (!o.out.empty()) return write_records(o, records) ? 0 : 2;
  }
  std::printf(
      "Coverage of nominal %.0f%% value intervals: n = %d, %d repetitions, NBOOTVALUE=%d; "
      "seed %llu\n",
      100 * (1 - o.alpha), o.n, o.reps, o.nbootvalue, static_cast<unsigned long long>(o.seed));
  if (o.optimal) {
    std::printf("estimated regime: NBOOTSTRAP2=%d, %s\n", o.nboot2,
                o.malpha > 0 ? ("MALPHA=" + std::to_string(o.malpha)).c_str()
                             : ("MALPHA chosen, NBOOTTUNE=" + std::to_string(o.nboottune)).c_str());
  }
  return print_value_studies(models, indices, records, o) ? 0 : 1;
}

void select_models(const Options& o, std::vector<Model>& models, std::vector<size_t>& indices) {
  const std::vector<Model> every = all_models();
  for (size_t i = 0; i < every.size(); ++i) {
    const Model& m = every[i];
    // By default the estimated regime's value is studied in the models whose truth it has.
    const bool chosen = o.models.empty()
                            ? m.binary_o11 == o.optimal || o.check_truth > 0
                            : std::find(o.models.begin(), o.models.end(), m.name) != o.models.end();
    if (chosen) {
      models.push_back(m);
      indices.push_back(i);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, &o)) {
    std::fprintf(
        stderr,
        "usage: talven_coverage [--n N] [--reps R] [--models a,b,...] [--seed S] "
        "[--nboot1 B] [--nboot2 B] [--naive B] [--ngrid G] [--alpha A]\n"
        "                       [--study stage1|value|both|optimal|values] [--nbootvalue B]\n"
        "                       [--nboottune B] [--malpha A] [--shard I/N --out FILE]\n"
        "       talven_coverage [the shards' options] --merge FILE...\n"
        "       talven_coverage --check-truth SUBJECTS\n");
    return 2;
  }
  std::vector<Model> models;
  std::vector<size_t> indices;
  select_models(o, models, indices);
  if (models.empty() || (!o.models.empty() && models.size() != o.models.size())) {
    std::fprintf(stderr, "talven_coverage: unknown model; the models are:");
    for (const Model& m : all_models()) std::fprintf(stderr, " %s", m.name);
    std::fprintf(stderr, "\n");
    return 2;
  }
  if (o.check_truth > 0) {
    const bool stage1 = check_truth(models, o.check_truth, o.seed);
    const bool regimes = check_regime_values(models, o.check_truth, o.seed);
    return stage1 && regimes && check_optimal_values(models, o.check_truth, o.seed) ? 0 : 1;
  }
  int status = 0;
  if (o.stage1) {
    status = stage1_study(models, indices, o);
    if (!o.value && !o.optimal) return status;
  }
  const int value_status = value_studies(models, indices, o);
  return value_status != 0 ? value_status : status;
}
