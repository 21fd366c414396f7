#include "reference_engine.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "engine/bootstrap.h"
#include "engine/calculate_ci.h"
#include "engine/fit_two_stage.h"
#include "numerics/error_record.h"
#include "numerics/regression.h"
#include "tests/support/record_lines.h"

namespace kestrion::reference {

namespace {

int32_t wrapped_power(int32_t base, int32_t exponent) {
  uint32_t result = 1;
  for (int32_t e = 0; e < exponent; ++e) result *= static_cast<uint32_t>(base);
  return static_cast<int32_t>(result);
}

int64_t rows_of(int32_t G) {
  const auto rows = static_cast<int32_t>(static_cast<uint32_t>(G) + 1u);
  return rows > 0 ? rows : 0;
}

// Uniform and normal draws that do not depend on the standard library's distributions.
struct Draws {
  std::mt19937_64 engine;
  explicit Draws(uint64_t seed) : engine(seed) {}
  double uniform() { return static_cast<double>(engine() >> 11) * 0x1.0p-53; }
  double normal() {
    double u = uniform();
    while (u <= 0.0) u = uniform();
    return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * uniform());
  }
  int32_t below(int32_t n) { return static_cast<int32_t>(engine() % static_cast<uint64_t>(n)); }
};

}  // namespace

ModelShape shape_of(const Study& st) {
  return {st.p10, st.p11, st.p20, st.p21, st.K1, st.K2};
}

StudyArrays study_of(const Study& st) {
  const SubjectArrays subjects{cvview(st.Y1),  cvview(st.inputY2),  ciview(st.respStatus),
                               ciview(st.A1),  ciview(st.inputA2),  st.H10.cview(),
                               st.H11.cview(), st.inputH20.cview(), st.inputH21.cview()};
  return {st.n1, st.n2, subjects, st.levels1.cview(), st.levels2.cview()};
}

int32_t calculate_terms(int32_t n1, int32_t p1, int32_t n2, int32_t p2, int32_t p20, int32_t p21,
                        int32_t K2, int32_t nGrid, ConstDblVec btY1, ConstDblMat btInputH20,
                        ConstDblMat btInputH21, ConstDblMat levels2, ConstDblVec beta1hat,
                        ConstDblVec beta2hat, ConstDblMat btDesignM1, ConstIntVec btRespStatus,
                        ConstDblMat sigma1n, ConstDblMat sigma2n, ConstDblMat gamma,
                        ConstDblVec btBeta2ndS, DblVec term1, DblMat term2) {
  const int32_t d2 = p2 - p20 - p21 - 1;
  const int32_t G = wrapped_power(nGrid, d2);
  const int64_t rows = rows_of(G);
  const double lambda =
      n2 <= 1 ? 0.0 : static_cast<double>(std::log(std::log(static_cast<float>(n2))));
  const double s = std::sqrt(static_cast<double>(static_cast<float>(n1)));
  const double N1 = static_cast<double>(static_cast<float>(n1));
  const double N2 = static_cast<double>(static_cast<float>(n2));
  const int32_t nr = p20 + p21 + 1;

  const auto H20 = [&](int64_t i, int64_t l) { return btInputH20(i, l); };
  const auto H21 = [&](int64_t i, int64_t l) { return btInputH21(i, l); };
  // q_k(i; v) and the maximum over treatments, exactly as written.
  const auto q = [&](int64_t i, int32_t k, const auto& v) {
    double sum = 0.0;
    for (int32_t m = 1; m <= K2 - 1; ++m) {
      double inner = 0.0;
      for (int32_t l = 1; l <= p21; ++l) inner += H21(i, l) * v((m - 1) * p21 + l);
      sum += levels2(m, k) * (inner + v((K2 - 1) * p21 + m));
    }
    return sum;
  };
  const auto max_q = [&](int64_t i, const auto& v) {
    double best = -1.0e15;
    for (int32_t k = 1; k <= K2; ++k) {
      const double value = q(i, k, v);
      if (value > best) best = value;
    }
    return best;
  };
  const auto Q = [&](int64_t i, int32_t k, ConstDblVec b) {
    double main = 0.0;
    for (int32_t l = 1; l <= p20; ++l) main += H20(i, l) * b(1 + l);
    double tailor = 0.0;
    for (int32_t l = 1; l <= p21; ++l) tailor += H21(i, l) * b(1 + p20 + l);
    return b(1) + main + tailor + q(i, k, [&](int64_t c) { return b(nr + c); });
  };

  Matrix h2(n1, p2);
  for (int64_t i = 1; i <= n1; ++i) {
    int64_t c = 1;
    h2(i, c++) = 1.0;
    for (int32_t l = 1; l <= p20; ++l) h2(i, c++) = H20(i, l);
    for (int32_t copy = 0; copy < K2; ++copy) {
      for (int32_t l = 1; l <= p21; ++l) h2(i, c++) = H21(i, l);
    }
    for (int32_t m = 1; m <= K2 - 1; ++m) h2(i, c++) = 1.0;
  }
  std::vector<double> indicator1(n1, 1.0);
  std::vector<double> S1(p1), S2(p1), S3(p1);
  Matrix S4(p1, rows);
  const auto delta = [&](int64_t c) { return btBeta2ndS(c) - beta2hat(c); };

  for (int64_t j = 1; j <= p1; ++j) {
    for (int64_t i = 1; i <= n1; ++i) {
      const double R = btRespStatus(i);
      const double w = 1.0 - R;
      const double A = btDesignM1(i, j);
      double M = -1.0e15;
      for (int32_t k = 1; k <= K2; ++k) {
        const double value = Q(i, k, beta2hat);
        if (value > M) M = value;
      }
      double F = 0.0;
      for (int64_t l = 1; l <= p1; ++l) F += btDesignM1(i, l) * beta1hat(l);
      S1[j - 1] += (R * btY1(i) + w * M - F) * A;
      if (n2 <= 1) continue;
      double main = 0.0;
      for (int32_t l = 1; l <= p20; ++l) main += H20(i, l) * delta(1 + l);
      double tailor = 0.0;
      for (int32_t l = 1; l <= p21; ++l) tailor += H21(i, l) * delta(1 + p20 + l);
      S2[j - 1] += w * A * (delta(1) + main + tailor);
      if (j == 1) {
        double den = 0.0;
        for (int32_t c = 1; c <= d2; ++c) {
          double inner = 0.0;
          for (int32_t r = 1; r <= d2; ++r) inner += sigma2n(c, r) * h2(i, nr + r);
          den += h2(i, nr + c) * inner;
        }
        double t = 0.0;
        for (int32_t c = 1; c <= d2; ++c) t += h2(i, nr + c) * btBeta2ndS(nr + c);
        if (!(den > 1e-15)) return -1;
        indicator1[i - 1] = N2 * t * t / den;
      }
      const double T = indicator1[i - 1];
      if (T > lambda) {
        S3[j - 1] += w * A *
                     (max_q(i, [&](int64_t c) { return btBeta2ndS(nr + c); }) -
                      max_q(i, [&](int64_t c) { return beta2hat(nr + c); }));
      }
      if (G >= 0 && T <= lambda) {
        for (int64_t g = 1; g <= rows; ++g) {
          const auto local = [&](int64_t c) { return gamma(g, c); };
          const auto moved = [&](int64_t c) { return s * delta(nr + c) + gamma(g, c); };
          S4(j, g) += w * A * (max_q(i, moved) - max_q(i, local));
        }
      }
    }
    S1[j - 1] /= s;
    S2[j - 1] /= s;
    S3[j - 1] /= s;
    for (int64_t g = 1; g <= rows; ++g) S4(j, g) /= N1;
  }
  for (int64_t g = 1; g <= rows; ++g) {
    for (int64_t r = 1; r <= p1; ++r) {
      double sum = 0.0;
      for (int64_t c = 1; c <= p1; ++c) sum += sigma1n(r, c) * S4(c, g);
      term2(r, g) = sum;
    }
  }
  for (int64_t r = 1; r <= p1; ++r) {
    double sum = 0.0;
    for (int64_t c = 1; c <= p1; ++c) sum += sigma1n(r, c) * (S1[c - 1] + S2[c - 1] + S3[c - 1]);
    term1(r) = sum;
  }
  return 0;
}

int32_t fast_terms(int32_t n1, int32_t p1, int32_t n2, int32_t p20, int32_t p21, int32_t K2,
                   int32_t nGrid, ConstDblVec btY1, ConstDblMat btInputH20, ConstDblMat btInputH21,
                   ConstDblMat levels2, ConstDblVec beta1hat, ConstDblVec beta2hat,
                   ConstDblMat btDesignM1, ConstIntVec btRespStatus, ConstDblMat sigma1n,
                   ConstDblMat sigma2n, ConstDblMat gamma, ConstDblVec btBeta1stS,
                   ConstDblVec btBeta2ndS, DblVec term1, DblMat term2, ErrorRecord& record) {
  const ModelShape shape{p1 - 1, 0, p20, p21, 1, K2};
  const IntervalFrame frame{n2, nGrid, levels2, beta1hat, beta2hat, sigma2n, gamma};
  const ReplicateFit replicate{n1,         btY1,    btInputH20, btInputH21, btRespStatus,
                               btDesignM1, sigma1n, btBeta1stS, btBeta2ndS};
  return calculateTerms(shape, frame, replicate, term1, term2, record) == Status::kOk ? 0 : -1;
}

void get_bounds(ConstDblVec term1, ConstDblMat term2, ConstDblMat contrastMatrix, int32_t nC,
                int32_t p1, int32_t d2, int32_t nGrid, DblMat values) {
  const int64_t rows = rows_of(wrapped_power(nGrid, d2));
  for (int32_t i = 1; i <= p1 + nC; ++i) {
    const auto contrast = [&](int32_t c) {
      return i <= p1 ? (i == c ? 1.0 : 0.0) : contrastMatrix(i - p1, c);
    };
    double a = 0.0;
    for (int32_t c = 1; c <= p1; ++c) a += contrast(c) * term1(c);
    for (int64_t g = 1; g <= rows; ++g) {
      double grid = 0.0;
      for (int32_t c = 1; c <= p1; ++c) grid += contrast(c) * term2(c, g);
      values(i, g) = a + grid;
    }
  }
}

bool make_study(const StudyShape& shape, uint64_t seed, Study& st) {
  Draws draw(seed);
  st = Study{};
  st.n1 = shape.n1;
  st.p10 = shape.p10;
  st.p11 = shape.p11;
  st.p20 = shape.p20;
  st.p21 = shape.p21;
  st.nC = shape.nC;
  st.p1 = st.p10 + st.K1 * (st.p11 + 1);
  st.p2 = st.p20 + st.K2 * (st.p21 + 1);
  const int32_t n1 = st.n1;
  st.Y1.assign(n1, 0.0);
  st.respStatus.assign(n1, 0);
  st.A1.assign(n1, 1);
  st.inputA2.assign(n1, 1);
  st.H10 = Matrix(n1, st.p10);
  st.H11 = Matrix(n1, st.p11);
  st.inputH20 = Matrix(n1, st.p20);
  st.inputH21 = Matrix(n1, st.p21);
  st.levels1 = Matrix(1, 2);
  st.levels2 = Matrix(1, 2);
  const double low_level = shape.zero_one_levels ? 0.0 : -1.0;
  st.levels1(1, 1) = low_level;
  st.levels1(1, 2) = 1.0;
  st.levels2(1, 1) = 1.0;  // stage-2 levels in the other order of appearance
  st.levels2(1, 2) = low_level;
  st.contrastMatrix = Matrix(st.nC, st.p1);
  for (double& v : st.contrastMatrix.data) v = draw.normal();

  std::vector<int32_t> stage2;
  for (int32_t i = 1; i <= n1; ++i) {
    const bool in_stage2 = !shape.stage2_marks || draw.uniform() < 0.6;
    st.respStatus[i - 1] = in_stage2 ? 0 : 1;
    if (in_stage2) stage2.push_back(i);
    st.A1[i - 1] = 1 + draw.below(2);
    for (int32_t l = 1; l <= st.p10; ++l) st.H10(i, l) = draw.normal();
    for (int32_t l = 1; l <= st.p11; ++l) st.H11(i, l) = draw.normal();
    if (in_stage2) {
      st.inputA2[i - 1] = 1 + draw.below(2);
      for (int32_t l = 1; l <= st.p20; ++l) st.inputH20(i, l) = draw.normal();
      for (int32_t l = 1; l <= st.p21; ++l) st.inputH21(i, l) = draw.normal();
    }
  }
  // A binary column with two ones: the resamples that miss both cannot be fitted.
  const auto rare_column = [&](Matrix& column_of, const std::vector<int32_t>& pool) {
    for (int32_t i = 1; i <= n1; ++i) column_of(i, 1) = 0.0;
    if (pool.size() < 2) return;
    column_of(pool[0], 1) = 1.0;
    column_of(pool[pool.size() / 2], 1) = 1.0;
  };
  if (shape.rare_binary_main1 && st.p10 >= 1) {
    std::vector<int32_t> everyone(n1);
    for (int32_t i = 1; i <= n1; ++i) everyone[i - 1] = i;
    rare_column(st.H10, everyone);
  }
  if (shape.rare_binary_main2 && st.p20 >= 1) rare_column(st.inputH20, stage2);

  for (int32_t i = 1; i <= n1; ++i) {
    const double a1 = st.levels1(1, st.A1[i - 1]);
    double y = 1.0 + 0.4 * a1 + draw.normal();
    for (int32_t l = 1; l <= st.p10; ++l) y += 0.3 * st.H10(i, l);
    for (int32_t l = 1; l <= st.p11; ++l) y += (0.2 + 0.3 * a1) * st.H11(i, l);
    if (st.respStatus[i - 1] == 0) {
      const double a2 = st.levels2(1, st.inputA2[i - 1]);
      y += 0.15 * a2;
      for (int32_t l = 1; l <= st.p20; ++l) y += 0.3 * st.inputH20(i, l);
      for (int32_t l = 1; l <= st.p21; ++l) y += (0.1 + 0.4 * a2) * st.inputH21(i, l);
    }
    st.Y1[i - 1] = y;
  }
  st.inputY2 = st.Y1;
  st.n2 = static_cast<int32_t>(stage2.size());

  const int32_t n2 = st.n2;
  Matrix treatment1(n1, st.K1 - 1), treatment2(n2, st.K2 - 1), h20(n2, st.p20), h21(n2, st.p21);
  Matrix designM1(n1, st.p1), sigma1n(st.p1, st.p1);
  std::vector<double> yhat(n1);
  std::vector<int32_t> a2(n2);
  st.designM2 = Matrix(n2, st.p2);
  st.y2.assign(n2, 0.0);
  st.beta1hat.assign(st.p1, 0.0);
  st.beta2hat.assign(st.p2, 0.0);
  ErrorRecord record;
  const FitArrays fit{treatment1.view(), treatment2.view(),  vview(st.y2),       h20.view(),
                      h21.view(),        iview(a2),          designM1.view(),    st.designM2.view(),
                      vview(yhat),       vview(st.beta1hat), vview(st.beta2hat), sigma1n.view()};
  static_cast<void>(
      fitTwoStage(shape_of(st), study_of(st), fit, {kRankTolerance, false, false}, record));
  const bool fitted = !error_occurred(record);
  clear_errors(record);
  static_cast<void>(nullify_data(record));
  return fitted;
}

CiResult calculate_ci(const Study& st, const CiOptions& o) {
  CiResult out;
  const int32_t n1 = st.n1, n2 = st.n2, p1 = st.p1, p2 = st.p2, nC = st.nC;
  const int32_t d2 = p2 - st.p20 - st.p21 - 1;
  const int32_t nr = st.p20 + st.p21 + 1;
  const int32_t m = p1 + nC;
  ErrorRecord record;

  Matrix btDesignM2(n2, p2), betaArray(o.nBootstrap2, d2), sigma2n(d2, d2);
  std::vector<double> btY2(n2), beta2(p2), meanBeta2(d2);
  for (int32_t b = 1; b <= o.nBootstrap2; ++b) {
    static_cast<void>(bootstrap(n2, p2, st.designM2.cview(), cvview(st.y2), btDesignM2.view(),
                                vview(btY2), record));
    if (svdr_l2(btDesignM2.cview(), n2, p2, cvview(btY2), kRankTolerance, vview(beta2), record) !=
        0) {
      out.failed = true;
      return out;
    }
    for (int32_t j = 1; j <= d2; ++j) betaArray(b, j) = beta2[nr + j - 1];
  }
  for (int32_t j = 1; j <= d2; ++j) {
    double sum = 0.0;
    for (int32_t b = 1; b <= o.nBootstrap2; ++b) sum += betaArray(b, j);
    meanBeta2[j - 1] = sum / o.nBootstrap2;
  }
  for (int32_t i = 1; i <= d2; ++i) {
    for (int32_t j = 1; j <= d2; ++j) {
      double S = 0.0;
      for (int32_t b = 1; b <= o.nBootstrap2; ++b) {
        S += (betaArray(b, i) - meanBeta2[i - 1]) * (betaArray(b, j) - meanBeta2[j - 1]);
      }
      sigma2n(i, j) = S * n2 / o.nBootstrap2;
    }
  }

  double largest = -1.0e15;
  for (int32_t j = 1; j <= d2; ++j) largest = std::max(largest, std::sqrt(sigma2n(j, j)));
  const double halfWidth = o.gridScale * largest;
  const int32_t G = wrapped_power(o.nGrid, d2);
  Matrix gamma(G + 1, d2);
  for (int32_t g = 0; g < G; ++g) {
    for (int32_t j = 1; j <= d2; ++j) {
      int32_t digit = g;
      for (int32_t e = 1; e < j; ++e) digit /= o.nGrid;
      digit %= o.nGrid;
      gamma(g + 1, j) = halfWidth * (2 * digit) / (o.nGrid - 1) - halfWidth +
                        std::sqrt(double(n1)) * st.beta2hat[nr + j - 1];
    }
  }
  for (int32_t j = 1; j <= d2; ++j)
    gamma(G + 1, j) = std::sqrt(double(n1)) * st.beta2hat[nr + j - 1];

  // The interval store in the method's own order, target fastest, then replicate, then grid row;
  // the fast engine keeps each (target, grid row) series contiguous instead.
  const int64_t rows = G + 1;
  std::vector<double> byReplicate(int64_t{m} * o.nBootstrap1 * rows);
  const auto at = [&](int32_t k, int32_t b, int64_t g) -> double& {
    return byReplicate[(k - 1) + int64_t{m} * ((b - 1) + int64_t{o.nBootstrap1} * (g - 1))];
  };
  std::vector<bool> linear(o.nBootstrap1, false);
  std::vector<double> btY1(n1), btInputY2(n1), btYhat(n1), btBeta1stS(p1), btBeta2ndS(p2),
      term1(p1);
  std::vector<int32_t> btA1(n1), btRespStatus(n1), btInputA2(n1);
  Matrix btH10(n1, st.p10), btH11(n1, st.p11), btInputH20(n1, st.p20), btInputH21(n1, st.p21),
      btTreatment1(n1, st.K1 - 1), btDesignM1(n1, p1), sigma1n(p1, p1), term2(p1, rows),
      values(m, rows);
  for (int32_t b = 1; b <= o.nBootstrap1; ++b) {
    const SubjectArraysOut resampled{vview(btY1),  vview(btInputY2),  iview(btRespStatus),
                                     iview(btA1),  iview(btInputA2),  btH10.view(),
                                     btH11.view(), btInputH20.view(), btInputH21.view()};
    static_cast<void>(bootstrap(n1, shape_of(st), study_of(st).subjects, resampled, record));
    const auto n2Boot =
        static_cast<int32_t>(std::count(btRespStatus.begin(), btRespStatus.end(), 0));
    Matrix bDesignM2(n2Boot, p2), bTreatment2(n2Boot, st.K2 - 1), bH20(n2Boot, st.p20),
        bH21(n2Boot, st.p21);
    std::vector<int32_t> bA2(n2Boot);
    std::vector<double> bY2(n2Boot);
    const StudyArrays replicate{n1, n2Boot, resampled, st.levels1.cview(), st.levels2.cview()};
    const FitArrays fit{btTreatment1.view(), bTreatment2.view(), vview(bY2),
                        bH20.view(),         bH21.view(),        iview(bA2),
                        btDesignM1.view(),   bDesignM2.view(),   vview(btYhat),
                        vview(btBeta1stS),   vview(btBeta2ndS),  sigma1n.view()};
    static_cast<void>(
        fitTwoStage(shape_of(st), replicate, fit, {kRankTolerance, true, false}, record));
    if (error_occurred(record)) {
      ++out.nCollinear;
      linear[b - 1] = true;
    }
    clear_errors(record);
    if (linear[b - 1]) continue;
    if (calculate_terms(n1, p1, n2, p2, st.p20, st.p21, st.K2, o.nGrid, cvview(btY1),
                        btInputH20.cview(), btInputH21.cview(), st.levels2.cview(),
                        cvview(st.beta1hat), cvview(st.beta2hat), btDesignM1.cview(),
                        ciview(btRespStatus), sigma1n.cview(), sigma2n.cview(), gamma.cview(),
                        cvview(btBeta2ndS), vview(term1), term2.view()) != 0) {
      out.failed = true;
      return out;
    }
    get_bounds(cvview(term1), term2.cview(), st.contrastMatrix.cview(), nC, p1, d2, o.nGrid,
               values.view());
    for (int32_t k = 1; k <= m; ++k) {
      for (int64_t g = 1; g <= rows; ++g) at(k, b, g) = values(k, g);
    }
  }
  static_cast<void>(nullify_data(record));

  const int32_t nKept = o.nBootstrap1 - out.nCollinear;
  if (nKept < 3) {
    out.failed = true;
    return out;
  }
  int32_t lowRank = static_cast<int32_t>(std::floor((0.5 * nKept) * o.alpha));
  if (lowRank < 1) lowRank = 1;
  int32_t highRank = static_cast<int32_t>(std::ceil(nKept * (1 - 0.5 * o.alpha)));
  if (highRank > nKept) highRank = nKept;

  std::vector<double> kept(int64_t{m} * nKept * rows);
  int32_t r = 0;
  for (int32_t b = 1; b <= o.nBootstrap1; ++b) {
    if (linear[b - 1]) continue;
    ++r;
    for (int32_t k = 1; k <= m; ++k) {
      for (int64_t g = 1; g <= rows; ++g) {
        kept[(k - 1) + int64_t{m} * ((r - 1) + int64_t{nKept} * (g - 1))] = at(k, b, g);
      }
    }
  }
  out.upper.assign(m, 0.0);
  out.lower.assign(m, 0.0);
  const double s = static_cast<double>(std::sqrt(static_cast<float>(n1)));
  for (int32_t k = 1; k <= m; ++k) {
    double upperBound = -1.0e15, lowerBound = 1.0e15;
    for (int64_t g = 1; g <= rows; ++g) {
      std::vector<double> series(nKept);
      for (int32_t q = 1; q <= nKept; ++q) {
        series[q - 1] = kept[(k - 1) + int64_t{m} * ((q - 1) + int64_t{nKept} * (g - 1))];
      }
      std::sort(series.begin(), series.end());
      upperBound = std::max(upperBound, series[highRank - 1]);
      lowerBound = std::min(lowerBound, series[lowRank - 1]);
    }
    double e = 0.0;
    if (k <= p1) {
      e = st.beta1hat[k - 1];
    } else {
      for (int32_t j = 1; j <= p1; ++j) e += st.beta1hat[j - 1] * st.contrastMatrix(k - p1, j);
    }
    out.upper[k - 1] = e - lowerBound / s;
    out.lower[k - 1] = e - upperBound / s;
  }
  return out;
}

CiResult run_fast_ci(const Study& st, const CiOptions& o, std::vector<std::string>* lines) {
  CiResult out;
  const int32_t m = st.p1 + st.nC;
  out.upper.assign(m, kUnwritten);
  out.lower.assign(m, kUnwritten);
  out.nCollinear = -1;
  ErrorRecord record;
  const FullDataFit fit{st.designM2.cview(), cvview(st.y2), cvview(st.beta1hat),
                        cvview(st.beta2hat)};
  const Contrasts contrasts{st.contrastMatrix.cview(), st.nC};
  const IntervalOptions options{o.nBootstrap1, o.nBootstrap2, o.nGrid,
                                o.gridScale,   o.alpha,       o.cores};
  const IntervalLimits limits{vview(out.upper), vview(out.lower), &out.nCollinear};
  static_cast<void>(calculateCI(shape_of(st), study_of(st), fit, contrasts, options, kRankTolerance,
                                limits, record));
  out.failed = error_occurred(record);
  if (lines != nullptr) *lines = testing_support::record_lines(record);
  clear_errors(record);
  static_cast<void>(nullify_data(record));
  return out;
}

}  // namespace kestrion::reference
