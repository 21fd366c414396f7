// The estimated regime's value interval against a computation written apart from the engine
// (normal equations in long double) over the very resamples the engine drew, and its rules on
// hand-worked cases and bad inputs.
#include "engine/value_interval.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/regime_value.h"
#include "kestrion.h"
#include "numerics/regression.h"
#include "reference_engine.h"

namespace kestrion {
namespace {

using LD = long double;

TEST(ValueInterval, ResampleSizeAndItsFloor) {
  const struct {
    int32_t n1;
    double a, p_hat;
    int32_t floor, m;
  } cases[] = {
      {300, 1.0, 0.0, 24, 300},    // nothing non-regular: every subject
      {300, 1.0, 0.5, 24, 73},     // 300^0.75 = 72.08
      {300, 1.0, 1.0, 24, 24},     // 300^0.5 = 17.3, below the floor
      {300, 0.025, 1.0, 24, 262},  // 300^(1/1.025) = 261.6
      {50, 0.5, 0.2, 60, 50},      // the floor never exceeds n1
  };
  for (const auto& c : cases) {
    EXPECT_EQ(resample_size(c.n1, c.a, c.p_hat, c.floor), c.m) << c.n1 << " " << c.p_hat;
  }
  ModelShape shape;  // p1 = p2 = 2 with no covariates
  shape.p10 = shape.p20 = 1;
  shape.p11 = shape.p21 = 1;                          // p1 = p2 = 5
  EXPECT_EQ(smallest_resample(shape, 300, 150), 20);  // 2 * 5 * 300 / 150
  EXPECT_EQ(smallest_resample(shape, 300, 300), 10);  // 2 * p1
  EXPECT_EQ(smallest_resample(shape, 12, 3), 12);
}

TEST(ValueInterval, LimitsFromTheScaledOrderStatistics) {
  // q = 2 (v - 1) = -0.2, 0, 0.2, 0.4; ranks 1 and 3 at alpha 0.5; lower = 1 - 0.2 / 4.
  double lower = 0, upper = 0;
  int32_t kept = 0;
  ASSERT_TRUE(m_out_of_n_limits(1.0, {1.1, 0.9, NAN, 1.2, 1.0}, 4, 16, 0.5, &lower, &upper, &kept));
  EXPECT_EQ(kept, 4);
  EXPECT_NEAR(lower, 0.95, 1e-15);
  EXPECT_NEAR(upper, 1.05, 1e-15);
  EXPECT_FALSE(m_out_of_n_limits(1.0, {1.1, NAN, 0.9}, 4, 16, 0.5, &lower, &upper, &kept));
  EXPECT_EQ(kept, 2);
}

// ---- The reference: two-stage Q-learning by the normal equations in long double.

bool solve(std::vector<std::vector<LD>> g, std::vector<LD> r, std::vector<LD>& x) {
  const size_t n = r.size();
  LD largest = 0;
  for (size_t i = 0; i < n; ++i) largest = std::max(largest, std::fabs(g[i][i]));
  for (size_t c = 0; c < n; ++c) {
    size_t p = c;
    for (size_t i = c + 1; i < n; ++i) {
      if (std::fabs(g[i][c]) > std::fabs(g[p][c])) p = i;
    }
    std::swap(g[c], g[p]);
    std::swap(r[c], r[p]);
    if (!(std::fabs(g[c][c]) > 1e-9L * largest)) return false;
    for (size_t i = c + 1; i < n; ++i) {
      const LD f = g[i][c] / g[c][c];
      for (size_t j = c; j < n; ++j) g[i][j] -= f * g[c][j];
      r[i] -= f * r[c];
    }
  }
  x.assign(n, 0);
  for (size_t c = n; c-- > 0;) {
    LD v = r[c];
    for (size_t j = c + 1; j < n; ++j) v -= g[c][j] * x[j];
    x[c] = v / g[c][c];
  }
  return true;
}

bool least_squares(const std::vector<std::vector<LD>>& rows, const std::vector<LD>& y,
                   std::vector<LD>& beta) {
  if (rows.empty() || rows.size() < rows[0].size()) return false;
  const size_t p = rows[0].size();
  std::vector<std::vector<LD>> g(p, std::vector<LD>(p, 0));
  std::vector<LD> r(p, 0);
  for (size_t i = 0; i < rows.size(); ++i) {
    for (size_t a = 0; a < p; ++a) {
      r[a] += rows[i][a] * y[i];
      for (size_t b = 0; b < p; ++b) g[a][b] += rows[i][a] * rows[i][b];
    }
  }
  return solve(g, r, beta);
}

// One MAIN and one TAILOR per stage, treatments -1/1 (code 1, 2).
std::vector<LD> stage_row(LD main, LD tailor, LD treatment) {
  return {1, main, tailor, tailor * treatment, treatment};
}

struct Ref {
  const reference::Study& st;
  bool minimize;

  LD level(const reference::Matrix& levels, int32_t code) const { return levels(1, code); }
  LD q1(const std::vector<LD>& b, int32_t i, int32_t code) const {
    const std::vector<LD> x = stage_row(st.H10(i, 1), st.H11(i, 1), level(st.levels1, code));
    LD q = 0;
    for (size_t k = 0; k < x.size(); ++k) q += x[k] * b[k];
    return q;
  }
  LD q2(const std::vector<LD>& b, int32_t i, int32_t code) const {
    const std::vector<LD> x =
        stage_row(st.inputH20(i, 1), st.inputH21(i, 1), level(st.levels2, code));
    LD q = 0;
    for (size_t k = 0; k < x.size(); ++k) q += x[k] * b[k];
    return q;
  }
  LD best(LD a, LD b) const { return minimize ? std::min(a, b) : std::max(a, b); }

  bool fit2(const std::vector<int32_t>& sample, std::vector<LD>& b2) const {
    std::vector<std::vector<LD>> x;
    std::vector<LD> y;
    for (int32_t i : sample) {
      x.push_back(
          stage_row(st.inputH20(i, 1), st.inputH21(i, 1), level(st.levels2, st.inputA2[i - 1])));
      y.push_back(st.inputY2[i - 1]);
    }
    return least_squares(x, y, b2);
  }
  // The value of a refit on `rows`, its stage-1 and stage-2 coefficients.
  bool fit(const std::vector<int32_t>& rows, LD* value, std::vector<LD>& b1,
           std::vector<LD>& b2) const {
    std::vector<int32_t> sample;
    for (int32_t i : rows) {
      if (st.respStatus[i - 1] == 0) sample.push_back(i);
    }
    if (!fit2(sample, b2)) return false;
    std::vector<std::vector<LD>> x;
    std::vector<LD> y;
    for (int32_t i : rows) {
      x.push_back(stage_row(st.H10(i, 1), st.H11(i, 1), level(st.levels1, st.A1[i - 1])));
      y.push_back(st.respStatus[i - 1] == 0 ? best(q2(b2, i, 1), q2(b2, i, 2)) : st.Y1[i - 1]);
    }
    if (!least_squares(x, y, b1)) return false;
    LD total = 0;
    for (int32_t i : rows) total += best(q1(b1, i, 1), q1(b1, i, 2));
    *value = total / rows.size();
    return true;
  }
  // The share of non-regular subjects; thresholds ln(ln(n)) in single precision.
  LD share(const std::vector<int32_t>& rows, const std::vector<LD>& b1, const std::vector<LD>& b2,
           const std::vector<LD>& s1, const std::vector<LD>& s2) const {
    const auto n1 = static_cast<int32_t>(rows.size());
    const auto n2 = static_cast<int32_t>(std::count_if(
        rows.begin(), rows.end(), [&](int32_t i) { return st.respStatus[i - 1] == 0; }));
    const LD t1 = std::log(std::log(static_cast<float>(n1)));
    const LD t2 = n2 > 1 ? std::log(std::log(static_cast<float>(n2))) : 0.0f;
    int32_t count = 0;
    for (int32_t i : rows) {
      const LD x1 = st.H11(i, 1);
      const LD e1 = b1[3] * x1 + b1[4];
      const LD v1 = s1[0] * x1 * x1 + 2 * s1[1] * x1 + s1[3];
      bool non = !(n1 * e1 * e1 / v1 > t1);
      if (!non && st.respStatus[i - 1] == 0) {
        const LD x2 = st.inputH21(i, 1);
        const LD e2 = b2[3] * x2 + b2[4];
        const LD v2 = s2[0] * x2 * x2 + 2 * s2[1] * x2 + s2[3];
        non = !(n2 * e2 * e2 / v2 > t2);
      }
      count += non ? 1 : 0;
    }
    return static_cast<LD>(count) / n1;
  }
};

// n S / count of the (interaction, treatment) pairs, as a 2 x 2 column-major matrix.
std::vector<LD> covariance(const std::vector<std::pair<LD, LD>>& v, int32_t n) {
  LD m0 = 0, m1 = 0;
  for (const auto& [a, b] : v) {
    m0 += a;
    m1 += b;
  }
  m0 /= v.size();
  m1 /= v.size();
  LD s00 = 0, s01 = 0, s11 = 0;
  for (const auto& [a, b] : v) {
    s00 += (a - m0) * (a - m0);
    s01 += (a - m0) * (b - m1);
    s11 += (b - m1) * (b - m1);
  }
  const LD k = static_cast<LD>(n) / v.size();
  return {s00 * k, s01 * k, s01 * k, s11 * k};
}

struct Interval {
  bool ok = false;
  LD lower = 0, upper = 0;
  int32_t kept = 0;
};

Interval interval(LD vhat, const std::vector<LD>& values, int32_t m, int32_t n1, double alpha) {
  std::vector<LD> q;
  for (LD v : values) q.push_back(std::sqrt(static_cast<LD>(m)) * (v - vhat));
  std::sort(q.begin(), q.end());
  Interval r;
  r.kept = static_cast<int32_t>(q.size());
  if (r.kept < 3) return r;
  const auto lo = std::max<long>(1, static_cast<long>(std::floor(r.kept * alpha / 2)));
  const auto hi = std::min<long>(r.kept, static_cast<long>(std::ceil(r.kept * (1 - alpha / 2))));
  r.ok = true;
  r.lower = vhat - q[static_cast<size_t>(hi - 1)] / std::sqrt(static_cast<LD>(n1));
  r.upper = vhat - q[static_cast<size_t>(lo - 1)] / std::sqrt(static_cast<LD>(n1));
  return r;
}

struct Recorded {
  std::vector<std::vector<int32_t>> rows;
  std::vector<int32_t> from;  // the n of each
};

ResampleSource recording(int32_t seed, std::shared_ptr<Recorded> out) {
  const ResampleSource source = value_resamples(seed);
  return [source, out](int32_t n, int32_t size, int32_t* rows) {
    source(n, size, rows);
    out->rows.emplace_back(rows, rows + size);
    out->from.push_back(n);
  };
}

struct RefResult {
  LD p_hat = 0;
  int32_t m = 0;
  double m_alpha = 0;
  Interval limits;
};

// Reads the engine's resamples in their documented order and redoes every step.
class Replay {
 public:
  Replay(const Ref& ref, const Recorded& rec, const ValueOptions& o)
      : ref_(ref), rec_(rec), o_(o) {}

  RefResult run(LD vhat, const std::vector<LD>& b1hat, const std::vector<LD>& b2hat) {
    const reference::Study& st = ref_.st;
    std::vector<std::pair<LD, LD>> psi1, psi2;
    for (int32_t b = 0; b < o_.nBootValue; ++b) {
      LD v;
      std::vector<LD> b1, b2;
      if (ref_.fit(next(st.n1, st.n1), &v, b1, b2)) psi1.emplace_back(b1[3], b1[4]);
    }
    std::vector<int32_t> sample;
    for (int32_t i = 1; i <= st.n1; ++i) {
      if (st.respStatus[i - 1] == 0) sample.push_back(i);
    }
    for (int32_t b = 0; b < o_.nBootstrap2; ++b) {
      std::vector<int32_t> rows = next(st.n2, st.n2);
      for (int32_t& r : rows) r = sample[static_cast<size_t>(r - 1)];
      std::vector<LD> b2;
      if (ref_.fit2(rows, b2)) psi2.emplace_back(b2[3], b2[4]);
    }
    s1_ = covariance(psi1, st.n1);
    s2_ = covariance(psi2, st.n2);
    std::vector<int32_t> all(static_cast<size_t>(st.n1));
    for (int32_t i = 0; i < st.n1; ++i) all[i] = i + 1;
    RefResult r;
    r.p_hat = ref_.share(all, b1hat, b2hat, s1_, s2_);
    floor_ = std::min<int32_t>(
        st.n1, static_cast<int32_t>(std::ceil(std::max<LD>(2.0L * 5, 2.0L * 5 * st.n1 / st.n2))));
    r.m_alpha = o_.mAlpha > 0 ? o_.mAlpha : choose(vhat);
    r.m = size_for(r.m_alpha, r.p_hat);
    std::vector<LD> values;
    for (int32_t b = 0; b < o_.nBootValue; ++b) {
      LD v;
      std::vector<LD> b1, b2;
      if (ref_.fit(next(st.n1, r.m), &v, b1, b2)) values.push_back(v);
    }
    r.limits = interval(vhat, values, r.m, st.n1, o_.alpha);
    EXPECT_EQ(used_, rec_.rows.size());
    return r;
  }

 private:
  std::vector<int32_t> next(int32_t n, int32_t size) {
    EXPECT_LT(used_, rec_.rows.size());
    if (used_ >= rec_.rows.size()) return std::vector<int32_t>(static_cast<size_t>(size), 1);
    EXPECT_EQ(rec_.from[used_], n);
    EXPECT_EQ(static_cast<int32_t>(rec_.rows[used_].size()), size);
    return rec_.rows[used_++];
  }
  int32_t size_for(double a, LD p_hat) const {
    const LD m = std::ceil(std::pow(static_cast<LD>(ref_.st.n1), (1 + a * (1 - p_hat)) / (1 + a)));
    return static_cast<int32_t>(std::min<LD>(ref_.st.n1, std::max<LD>(m, floor_)));
  }
  double choose(LD vhat) {
    const double grid[] = {0.025, 0.05, 0.1, 0.25, 0.5, 1.0};
    int held[6] = {}, with[6] = {}, short_of[6] = {}, fitted = 0;
    const int32_t n1 = ref_.st.n1;
    for (int32_t b = 0; b < o_.nBootTune; ++b) {
      const std::vector<int32_t> first = next(n1, n1);
      LD v;
      std::vector<LD> b1, b2;
      if (!ref_.fit(first, &v, b1, b2)) continue;
      ++fitted;
      const LD p_hat = ref_.share(first, b1, b2, s1_, s2_);
      for (int g = 0; g < 6; ++g) {
        const int32_t m = size_for(grid[g], p_hat);
        std::vector<LD> values;
        for (int32_t t = 0; t < o_.nBootTune; ++t) {
          std::vector<int32_t> rows = next(n1, m);
          for (int32_t& r : rows) r = first[static_cast<size_t>(r - 1)];
          LD w;
          std::vector<LD> c1, c2;
          if (ref_.fit(rows, &w, c1, c2)) values.push_back(w);
        }
        const Interval i = interval(v, values, m, n1, o_.alpha);
        short_of[g] += i.ok ? 0 : 1;
        with[g] += i.ok ? 1 : 0;
        held[g] += i.ok && i.lower <= vhat && vhat <= i.upper ? 1 : 0;
      }
    }
    double fallback = NAN;
    for (int g = 0; g < 6; ++g) {
      if (short_of[g] > 0.1 * fitted) continue;
      if (with[g] > 0 && static_cast<double>(held[g]) / with[g] >= 1 - o_.alpha) return grid[g];
      fallback = grid[g];
    }
    return fallback;
  }

  const Ref& ref_;
  const Recorded& rec_;
  const ValueOptions& o_;
  size_t used_ = 0;
  std::vector<LD> s1_, s2_;
  int32_t floor_ = 0;
};

bool near(double a, LD b) {
  return std::fabs(a - static_cast<double>(b)) <= 1e-10 * std::max<double>(1.0, std::fabs(b));
}

TEST(ValueInterval, AgreesWithAnIndependentComputationOverTheSameResamples) {
  reference::StudyShape shape;
  shape.n1 = 80;
  reference::Study st;
  ASSERT_TRUE(reference::make_study(shape, 41, st));
  const struct {
    double m_alpha;
    bool minimize;
  } cases[] = {{0.5, false}, {0.5, true}, {0.0, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.m_alpha) + (c.minimize ? " minimize" : ""));
    const Ref ref{st, c.minimize};
    std::vector<int32_t> all(static_cast<size_t>(st.n1));
    for (int32_t i = 0; i < st.n1; ++i) all[i] = i + 1;
    LD vhat;
    std::vector<LD> b1, b2;
    ASSERT_TRUE(ref.fit(all, &vhat, b1, b2));
    std::vector<double> beta1(b1.begin(), b1.end()), beta2(b2.begin(), b2.end());

    ValueOptions o;
    o.nBootValue = 40;
    o.nBootstrap2 = 40;
    o.nBootTune = 10;
    o.mAlpha = c.m_alpha;
    o.minimize = c.minimize;
    o.alpha = 0.1;
    o.cores = 2;
    auto recorded = std::make_shared<Recorded>();
    ValueTable t;
    ErrorRecord record;
    ASSERT_EQ(value_table(reference::shape_of(st), reference::study_of(st),
                          {reference::cvview(beta1), reference::cvview(beta2)}, o,
                          recording(9, recorded), t, record),
              Status::kOk);
    Replay replay(ref, *recorded, o);
    const RefResult r = replay.run(vhat, b1, b2);
    EXPECT_TRUE(near(t.rows[0].estimate, vhat));
    EXPECT_EQ(t.pHat, static_cast<double>(r.p_hat));
    EXPECT_EQ(t.m, r.m);
    EXPECT_EQ(t.mAlpha, r.m_alpha);
    if (c.m_alpha > 0) {
      EXPECT_EQ(t.choice, KESTRION_MALPHA_GIVEN);
    } else {
      EXPECT_TRUE(t.choice == KESTRION_MALPHA_CHOSEN || t.choice == KESTRION_MALPHA_FALLBACK);
    }
    ASSERT_TRUE(r.limits.ok);
    EXPECT_EQ(t.rows[0].kept, r.limits.kept);
    EXPECT_TRUE(near(t.rows[0].lower, r.limits.lower)) << t.rows[0].lower;
    EXPECT_TRUE(near(t.rows[0].upper, r.limits.upper)) << t.rows[0].upper;
    EXPECT_LT(t.rows[0].lower, t.rows[0].upper);
  }
}

// The refitter with every solve left to the QR: without preconditioners the normal equations
// decline them all.
RefitDesign qr_only(const RefitDesign& design) {
  RefitDesign d = design;
  d.stage1.preconditioner = Preconditioner{};
  d.stage2.preconditioner = Preconditioner{};
  return d;
}

// Both solvers over resamples with repeats, ordinary and m out of n, against the long double
// refit; the normal equations keep every solve of these well-conditioned studies, also with a
// MAIN far from zero (an age), whose columns nearly repeat the intercept.
TEST(ValueRefit, BothSolversAgreeWithTheLongDoubleRefitOnResamplesWithRepeats) {
  const struct {
    const char* what;
    double centre, spread;  // of MAIN1 and MAIN2
    int32_t m;
    bool minimize;
  } cases[] = {
      {"standard covariates", 0.0, 1.0, 80, false},
      {"an age as MAIN1 and MAIN2", 45.0, 12.0, 80, false},
      {"m out of n, minimize", 45.0, 12.0, 30, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    reference::StudyShape shape;
    shape.n1 = 80;
    reference::Study st;
    ASSERT_TRUE(reference::make_study(shape, 41, st));
    for (int32_t i = 1; i <= st.n1; ++i) {
      st.H10(i, 1) = c.centre + c.spread * st.H10(i, 1);
      st.inputH20(i, 1) = c.centre + c.spread * st.inputH20(i, 1);
    }
    const RefitDesign fast(reference::shape_of(st), reference::study_of(st));
    const RefitDesign slow = qr_only(fast);
    Refitter a, b;
    a.reserve(fast, c.m);
    b.reserve(slow, c.m);
    const Ref ref{st, c.minimize};
    const ResampleSource draw = value_resamples(3);
    int32_t fitted = 0;
    for (int32_t r = 0; r < 20; ++r) {
      std::vector<int32_t> rows(static_cast<size_t>(c.m));
      draw(st.n1, c.m, rows.data());
      LD v = 0;
      std::vector<LD> b1, b2;
      const bool ok = ref.fit(rows, &v, b1, b2);
      ASSERT_EQ(a.fit(fast, rows.data(), c.m, c.minimize), ok) << r;
      ASSERT_EQ(b.fit(slow, rows.data(), c.m, c.minimize), ok) << r;
      if (!ok) continue;
      ++fitted;
      for (const Refitter* f : {&a, &b}) {
        EXPECT_TRUE(near(f->value, v)) << r << ": " << f->value;
        for (size_t k = 0; k < b1.size(); ++k)
          EXPECT_TRUE(near(f->beta1[k], b1[k])) << r << " " << k;
        for (size_t k = 0; k < b2.size(); ++k)
          EXPECT_TRUE(near(f->beta2[k], b2[k])) << r << " " << k;
      }
    }
    EXPECT_GE(fitted, 15);
    EXPECT_EQ(a.qr_solves, 0);
    EXPECT_GE(b.qr_solves, 2 * fitted);
  }
}

// Resamples the rank rule refuses at a stage: the normal equations leave them to the QR, and
// both solvers refuse them, as the SVD refuses that stage's design with its repeated rows.
TEST(ValueRefit, RefusesTheResamplesTheSvdRefuses) {
  reference::StudyShape shape;
  shape.n1 = 80;
  reference::Study st;
  ASSERT_TRUE(reference::make_study(shape, 41, st));
  std::vector<int32_t> arm1, outside, stage2, stage2_arm1;
  for (int32_t i = 1; i <= st.n1; ++i) {
    if (st.A1[i - 1] == 1) arm1.push_back(i);
    if (st.respStatus[i - 1] != 0) {
      outside.push_back(i);
      continue;
    }
    stage2.push_back(i);
    if (st.inputA2[i - 1] == 1) stage2_arm1.push_back(i);
  }
  auto join = [](std::vector<int32_t> a, const std::vector<int32_t>& b, int32_t times) {
    for (int32_t t = 0; t < times; ++t) a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::vector<int32_t> four(stage2.begin(), stage2.begin() + 4);
  const struct {
    const char* what;
    std::vector<int32_t> rows;
    int32_t stage;     // the stage whose design is refused
    int32_t declined;  // solves the normal equations left to the QR
  } cases[] = {
      {"one stage-1 treatment", join({}, arm1, 2), 1, 1},
      {"one stage-2 treatment", join(outside, stage2_arm1, 2), 2, 1},
      {"four subjects in the stage-2 sample", join(outside, four, 3), 2, 1},
      // Fewer rows than coefficients: refused before any solve.
      {"nobody in the stage-2 sample", join({}, outside, 2), 2, 0},
  };
  const RefitDesign fast(reference::shape_of(st), reference::study_of(st));
  const RefitDesign slow = qr_only(fast);
  const Ref ref{st, false};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto m = static_cast<int32_t>(c.rows.size());
    Refitter a, b;
    a.reserve(fast, m);
    b.reserve(slow, m);
    EXPECT_FALSE(a.fit(fast, c.rows.data(), m, false));
    EXPECT_FALSE(b.fit(slow, c.rows.data(), m, false));
    EXPECT_EQ(a.qr_solves, c.declined);
    LD v = 0;
    std::vector<LD> b1, b2;
    EXPECT_FALSE(ref.fit(c.rows, &v, b1, b2));
    // The refused stage's design and outcome, its rows repeated as the resample repeats them.
    std::vector<std::vector<LD>> x;
    for (int32_t i : c.rows) {
      if (c.stage == 1) {
        x.push_back(stage_row(st.H10(i, 1), st.H11(i, 1), st.levels1(1, st.A1[i - 1])));
      } else if (st.respStatus[i - 1] == 0) {
        x.push_back(
            stage_row(st.inputH20(i, 1), st.inputH21(i, 1), st.levels2(1, st.inputA2[i - 1])));
      }
    }
    const auto rows = static_cast<int32_t>(x.size());
    if (rows < 5) continue;
    std::vector<double> design(static_cast<size_t>(rows) * 5), y(static_cast<size_t>(rows), 1.0),
        beta(5);
    for (int32_t r = 0; r < rows; ++r) {
      for (int32_t k = 0; k < 5; ++k) {
        design[static_cast<size_t>(r) + static_cast<size_t>(k) * rows] =
            static_cast<double>(x[static_cast<size_t>(r)][static_cast<size_t>(k)]);
      }
    }
    ErrorRecord record;
    const int32_t svd =
        svdr_l2(make_view(design.data(), rows, 5), rows, 5, make_view(y.data(), rows),
                kRankTolerance, make_view(beta.data(), 5), record);
    EXPECT_TRUE(svd != 0 || error_occurred(record));
    clear_errors(record);
    ASSERT_EQ(nullify_data(record), 0);
  }
}

// The exported call with one thing wrong at a time.
struct Call {
  explicit Call(reference::Study study) : st(std::move(study)) {}
  reference::Study st;
  KestrionValueOptions o{0.05, 30, 5, 1, 0, 0.5, 10, 30, 0};
  std::vector<double> estimate, lower, upper;
  std::vector<int32_t> followers, kept, status;
  double m = 0, p_hat = 0, m_alpha = 0;
  int32_t choice = -1;
  uint8_t flag = 0;
  std::string message;

  void run() {
    const auto rows = static_cast<size_t>(KESTRION_VALUE_ROWS(st.K1, st.K2));
    for (auto* v : {&estimate, &lower, &upper}) v->assign(rows, 0.0);
    for (auto* v : {&followers, &kept, &status}) v->assign(rows, 0);
    const KestrionValueData d{st.n1,
                              st.n2,
                              st.Y1.data(),
                              st.inputY2.data(),
                              st.respStatus.data(),
                              st.A1.data(),
                              st.inputA2.data(),
                              st.H10.data.data(),
                              st.p10,
                              st.H11.data.data(),
                              st.p11,
                              st.inputH20.data.data(),
                              st.p20,
                              st.inputH21.data.data(),
                              st.p21,
                              st.levels1.data.data(),
                              st.K1,
                              st.levels2.data.data(),
                              st.K2,
                              st.beta1hat.data(),
                              st.beta2hat.data()};
    const KestrionValueTable t{estimate.data(), lower.data(),  upper.data(), followers.data(),
                               kept.data(),     status.data(), &m,           &p_hat,
                               &m_alpha,        &choice};
    std::vector<int32_t> text(600);
    valuekestrion(&d, &o, &t, &flag, 600, text.data());
    message.clear();
    for (int32_t ch : text) {
      if (ch == 0) break;
      message += static_cast<char>(ch);
    }
  }
};

TEST(ValueInterval, RefusesBadTuningOptionsAndStopsWithoutUsableRefits) {
  reference::StudyShape shape;
  shape.n1 = 60;
  reference::Study good;
  ASSERT_TRUE(reference::make_study(shape, 8, good));
  const struct {
    const char* expected;
    void (*spoil)(Call&);
  } cases[] = {
      {"MALPHA must be positive.", [](Call& c) { c.o.mAlpha = -0.5; }},
      {"MALPHA must be positive.", [](Call& c) { c.o.mAlpha = NAN; }},
      {"NBOOTTUNE must be at least 10.", [](Call& c) { c.o.nBootTune = 9; }},
      {"NBOOTSTRAP2 must be positive.", [](Call& c) { c.o.nBootstrap2 = 0; }},
      // Five subjects in the stage-2 sample for five stage-2 coefficients: resamples of them
      // repeat subjects and cannot be fitted.
      {"Too many value bootstrap loops have collinearity.",
       [](Call& c) {
         int32_t kept = 0;
         for (int32_t i = 0; i < c.st.n1; ++i) {
           if (c.st.respStatus[i] != 0) continue;
           if (++kept > 5) c.st.respStatus[i] = 1;
         }
         c.st.n2 = 5;
       }},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.expected);
    Call c(good);
    k.spoil(c);
    c.run();
    EXPECT_EQ(c.flag, 255);
    EXPECT_NE(c.message.find(k.expected), std::string::npos) << c.message;
  }
  Call fine(good);
  fine.run();
  ASSERT_EQ(fine.flag, 0) << fine.message;
  EXPECT_EQ(fine.status[0], KESTRION_VALUE_OK);
  EXPECT_EQ(fine.choice, KESTRION_MALPHA_GIVEN);
  EXPECT_EQ(fine.m_alpha, 0.5);
  EXPECT_GE(fine.m, 20);
  EXPECT_LE(fine.m, 60);
}

TEST(ValueInterval, ThreeTreatmentsAtAStageGiveThePointAlone) {
  reference::StudyShape shape;
  shape.n1 = 60;
  reference::Study st;
  ASSERT_TRUE(reference::make_study(shape, 8, st));
  // A third stage-1 treatment: codes 1..3, two treatment columns.
  st.K1 = 3;
  for (int32_t i = 0; i < st.n1; i += 3) st.A1[i] = 3;
  reference::Matrix levels(2, 3);
  levels(1, 1) = 1;
  levels(2, 2) = 1;
  st.levels1 = levels;
  st.beta1hat.assign(static_cast<size_t>(st.p10 + 3 * (st.p11 + 1)), 0.1);
  Call c(st);
  c.run();
  ASSERT_EQ(c.flag, 0) << c.message;
  EXPECT_EQ(c.status[0], KESTRION_VALUE_NO_INTERVAL);
  EXPECT_EQ(c.choice, KESTRION_MALPHA_TREATMENTS);
  EXPECT_TRUE(std::isnan(c.lower[0]) && std::isnan(c.m));
  EXPECT_FALSE(std::isnan(c.estimate[0]));
  EXPECT_EQ(c.estimate.size(), static_cast<size_t>(1 + 6 + 15));
}

}  // namespace
}  // namespace kestrion

namespace kestrion {
namespace {

void note_progress(int32_t done, int32_t total, void* context) {
  static_cast<std::vector<std::pair<int32_t, int32_t>>*>(context)->emplace_back(done, total);
}

// Every phase reports, the count never goes back and it ends at the total of all phases: the
// ordinary resamples, the covariance phase, the double bootstrap and the resamples of m.
TEST(ValueInterval, ReportsProgressOverEveryPhase) {
  reference::StudyShape shape;
  shape.n1 = 60;
  reference::Study st;
  ASSERT_TRUE(reference::make_study(shape, 8, st));
  Call c(st);
  c.o.mAlpha = 0.0;
  c.o.nBootValue = 20;
  c.o.nBootstrap2 = 15;
  c.o.nBootTune = 10;
  std::vector<std::pair<int32_t, int32_t>> reports;
  progresskestrion(&note_progress, &reports);
  c.run();
  progresskestrion(nullptr, nullptr);
  ASSERT_EQ(c.flag, 0) << c.message;
  ASSERT_FALSE(reports.empty());
  const int32_t total = 20 + 15 + 20 + 10 * (1 + 6 * 10);
  for (size_t k = 0; k < reports.size(); ++k) {
    EXPECT_EQ(reports[k].second, total);
    if (k > 0) {
      EXPECT_GE(reports[k].first, reports[k - 1].first);
    }
  }
  EXPECT_EQ(reports.back().first, total);
}

}  // namespace
}  // namespace kestrion
