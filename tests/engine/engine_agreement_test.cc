// The fast interval engine against the plain reference on many small random problems.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "engine/calculate_terms.h"
#include "engine/get_bounds.h"
#include "engine/uniform_generator.h"
#include "numerics/error_record.h"
#include "reference_engine.h"

namespace kestrion {
namespace {

using reference::Matrix;

constexpr double kTolerance = 1e-12;

bool close(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::fabs(a - b) <= kTolerance * std::max(1.0, std::fabs(b));
}

struct Draw {
  std::mt19937_64 engine;
  explicit Draw(uint64_t seed) : engine(seed) {}
  double uniform() { return static_cast<double>(engine() >> 11) * 0x1.0p-53; }
  double normal() {
    const double u = std::max(uniform(), 1e-300);
    return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * uniform());
  }
  int32_t below(int32_t n) { return static_cast<int32_t>(engine() % static_cast<uint64_t>(n)); }
  void fill(Matrix& m) {
    for (double& v : m.data) v = normal();
  }
  void fill(std::vector<double>& v) {
    for (double& x : v) x = normal();
  }
};

TEST(EngineAgreement, TermsOnRandomInputs) {
  Draw draw(20240611);
  int successes = 0, grid_cases = 0;
  for (int trial = 0; trial < 400; ++trial) {
    SCOPED_TRACE(trial);
    const int32_t n1 = 1 + draw.below(12), p1 = 1 + draw.below(4), K2 = 1 + draw.below(3);
    const int32_t p20 = draw.below(3), p21 = draw.below(3);
    const int32_t p2 = p20 + K2 * (p21 + 1), d2 = p2 - p20 - p21 - 1;
    int32_t nGrid = 1 + draw.below(4);
    while (grid_row_count(grid_point_count(nGrid, d2)) > 300) --nGrid;
    const int64_t rows = grid_row_count(grid_point_count(nGrid, d2));
    const int32_t n2_choices[] = {0, 1, 2, 3, 7, 40, 150};
    const int32_t n2 = n2_choices[draw.below(7)];

    std::vector<double> btY1(n1), beta1hat(p1), beta2hat(p2), btBeta2ndS(p2), btBeta1stS(p1);
    std::vector<int32_t> status(n1);
    for (int32_t& s : status) s = draw.below(3) == 0 ? 1 : 0;
    Matrix H20(n1, p20), H21(n1, p21), levels2(std::max(K2 - 1, 0), K2), A(n1, p1), sigma1n(p1, p1),
        root(d2, d2), sigma2n(d2, d2), gamma(rows, d2);
    for (auto* v : {&btY1, &beta1hat, &beta2hat, &btBeta2ndS, &btBeta1stS}) draw.fill(*v);
    for (auto* m : {&H20, &H21, &levels2, &A, &sigma1n, &root, &gamma}) draw.fill(*m);
    // Scale the covariance so that the statistics land on both sides of the threshold.
    const double scale = std::exp(6.0 * draw.uniform() - 3.0);
    for (int32_t i = 1; i <= d2; ++i) {
      for (int32_t j = 1; j <= d2; ++j) {
        double sum = 0.0;
        for (int32_t k = 1; k <= d2; ++k) sum += root(i, k) * root(j, k);
        sigma2n(i, j) = scale * sum;
      }
    }

    std::vector<double> fast1(p1, 0.0), slow1(p1, 0.0);
    Matrix fast2(p1, rows), slow2(p1, rows);
    ErrorRecord record;
    const int32_t fast = reference::fast_terms(
        n1, p1, n2, p20, p21, K2, nGrid, reference::cvview(btY1), H20.cview(), H21.cview(),
        levels2.cview(), reference::cvview(beta1hat), reference::cvview(beta2hat), A.cview(),
        reference::ciview(status), sigma1n.cview(), sigma2n.cview(), gamma.cview(),
        reference::cvview(btBeta1stS), reference::cvview(btBeta2ndS), reference::vview(fast1),
        fast2.view(), record);
    const int32_t slow = reference::calculate_terms(
        n1, p1, n2, p2, p20, p21, K2, nGrid, reference::cvview(btY1), H20.cview(), H21.cview(),
        levels2.cview(), reference::cvview(beta1hat), reference::cvview(beta2hat), A.cview(),
        reference::ciview(status), sigma1n.cview(), sigma2n.cview(), gamma.cview(),
        reference::cvview(btBeta2ndS), reference::vview(slow1), slow2.view());
    ASSERT_EQ(fast, slow);
    EXPECT_EQ(error_occurred(record), fast != 0);
    if (fast != 0) continue;
    ++successes;
    bool any_grid = false;
    for (int32_t r = 0; r < p1; ++r) EXPECT_TRUE(close(fast1[r], slow1[r])) << r;
    for (size_t e = 0; e < slow2.data.size(); ++e) {
      EXPECT_TRUE(close(fast2.data[e], slow2.data[e])) << e;
      any_grid = any_grid || slow2.data[e] != 0.0;
    }
    grid_cases += any_grid ? 1 : 0;
  }
  EXPECT_GT(successes, 150);
  EXPECT_GT(grid_cases, 50);
}

TEST(EngineAgreement, BoundsOnRandomInputs) {
  Draw draw(77);
  for (int trial = 0; trial < 100; ++trial) {
    const int32_t p1 = 1 + draw.below(5), nC = draw.below(3), d2 = 1 + draw.below(2),
                  nGrid = 2 + draw.below(3);
    const int64_t rows = grid_row_count(grid_point_count(nGrid, d2));
    std::vector<double> term1(p1);
    Matrix term2(p1, rows), contrasts(nC, p1), fast(p1 + nC, rows), slow(p1 + nC, rows);
    draw.fill(term1);
    draw.fill(term2);
    draw.fill(contrasts);
    ErrorRecord record;
    ASSERT_EQ(getBounds(reference::cvview(term1), term2.cview(), contrasts.cview(), nC, p1, d2,
                        nGrid, fast.view(), record),
              Status::kOk);
    reference::get_bounds(reference::cvview(term1), term2.cview(), contrasts.cview(), nC, p1, d2,
                          nGrid, slow.view());
    for (size_t e = 0; e < slow.data.size(); ++e) EXPECT_TRUE(close(fast.data[e], slow.data[e]));
  }
}

TEST(EngineAgreement, IntervalsOnRandomStudies) {
  int compared = 0, with_collinear = 0;
  for (int s = 0; s < 24; ++s) {
    SCOPED_TRACE(s);
    reference::StudyShape shape;
    shape.n1 = 25 + 5 * (s % 5);
    shape.p10 = 1 - s % 2 + (s % 3 == 1 ? 1 : 0);
    shape.p11 = s % 4 == 3 ? 0 : 1;
    shape.p20 = (s / 2) % 2;
    shape.p21 = s % 6 == 0 ? 2 : 1;
    shape.nC = s % 3;
    shape.stage2_marks = s % 4 != 0;
    shape.rare_binary_main1 = s % 3 == 1;
    shape.zero_one_levels = s % 5 == 2;
    reference::Study study;
    if (!reference::make_study(shape, 500 + s, study)) continue;
    reference::CiOptions options;
    options.nBootstrap1 = 20 + s;
    options.nBootstrap2 = 20;
    options.nGrid = 2 + s % 3;
    options.alpha = (s % 3 == 0) ? 0.05 : (s % 3 == 1 ? 0.1 : 0.2);

    set_analysis_seed(1000 + s);
    start_analysis_stream();
    const reference::CiResult fast = reference::run_fast_ci(study, options);
    start_analysis_stream();
    const reference::CiResult slow = reference::calculate_ci(study, options);
    ASSERT_EQ(fast.failed, slow.failed);
    ASSERT_EQ(fast.nCollinear, slow.nCollinear);
    if (fast.failed) continue;
    ++compared;
    with_collinear += fast.nCollinear > 0 ? 1 : 0;
    for (size_t k = 0; k < slow.upper.size(); ++k) {
      EXPECT_TRUE(close(fast.upper[k], slow.upper[k])) << k;
      EXPECT_TRUE(close(fast.lower[k], slow.lower[k])) << k;
      EXPECT_GE(fast.upper[k], fast.lower[k]) << k;
    }
  }
  set_analysis_seed(0);
  EXPECT_GE(compared, 18);
  EXPECT_GE(with_collinear, 3);
}

}  // namespace
}  // namespace kestrion
