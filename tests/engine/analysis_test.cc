#include "engine/analysis.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/fit_two_stage.h"
#include "engine/uniform_generator.h"
#include "kestrion.h"
#include "numerics/dynamic_allocation.h"
#include "numerics/regression.h"

namespace kestrion {
namespace {

constexpr double kUntouched = -777.25;
constexpr int32_t kMessageLength = 3001;

// A small study of 30 subjects, half in the stage-2 sample, one variable in every list.
struct Call {
  int32_t n1 = 30, n2 = 0, p10 = 1, p11 = 1, p20 = 1, p21 = 1, K1 = 2, K2 = 2, nC = 0;
  std::vector<double> Y1, inputY2, H10, H11, inputH20, inputH21, levels1{-1, 1}, levels2{-1, 1};
  std::vector<int32_t> respStatus, A1, inputA2;
  std::vector<double> contrast;
  uint8_t deriveCI = 0;
  int32_t nBootstrap1 = 200, nBootstrap2 = 200, nGrid = 5;
  std::vector<double> beta1hat, beta2hat, upper, lower;
  int32_t nCollinear = 0;
  uint8_t errorFlag = 0;
  int32_t messageLength = kMessageLength;
  std::vector<int32_t> message;

  Call() {
    for (int32_t i = 0; i < n1; ++i) {
      const double x = (i * 37 % 17) / 4.0, z = (i * 11 % 7) - 3.0;
      H10.push_back(x);
      H11.push_back(z);
      inputH20.push_back(x * 0.5 + (i % 3));
      inputH21.push_back(z + (i % 4));
      A1.push_back(1 + (i % 2));
      respStatus.push_back(i % 2 == 0 || i % 5 == 0 ? 0 : 1);
      inputA2.push_back(1 + (i / 2) % 2);
      n2 += respStatus.back() == 0 ? 1 : 0;
      const double y = 1.0 + 0.3 * x - 0.2 * z + (i % 3) * 0.7;
      Y1.push_back(y);
      inputY2.push_back(y);
    }
  }
  int32_t p1() const { return p10 + K1 * (p11 + 1); }
  int32_t p2() const { return p20 + K2 * (p21 + 1); }

  void run() {
    beta1hat.assign(p1(), kUntouched);
    beta2hat.assign(p2(), kUntouched);
    upper.assign(p1() + nC, kUntouched);
    lower.assign(p1() + nC, kUntouched);
    message.assign(kMessageLength + 8, ' ');
    message.resize(kMessageLength);
    message.insert(message.end(), 8, -5);  // guard elements beyond messageLength
    nCollinear = 0;
    errorFlag = 0;
    runkestrion(1, 2, Y1.data(), inputY2.data(), n1, n2, respStatus.data(), A1.data(),
                inputA2.data(), H10.data(), p10, H11.empty() ? nullptr : H11.data(), p11,
                inputH20.data(), p20, inputH21.data(), p21, levels1.data(), K1, levels2.data(), K2,
                contrast.empty() ? nullptr : contrast.data(), nC, nBootstrap1, nBootstrap2, nGrid,
                2.58, deriveCI, 0.05, beta1hat.data(), beta2hat.data(), upper.data(), lower.data(),
                &nCollinear, &errorFlag, messageLength, message.data());
  }

  // The text up to the terminating 0 (or the whole buffer if there is none).
  std::string text() const {
    std::string out;
    for (int32_t k = 0; k < kMessageLength && message[k] != 0; ++k) out.push_back(char(message[k]));
    return out;
  }
  bool guards_intact() const {
    for (size_t k = kMessageLength; k < message.size(); ++k)
      if (message[k] != -5) return false;
    return true;
  }
};

// MAIN2 and TAILOR2 identical: columns 2 and 3 of the stage-2 design.
const std::string kRankText =
    "Matrix apparently singular\r\nDesign matrix doesn't have full rank.\r\n"
    "OCCURRED IN: svdr_l2 in MOD regression\r\n"
    "Rank-deficient fit: stage-2 fit of the data; dependent columns 2 3";

TEST(AnalysisTest, SuccessGivesTheFitAndLeavesFlagAndMessageAlone) {
  Call call;
  call.run();
  EXPECT_EQ(call.errorFlag, 0);
  EXPECT_EQ(call.message, [] {
    std::vector<int32_t> m(kMessageLength, ' ');
    m.insert(m.end(), 8, -5);
    return m;
  }());
  EXPECT_EQ(call.upper, std::vector<double>(call.p1(), kUntouched));
  EXPECT_EQ(call.lower, std::vector<double>(call.p1(), kUntouched));
  EXPECT_EQ(call.nCollinear, 0);
  EXPECT_FALSE(regression_state_allocated());

  // The same fit called directly.
  const int32_t n1 = call.n1, n2 = call.n2, p1 = call.p1(), p2 = call.p2();
  std::vector<double> t1(n1), t2(n2), y2(n2), h20(n2), h21(n2), m1(size_t(n1) * p1),
      m2(size_t(n2) * p2), b1(p1), b2(p2), yhat(n1), sigma(size_t(p1) * p1);
  std::vector<int32_t> a2(n2);
  ErrorRecord record;
  const ModelShape shape{1, 1, 1, 1, 2, 2};
  const SubjectArrays subjects{make_view<const double>(call.Y1.data(), n1),
                               make_view<const double>(call.inputY2.data(), n1),
                               make_view<const int32_t>(call.respStatus.data(), n1),
                               make_view<const int32_t>(call.A1.data(), n1),
                               make_view<const int32_t>(call.inputA2.data(), n1),
                               make_view<const double>(call.H10.data(), n1, 1),
                               make_view<const double>(call.H11.data(), n1, 1),
                               make_view<const double>(call.inputH20.data(), n1, 1),
                               make_view<const double>(call.inputH21.data(), n1, 1)};
  const StudyArrays study{n1, n2, subjects, make_view<const double>(call.levels1.data(), 1, 2),
                          make_view<const double>(call.levels2.data(), 1, 2)};
  const FitArrays fit{
      make_view(t1.data(), n1, 1),  make_view(t2.data(), n2, 1),  make_view(y2.data(), n2),
      make_view(h20.data(), n2, 1), make_view(h21.data(), n2, 1), make_view(a2.data(), n2),
      make_view(m1.data(), n1, p1), make_view(m2.data(), n2, p2), make_view(yhat.data(), n1),
      make_view(b1.data(), p1),     make_view(b2.data(), p2),     make_view(sigma.data(), p1, p1)};
  EXPECT_EQ(fitTwoStage(shape, study, fit, {kRankTolerance, false, false}, record), Status::kOk);
  ASSERT_FALSE(error_occurred(record));
  EXPECT_EQ(call.beta1hat, b1);
  EXPECT_EQ(call.beta2hat, b2);
  EXPECT_EQ(nullify_data(record), 0);
}

TEST(AnalysisTest, FitFailureBecomesTheTextAndReleasesEverything) {
  Call call;
  call.inputH21 = call.inputH20;  // MAIN2 and TAILOR2 identical: stage 2 is rank-deficient
  call.run();
  EXPECT_EQ(call.errorFlag, 255);
  EXPECT_EQ(call.text(), kRankText);
  for (int32_t k = int32_t(kRankText.size()) + 1; k < kMessageLength; ++k)
    ASSERT_EQ(call.message[k], ' ') << k;
  EXPECT_TRUE(call.guards_intact());
  EXPECT_FALSE(regression_state_allocated());
}

TEST(AnalysisTest, TextIsCutToLeaveRoomForTheTerminator) {
  const struct {
    int32_t messageLength;
    size_t characters;  // of kRankText before the 0
  } cases[] = {{1, 0},
               {4, 0},
               {5, 4},
               {27, 26},
               {30, 26},
               {31, 30},
               {40, 39},
               {int32_t(kRankText.size()) + 1, kRankText.size()},
               {int32_t(kRankText.size()) + 2, kRankText.size()}};
  for (const auto& c : cases) {
    Call call;
    call.inputH21 = call.inputH20;
    call.messageLength = c.messageLength;
    call.run();
    EXPECT_EQ(call.errorFlag, 255);
    // A line is begun only where four places are free, so the second one needs 31.
    std::string expected = kRankText.substr(0, c.characters);
    EXPECT_EQ(call.text(), expected) << "messageLength " << c.messageLength;
    EXPECT_EQ(call.message[expected.size()], 0);
    for (int32_t k = c.messageLength; k < kMessageLength; ++k)
      ASSERT_EQ(call.message[k], ' ') << "element " << k << " beyond messageLength was written";
  }
}

TEST(AnalysisTest, NoMessageElementIsWrittenWithoutRoom) {
  for (int32_t length : {0, -1}) {
    Call call;
    call.inputH21 = call.inputH20;
    call.messageLength = length;
    call.run();
    EXPECT_EQ(call.errorFlag, 255);
    EXPECT_EQ(call.message[0], ' ');
    EXPECT_FALSE(regression_state_allocated());
  }
}

TEST(AnalysisTest, InvalidCallsAreRefusedWithTheirReason) {
  const struct {
    const char* what;
    void (*spoil)(Call&);
    const char* reason;
  } cases[] = {
      {"stage-1 code", [](Call& c) { c.A1[4] = 3; },
       "Stage-1 treatment code of subject 5 is 3; expected 1 to 2."},
      {"stage-2 code", [](Call& c) { c.inputA2[0] = 0; },
       "Stage-2 treatment code of subject 1 is 0; expected 1 to 2."},
      {"status", [](Call& c) { c.respStatus[2] = 2; },
       "respStatus of subject 3 is 2; expected 0 or 1."},
      {"n2", [](Call& c) { c.n2 += 1; }, "n2 is 19 but 18 subjects have respStatus 0."},
      {"n1", [](Call& c) { c.n1 = -1; }, "n1 must be at least 0 (got -1)."},
      {"K2", [](Call& c) { c.K2 = 0; }, "K2 must be at least 1 (got 0)."},
      {"null", [](Call& c) { c.H11.clear(); }, "H11 is a null pointer but should hold 30 values."},
  };
  for (const auto& c : cases) {
    Call call;
    c.spoil(call);
    call.run();
    EXPECT_EQ(call.errorFlag, 255) << c.what;
    EXPECT_EQ(call.text(), std::string("Invalid argument to runkestrion:\r\n") + c.reason)
        << c.what;
    EXPECT_EQ(call.beta1hat, std::vector<double>(call.beta1hat.size(), kUntouched)) << c.what;
  }
}

#ifdef KESTRION_FAULT_INJECTION
TEST(AnalysisTest, EachWorkArrayThatCannotBeHadIsNamed) {
  const char* names[] = {"y2",         "a2",       "h20",  "h21",        "designM2",
                         "treatment2", "designM1", "yhat", "treatment1", "sigma1n"};
  const char* labels[] = {"dbl1_alloc", "int1_alloc", "dbl2_alloc", "dbl2_alloc", "dbl2_alloc",
                          "dbl2_alloc", "dbl2_alloc", "dbl1_alloc", "dbl2_alloc", "dbl2_alloc"};
  for (int k = 0; k < 10; ++k) {
    Call call;
    fault::fail_nth_allocation(k + 1);
    call.run();
    fault::fail_nth_allocation(0);
    EXPECT_EQ(call.errorFlag, 255);
    EXPECT_EQ(call.text(), std::string("Unable to allocate memory for object\r\nrunkestrion: ") +
                               names[k] + "\r\nOCCURRED IN: " + labels[k] +
                               " in MOD dynamic_allocation");
    EXPECT_EQ(call.beta1hat, std::vector<double>(call.p1(), kUntouched));
  }
}
#endif

TEST(AnalysisTest, CheckVersionAcceptsOnlyOneZeroZero) {
  const struct {
    int32_t version[3];
    uint8_t mismatch;
  } cases[] = {
      {{1, 0, 0}, 0}, {{1, 0, 1}, 255}, {{1, 1, 0}, 255}, {{2, 0, 0}, 255}, {{0, 0, 0}, 255}};
  for (const auto& c : cases) {
    uint8_t flag = 77;
    checkversion(c.version, &flag);
    EXPECT_EQ(flag, c.mismatch) << c.version[0] << "." << c.version[1] << "." << c.version[2];
  }
  uint8_t flag = 0;
  checkversion(nullptr, &flag);
  EXPECT_EQ(flag, 255);
}

TEST(AnalysisTest, SeedkestrionSelectsTheMode) {
  seedkestrion(12);
  EXPECT_EQ(analysis_seed(), 12);
  seedkestrion(-4);
  EXPECT_EQ(analysis_seed(), 0);
}

TEST(AnalysisTest, SeededIntervalRunsAreReproducible) {
  Call first, second;
  for (Call* call : {&first, &second}) {
    call->deriveCI = 255;
    call->nC = 1;
    call->contrast = {0, 0, 0, 1, 1};
    seedkestrion(2024);
    call->run();
  }
  seedkestrion(0);
  ASSERT_EQ(first.errorFlag, 0) << first.text();
  EXPECT_EQ(first.upper, second.upper);
  EXPECT_EQ(first.lower, second.lower);
  EXPECT_EQ(first.nCollinear, second.nCollinear);
  for (size_t k = 0; k < first.upper.size(); ++k) EXPECT_GE(first.upper[k], first.lower[k]) << k;
  EXPECT_FALSE(regression_state_allocated());
}

}  // namespace
}  // namespace kestrion
