// How the adaptive interval widths of the stage-1 coefficients shrink with the sample size, on a
// regular design (large stage-2 treatment effects), and whether each interval holds its estimate.
// With root-n behaviour a fourfold sample halves the widths.
//
//   talven_interval_widths [--effect X] [--seed S] [--n N]...
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "examples/study/study.h"
#include "kestrion.h"

int main(int argc, char** argv) {
  double effect = 3.0;
  uint64_t seed = 7;
  std::vector<int> sizes;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--effect") {
      effect = std::atof(argv[i + 1]);
    } else if (arg == "--seed") {
      seed = std::strtoull(argv[i + 1], nullptr, 10);
    } else if (arg == "--n") {
      sizes.push_back(std::atoi(argv[i + 1]));
    } else {
      std::fprintf(stderr, "usage: talven_interval_widths [--effect X] [--seed S] [--n N]...\n");
      return 2;
    }
  }
  if (sizes.empty()) sizes = {500, 1000, 2000};
  std::vector<std::vector<double>> widths;
  for (int n : sizes) {
    smart::StudyOptions options;
    options.n = n;
    options.seed = seed;
    options.stage2_effect = effect;
    const smart::Study study = smart::generate_study(options);
    smart::AnalysisArrays a;
    std::string error;
    if (!smart::build_analysis_arrays(study, smart::default_spec(options), &a, &error)) {
      std::fprintf(stderr, "n=%d: %s\n", n, error.c_str());
      return 1;
    }
    const int32_t p1 = a.p1();
    std::vector<double> beta1(p1), beta2(a.p2()), upper(p1), lower(p1);
    std::vector<int32_t> message(3001);
    int32_t n_collinear = 0;
    uint8_t flag = 0;
    seedkestrion(20181208);
    runkestrion(1, 2, a.Y1.data(), a.inputY2.data(), a.n1, a.n2, a.respStatus.data(), a.A1.data(),
                a.inputA2.data(), a.H10.data(), a.p10, a.H11.data(), a.p11, a.inputH20.data(),
                a.p20, a.inputH21.data(), a.p21, a.levels1.data(), a.K1, a.levels2.data(), a.K2,
                nullptr, 0, 1000, 1000, 10, 2.58, 1, 0.05, beta1.data(), beta2.data(), upper.data(),
                lower.data(), &n_collinear, &flag, 3001, message.data());
    if (flag) {
      std::fprintf(stderr, "n=%d: the analysis failed\n", n);
      return 1;
    }
    std::printf("n1 = %d (n2 = %d, collinear %d)\n", a.n1, a.n2, n_collinear);
    std::printf("  %-4s %10s %10s %10s %10s %s\n", "coef", "estimate", "lower", "upper", "width",
                "holds estimate");
    std::vector<double> w;
    for (int32_t k = 0; k < p1; ++k) {
      w.push_back(upper[k] - lower[k]);
      std::printf("  %-4d %10.4f %10.4f %10.4f %10.4f %s\n", k + 1, beta1[k], lower[k], upper[k],
                  w.back(), (lower[k] <= beta1[k] && beta1[k] <= upper[k]) ? "yes" : "NO");
    }
    widths.push_back(w);
  }
  std::printf("width ratios against n1 = %d:\n", sizes.front());
  for (size_t s = 1; s < sizes.size(); ++s) {
    std::printf("  n = %d:", sizes[s]);
    for (size_t k = 0; k < widths[s].size(); ++k) {
      std::printf(" %.3f", widths[s][k] / widths[0][k]);
    }
    std::printf("\n");
  }
  return 0;
}
