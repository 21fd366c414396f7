#include "engine/bootstrap.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/uniform_generator.h"
#include "numerics/dynamic_allocation.h"

namespace kestrion {
namespace {

// Row numbers from the definition: k = ceil(u * n) with u from the generator's own recurrence.
std::vector<int32_t> expected_rows(int32_t n, int64_t s1, int64_t s2) {
  std::vector<int32_t> rows;
  for (int32_t i = 0; i < n; ++i) {
    s1 = (40014 * s1) % 2147483563;
    s2 = (40692 * s2) % 2147483399;
    int64_t z = s1 - s2;
    if (z < 1) z += 2147483562;
    rows.push_back(static_cast<int32_t>(std::ceil(static_cast<double>(z) * 4.656613057e-10 * n)));
  }
  return rows;
}

// Nine per-subject arrays whose values name their subject and column, so that any mixing of
// subjects shows.
struct Subjects {
  int32_t n, p10, p11, p20, p21;
  std::vector<double> Y1, H10, H11, inputY2, inputH20, inputH21;
  std::vector<int32_t> A1, respStatus, inputA2;

  Subjects(int32_t n_, int32_t p10_, int32_t p11_, int32_t p20_, int32_t p21_)
      : n(n_), p10(p10_), p11(p11_), p20(p20_), p21(p21_) {
    auto matrix = [this](int32_t p, double tag) {
      std::vector<double> m(static_cast<size_t>(n) * p);
      for (int32_t j = 0; j < p; ++j)
        for (int32_t i = 0; i < n; ++i)
          m[i + j * static_cast<size_t>(n)] = tag + 1000 * (i + 1) + j;
      return m;
    };
    for (int32_t i = 1; i <= n; ++i) {
      Y1.push_back(i + 0.5);
      inputY2.push_back(-i);
      A1.push_back(i);
      respStatus.push_back(i % 2);
      inputA2.push_back(10 * i);
    }
    H10 = matrix(p10, 0.1);
    H11 = matrix(p11, 0.2);
    inputH20 = matrix(p20, 0.3);
    inputH21 = matrix(p21, 0.4);
  }

  ModelShape shape() const { return {p10, p11, p20, p21, 2, 2}; }
  SubjectArraysOut views() {
    return {make_view(Y1.data(), n),           make_view(inputY2.data(), n),
            make_view(respStatus.data(), n),   make_view(A1.data(), n),
            make_view(inputA2.data(), n),      make_view(H10.data(), n, p10),
            make_view(H11.data(), n, p11),     make_view(inputH20.data(), n, p20),
            make_view(inputH21.data(), n, p21)};
  }
};

class BootstrapTest : public ::testing::Test {
 protected:
  void TearDown() override {
    set_clock_for_testing({});
    set_analysis_seed(0);
    resampling_generator().set_seed(1, 1);
  }
};

TEST_F(BootstrapTest, FullFormMovesWholeSubjectsWithTheDefinedRowNumbers) {
  const struct {
    int32_t n, p10, p11, p20, p21;
  } shapes[] = {{1, 1, 1, 1, 1}, {7, 2, 1, 0, 3}, {250, 0, 0, 0, 0}, {1000, 3, 2, 2, 1}};
  for (const auto& shape : shapes) {
    Subjects in(shape.n, shape.p10, shape.p11, shape.p20, shape.p21);
    Subjects out(shape.n, shape.p10, shape.p11, shape.p20, shape.p21);
    const int32_t n = shape.n;
    set_clock_for_testing([] { return 31337; });
    resampling_generator().set_seed(1, 271828);
    ErrorRecord record;
    const Status result = bootstrap(n, in.shape(), in.views(), out.views(), record);
    ASSERT_EQ(result, Status::kOk);
    EXPECT_FALSE(error_occurred(record));

    const std::vector<int32_t> rows = expected_rows(n, 31337, 271828);
    for (int32_t i = 0; i < n; ++i) {
      const int32_t k = rows[i];
      ASSERT_GE(k, 1);
      ASSERT_LE(k, n);
      const size_t from = k - 1;
      EXPECT_EQ(out.A1[i], in.A1[from]) << "n " << n << " row " << i + 1;
      EXPECT_EQ(out.Y1[i], in.Y1[from]);
      EXPECT_EQ(out.inputY2[i], in.inputY2[from]);
      EXPECT_EQ(out.respStatus[i], in.respStatus[from]);
      EXPECT_EQ(out.inputA2[i], in.inputA2[from]);
      auto same_row = [&](const std::vector<double>& a, const std::vector<double>& b, int32_t p) {
        for (int32_t j = 0; j < p; ++j) EXPECT_EQ(a[i + j * size_t(n)], b[from + j * size_t(n)]);
      };
      same_row(out.H10, in.H10, in.p10);
      same_row(out.H11, in.H11, in.p11);
      same_row(out.inputH20, in.inputH20, in.p20);
      same_row(out.inputH21, in.inputH21, in.p21);
    }
    // Exactly n draws were taken.
    int64_t s1 = 31337, s2 = 271828;
    for (int32_t i = 0; i < n; ++i) {
      s1 = (40014 * s1) % 2147483563;
      s2 = (40692 * s2) % 2147483399;
    }
    EXPECT_EQ(resampling_generator().s1(), s1);
    EXPECT_EQ(resampling_generator().s2(), s2);
  }
}

TEST_F(BootstrapTest, ShortFormCopiesVectorAndMatrixRows) {
  const struct { int32_t n, p; } shapes[] = {{1, 3}, {5, 0}, {60, 4}};
  for (const auto& shape : shapes) {
    const int32_t n = shape.n, p = shape.p;
    std::vector<double> matrix(static_cast<size_t>(n) * p), vector(n);
    for (int32_t i = 0; i < n; ++i) {
      vector[i] = i + 1;
      for (int32_t j = 0; j < p; ++j) matrix[i + j * size_t(n)] = 100.0 * (i + 1) + j;
    }
    std::vector<double> matrix_out(matrix.size(), -1.0), vector_out(n, -1.0);
    set_analysis_seed(99);
    start_analysis_stream();
    ErrorRecord record;
    ASSERT_EQ(
        bootstrap(n, p, make_view<const double>(matrix.data(), n, p),
                  make_view<const double>(vector.data(), n), make_view(matrix_out.data(), n, p),
                  make_view(vector_out.data(), n), record),
        Status::kOk);
    const std::vector<int32_t> rows = expected_rows(n, 99, 99);
    for (int32_t i = 0; i < n; ++i) {
      EXPECT_EQ(vector_out[i], rows[i]);
      for (int32_t j = 0; j < p; ++j) EXPECT_EQ(matrix_out[i + j * size_t(n)], 100.0 * rows[i] + j);
    }
  }
}

TEST_F(BootstrapTest, NoRowsStillSeedsTheGenerator) {
  resampling_generator().set_seed(3, 8);
  set_clock_for_testing([] { return 5150; });
  ErrorRecord record;
  EXPECT_EQ(bootstrap(0, 2, ConstDblMat(), ConstDblVec(), DblMat(), DblVec(), record), Status::kOk);
  EXPECT_FALSE(error_occurred(record));
  EXPECT_EQ(resampling_generator().s1(), 5150);
  EXPECT_EQ(resampling_generator().s2(), 8);
}

#ifdef KESTRION_FAULT_INJECTION
TEST_F(BootstrapTest, IndexAllocationFailureWritesNothing) {
  const int32_t n = 4;
  std::vector<double> vector{1, 2, 3, 4}, out(n, -9.0);
  ErrorRecord record;
  fault::fail_nth_allocation(1);
  EXPECT_EQ(bootstrap(n, 0, ConstDblMat(), make_view<const double>(vector.data(), n), DblMat(),
                      make_view(out.data(), n), record),
            Status::kFailed);
  fault::fail_nth_allocation(0);
  EXPECT_EQ(out, std::vector<double>(n, -9.0));
  std::vector<std::string> lines;
  for (const ErrorLine* line = record.first_line; line; line = line->next) {
    std::string text(line->text, kErrorLineLength);
    lines.push_back(text.substr(0, text.find_last_not_of(' ') + 1));
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"Unable to allocate memory for object",
                                             "bootstrap: outputIndex",
                                             "OCCURRED IN: int1_alloc in MOD dynamic_allocation"}));
}
#endif

}  // namespace
}  // namespace kestrion
