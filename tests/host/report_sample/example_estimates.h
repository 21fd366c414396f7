// The shipped example's first step as its OUTEST= data set holds it (SEED=2018): the stage-1
// coefficients, the two contrasts with their limits, then the stage-2 coefficients.
#ifndef TALVEN_TESTS_HOST_REPORT_SAMPLE_EXAMPLE_ESTIMATES_H
#define TALVEN_TESTS_HOST_REPORT_SAMPLE_EXAMPLE_ESTIMATES_H

#include <limits>
#include <vector>

#include "host/html_report.h"

namespace report_sample {

inline std::vector<host::ReportEstimate> example_estimates() {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  return {{1, "intercept", 1.1793161441197841, 0.5734432536137962, 1.6888658744880494, false},
          {1, "age", 0.03486743095314387, 0.022984053444968306, 0.047638393976486094, false},
          {1, "o11", 0.30820851363583623, 0.1416775142486691, 0.4520924032174293, false},
          {1, "o11:a1", 0.3578392744522011, 0.19363258964450009, 0.4978942370761681, false},
          {1, "a1", 0.07605030816009056, -0.05640630003361957, 0.1976519076875775, false},
          {1, "Contrast1", 0.8677791652245833, 0.3834122317133406, 1.2402081011699901, true},
          {1, "Contrast2", -0.5635779325842211, -0.9301990042006973, -0.18147827254523724, true},
          {2, "intercept", 0.4901533043546835, kNaN, kNaN, false},
          {2, "age", 0.03979497453829164, kNaN, kNaN, false},
          {2, "sidefx", 0.2793180498481677, kNaN, kNaN, false},
          {2, "o21", 0.5579647018786575, kNaN, kNaN, false},
          {2, "o21:a2", 0.6781025919810558, kNaN, kNaN, false},
          {2, "a2", 0.05026367983064201, kNaN, kNaN, false}};
}

}  // namespace report_sample

#endif  // TALVEN_TESTS_HOST_REPORT_SAMPLE_EXAMPLE_ESTIMATES_H
