#include "engine/get_bounds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "numerics/dynamic_allocation.h"
#include "numerics/error_record.h"
#include "reference_engine.h"
#include "tests/support/record_lines.h"

namespace kestrion {
namespace {

using reference::Matrix;

constexpr double kSentinel = 3.25e99;
constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

struct BoundsRun {
  Status result = Status::kOk;
  Matrix values;
  std::vector<std::string> lines;
};

BoundsRun run(const std::vector<double>& term1, const Matrix& term2, const Matrix& contrasts,
              int32_t d2, int32_t nGrid, int64_t value_columns) {
  BoundsRun out;
  const auto p1 = static_cast<int32_t>(term1.size());
  const auto nC = static_cast<int32_t>(contrasts.rows);
  out.values = Matrix(p1 + nC, value_columns, kSentinel);
  ErrorRecord record;
  out.result = getBounds(reference::cvview(term1), term2.cview(), contrasts.cview(), nC, p1, d2,
                         nGrid, out.values.view(), record);
  out.lines = testing_support::record_lines(record);
  return out;
}

TEST(GetBounds, WorkedExampleWithOneContrast) {
  Matrix term2(1, 3);
  term2.data = {1.5, -1.5, -0.5};
  const BoundsRun out = run({1.4}, term2, Matrix(1, 1, 2.0), 1, 2, 3);
  ASSERT_EQ(out.result, Status::kOk);
  const double expected[2][3] = {{2.9, -0.1, 0.9}, {5.8, -0.2, 1.8}};
  for (int i = 1; i <= 2; ++i) {
    for (int g = 1; g <= 3; ++g) {
      const double want = expected[i - 1][g - 1];
      EXPECT_NEAR(out.values(i, g), want, 4 * kEpsilon * std::max(1.0, std::fabs(want)))
          << i << "," << g;
    }
  }
}

// Identity rows and unit-vector contrasts reproduce term1(i) + term2(i, g) exactly.
TEST(GetBounds, UnitRowsReproduceTheTermsExactly) {
  const std::vector<double> term1 = {0.3, -1.7, 2.25};
  Matrix term2(3, 5);
  for (size_t e = 0; e < term2.data.size(); ++e) term2.data[e] = std::sin(1.0 + 0.7 * e);
  Matrix contrasts(3, 3);
  contrasts(1, 2) = 1.0;  // selects coefficient 2
  contrasts(2, 3) = 1.0;
  contrasts(3, 1) = 1.0;
  const BoundsRun out = run(term1, term2, contrasts, 2, 2, 5);
  ASSERT_EQ(out.result, Status::kOk);
  const int selected[3] = {2, 3, 1};
  for (int g = 1; g <= 5; ++g) {
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(out.values(i, g), term1[i - 1] + term2(i, g));
    for (int c = 1; c <= 3; ++c) EXPECT_EQ(out.values(3 + c, g), out.values(selected[c - 1], g));
  }
}

TEST(GetBounds, WritesExactlyTheGridColumns) {
  const struct {
    int32_t nGrid, d2;
    int64_t written;
  } cases[] = {{10, 2, 101}, {3, 0, 2}, {46341, 2, 0}, {2, 31, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.nGrid);
    const int64_t columns = c.written + 3;
    const BoundsRun out =
        run({1.0, 2.0}, Matrix(2, columns, 0.5), Matrix(0, 2), c.d2, c.nGrid, columns);
    EXPECT_EQ(out.result, Status::kOk);
    EXPECT_TRUE(out.lines.empty());
    for (int64_t g = 1; g <= columns; ++g) {
      EXPECT_EQ(out.values(1, g) != kSentinel, g <= c.written) << g;
    }
  }
}

// The driver hands a strided section of its per-replicate store; nothing outside it changes.
TEST(GetBounds, WritesOnlyTheSectionItIsGiven) {
  std::vector<double> store(4 * 2 * 3, kSentinel);  // 4 slots, 2 targets, 3 grid rows
  const DblMat section(store.data() + 1, {1, 1}, {2, 3}, {4, 8});
  const std::vector<double> term1 = {0.5};
  const Matrix term2(1, 3, 1.0);
  const Matrix contrast(1, 1, -1.0);
  ErrorRecord record;
  ASSERT_EQ(getBounds(reference::cvview(term1), term2.cview(), contrast.cview(), 1, 1, 1, 2,
                      section, record),
            Status::kOk);
  for (size_t e = 0; e < store.size(); ++e) EXPECT_EQ(store[e] != kSentinel, e % 4 == 1) << e;
}

#ifdef KESTRION_FAULT_INJECTION
TEST(GetBounds, AllocationFailureLeavesValuesUntouched) {
  fault::fail_nth_allocation(1);
  const BoundsRun out = run({1.0}, Matrix(1, 3, 1.0), Matrix(0, 1), 1, 2, 3);
  fault::fail_nth_allocation(0);
  EXPECT_EQ(out.result, Status::kFailed);
  const std::vector<std::string> expected = {"Unable to allocate memory for object",
                                             "getBounds: contrasts",
                                             "OCCURRED IN: dbl2_alloc in MOD dynamic_allocation"};
  EXPECT_EQ(out.lines, expected);
  for (double v : out.values.data) EXPECT_EQ(v, kSentinel);
}
#endif

}  // namespace
}  // namespace kestrion
