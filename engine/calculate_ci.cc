#include "engine/calculate_ci.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine/bootstrap.h"
#include "engine/calculate_terms.h"
#include "engine/fit_two_stage.h"
#include "engine/get_bounds.h"
#include "engine/progress.h"
#include "engine/rank_cause.h"
#include "engine/stop.h"
#include "engine/worker_team.h"
#include "kestrion_plan.h"
#include "numerics/dynamic_allocation.h"
#include "numerics/regression.h"
#include "numerics/sort.h"
#include "numerics/work_arrays.h"

// How the work is shared out while the results stay those of one thread, bit for bit:
// - every resample is drawn on the calling thread from the one stream, in replicate order, a
//   batch of replicates at a time; the replicates of a batch are then computed by the threads,
//   each into arrays of its own that were obtained beforehand on the calling thread;
// - a replicate's values go to its own slot of the store, and everything that adds over
//   replicates (the count of collinear ones, the order statistics, the extremes over the grid)
//   reads them in replicate order, so no sum depends on which thread computed what;
// - when the store of the whole grid would exceed the budget (kestrion_plan.h), the replicates
//   keep their resample and fit, and the grid is processed block by block: each block computes
//   every kept replicate's grid values again from what it kept, with the same arithmetic.
namespace kestrion {

namespace {

// Running extremes over the grid start here rather than at infinity.
constexpr double kExtremeStart = 1.0e15;
// Consecutive replicates handled by one task, so that their writes share cache lines.
constexpr int64_t kGroup = 8;
// (target, grid row) series per task of the order statistics.
constexpr int64_t kSeriesPerTask = 32;

// The front end keeps these out; a direct caller gets the front end's wording instead of a
// division by zero, an overflowing grid or an undefined rank.
bool arguments_usable(const IntervalOptions& options, int32_t d2, ErrorRecord& record) {
  const char* problem = interval_arguments_problem(options, d2);
  if (problem == nullptr) return true;
  char note[80];
  std::snprintf(note, sizeof note, problem, static_cast<int>(d2));
  ErrorDetails details;
  details.note_1 = note;
  report_error(record, ErrorCode::kGeneral, details);
  return false;
}

int32_t g_forced_block_rows = 0;

// The sizes every phase uses.
struct Sizes {
  int32_t n1;
  int32_t n2;
  int32_t p1;
  int32_t p2;
  int32_t d2;
  int32_t m;       // targets: the p1 coefficients, then the contrasts
  int32_t offset;  // the treatment-dependent part of a stage-2 vector follows this position
  int32_t G;
  int32_t rows;   // grid rows, the centre last
  int32_t block;  // grid rows per block
  bool blocks;    // replicates are kept for later blocks
  int32_t batch;  // replicates drawn at a time
  int32_t threads;
  double bytes;  // the memory the plan needs
};

Sizes sizes_of(const ModelShape& shape, const StudyArrays& study, const Contrasts& contrasts,
               const IntervalOptions& options) {
  Sizes z{};
  z.n1 = study.n1;
  z.n2 = study.n2;
  z.p1 = shape.p1();
  z.p2 = shape.p2();
  z.d2 = z.p2 - shape.p20 - shape.p21 - 1;
  z.m = z.p1 + contrasts.nC;
  z.offset = shape.stage2_offset();
  z.G = grid_point_count(options.nGrid, z.d2);
  z.rows = static_cast<int32_t>(grid_row_count(z.G));
  z.threads = interval_threads(options.cores, options.nBootstrap1);
  IntervalSizes s;
  static_cast<ModelShape&>(s) = shape;
  s.n1 = study.n1;
  s.n2 = study.n2;
  s.nC = contrasts.nC;
  s.nBootstrap1 = options.nBootstrap1;
  s.nBootstrap2 = options.nBootstrap2;
  s.nGrid = options.nGrid;
  s.threads = z.threads;
  const IntervalPlan plan = plan_intervals(s);
  z.blocks = plan.blocks;
  z.block = static_cast<int32_t>(std::min<int64_t>(plan.block_rows, z.rows));
  z.batch = plan.batch;
  z.bytes = plan.bytes;
  if (g_forced_block_rows > 0) {
    z.blocks = true;
    z.block = std::min(g_forced_block_rows, z.rows);
  }
  return z;
}

// A run that would not fit the machine stops before it allocates.
bool memory_suffices(const Sizes& z, ErrorRecord& record) {
  const double need = z.bytes;
  const double have = physical_memory_bytes();
  if (have <= 0.0 || need <= have) return true;
  constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;
  char first[80];
  char second[80];
  std::snprintf(first, sizeof first, "The intervals need about %.1f GB of memory;", need / kGiB);
  std::snprintf(second, sizeof second, "this machine has %.1f GB.", have / kGiB);
  ErrorDetails details;
  details.note_1 = first;
  details.note_2 = second;
  report_error(record, ErrorCode::kAllocation, details);
  return false;
}

// One error record per replicate of a batch: each thread reports into its replicate's own, and
// the calling thread reads them in replicate order.
class SlotRecords {
 public:
  explicit SlotRecords(int32_t count) : records_(new (std::nothrow) ErrorRecord[count]) {}
  bool ready() const { return records_ != nullptr; }
  ErrorRecord& operator[](int64_t slot) { return records_[slot]; }

 private:
  std::unique_ptr<ErrorRecord[]> records_;
};

Status report_no_slots(ErrorRecord& record) {
  ErrorDetails details;
  details.object_name = "calculateCI: records";
  report_error(record, ErrorCode::kAllocation, details);
  return Status::kFailed;
}

// Set by a thread that skipped its items because a stop was requested: the job's results are
// then incomplete, even if the request has been withdrawn since.
class Abandoned {
 public:
  bool skip() {
    if (!stop_requested()) return false;
    skipped_.store(true, std::memory_order_relaxed);
    return true;
  }
  // Reports the interruption when items were skipped or a stop is pending.
  bool stopped(StopPoint point, ErrorRecord& record) const {
    if (!skipped_.load(std::memory_order_relaxed)) return stopped_at(point, record);
    ErrorDetails details;
    details.note_1 = KESTRION_INTERRUPTED;
    report_error(record, ErrorCode::kGeneral, details);
    return true;
  }

 private:
  std::atomic<bool> skipped_{false};
};

// Where a stop request is honoured between batches, and where it is reported.
struct StopPolling {
  StopPoint point;
  ErrorRecord& record;
};

// For each batch of `batch` replicates from `first`: draw(first, j) for its slots j on the calling
// thread, compute(worker, first, j) for them on the team, then settle(first, j) in slot order and
// done(last replicate); stops at the first slot that settles as failed, and before and after any
// batch when a stop is requested.
template <typename Draw, typename Compute, typename Settle, typename Done>
Status in_batches(WorkerTeam& team, int32_t total, int32_t batch, const StopPolling& polling,
                  Draw draw, Compute compute, Settle settle, Done done) {
  for (int32_t first = 1; first <= total; first += batch) {
    if (stopped_at(polling.point, polling.record)) return Status::kFailed;
    const int32_t count = std::min(batch, total - first + 1);
    for (int32_t j = 0; j < count; ++j) draw(first, j);
    const int64_t groups = (count + kGroup - 1) / kGroup;
    Abandoned abandoned;
    team.run(groups, [&](int32_t worker, int64_t group) {
      if (abandoned.skip()) return;
      const int64_t end = std::min<int64_t>(count, (group + 1) * kGroup);
      for (int64_t j = group * kGroup; j < end; ++j) compute(worker, first, j);
    });
    if (abandoned.stopped(polling.point, polling.record)) return Status::kFailed;
    for (int32_t j = 0; j < count; ++j) {
      if (settle(first, j) != Status::kOk) return Status::kFailed;
    }
    done(first + count - 1);
  }
  return Status::kOk;
}

// ---------------------------------------------------------------------------------------------
// Covariance phase: a plain bootstrap of the full-data stage-2 regression.

struct CovarianceArrays {
  DblArray2 btDesignM2;
  DblArray1 beta2, meanBeta2;
  DblArray2 betaArray;
  DblArray1 btY2;
  DblArray2 sigma2n;

  WorkArrays list(const Sizes& z, const IntervalOptions& o) {
    return {{btDesignM2, {z.n2, z.p2}, "calculateCI: btDesignM2"},
            {beta2, {z.p2}, "calculateCI: beta2"},
            {meanBeta2, {z.d2}, "calculateCI: meanBeta2"},
            {betaArray, {o.nBootstrap2, z.d2}, "calculateCI: betaArray"},
            {btY2, {z.n2}, "calculateCI: btY2"},
            {sigma2n, {z.d2, z.d2}, "calculateCI: sigma2n"}};
  }
};

constexpr RegressionWorkspace::Descriptions kFitDescriptions = {
    "calculateCI: fitSigma", "calculateCI: fitU", "calculateCI: fitV", "calculateCI: fitScratch",
    "calculateCI: fitRotations"};

// What one thread fits a covariance replicate with; thread 0 uses the list's arrays.
struct CovarianceWorker {
  DblArray2 btDesignM2;
  DblArray1 beta2, btY2;
  RegressionWorkspace fit;
};

struct CovariancePhase {
  const Sizes& z;
  const FullDataFit& fit;
  const IntervalOptions& o;
  double tolerance;
  CovarianceArrays& c;
  std::vector<CovarianceWorker>& workers;
  IntArray2& index;  // n2 x batch
  SlotRecords& records;

  DblMat design(int32_t w) const { return w == 0 ? c.btDesignM2.view() : workers[w].btDesignM2; }
  DblVec response(int32_t w) const { return w == 0 ? c.btY2.view() : workers[w].btY2; }
  DblVec beta(int32_t w) const { return w == 0 ? c.beta2.view() : workers[w].beta2; }
};

// Row b of betaArray: the treatment-effect coefficients of covariance replicate b.
void covariance_replicate(const CovariancePhase& p, int32_t worker, int32_t b, int64_t slot) {
  const Sizes& z = p.z;
  ErrorRecord& record = p.records[slot];
  gather_rows(z.n2, &p.index(1, static_cast<int32_t>(slot + 1)), p.fit.designM2, p.fit.y2, z.p2,
              p.design(worker), p.response(worker));
  RegressionWorkspace& ws = p.workers[worker].fit;
  if (least_squares_in(ws, p.design(worker), z.n2, z.p2, p.response(worker), p.tolerance,
                       p.beta(worker), record) != 0 ||
      error_occurred(record)) {
    try {
      explain_rank_deficiency(record, "covariance replicate " + std::to_string(b),
                              dependent_columns_in(ws, p.design(worker), z.n2, z.p2, p.tolerance));
    } catch (...) {
      // Without memory for the explanation the specified report stands alone.
    }
    return;
  }
  const DblVec beta = p.beta(worker);
  for (int32_t j = 1; j <= z.d2; ++j) p.c.betaArray(b, j) = beta(z.offset + j);
}

// sigma2n = S * n2 / nBootstrap2 (the product first), from betaArray in replicate order.
void covariance_of(const Sizes& z, int32_t nB2, CovarianceArrays& c) {
  for (int32_t j = 1; j <= z.d2; ++j) {
    double sum = 0.0;
    for (int32_t b = 1; b <= nB2; ++b) sum += c.betaArray(b, j);
    c.meanBeta2(j) = sum / nB2;
  }
  for (int32_t i = 1; i <= z.d2; ++i) {
    for (int32_t j = 1; j <= z.d2; ++j) {
      double sum = 0.0;
      for (int32_t b = 1; b <= nB2; ++b) {
        sum += (c.betaArray(b, i) - c.meanBeta2(i)) * (c.betaArray(b, j) - c.meanBeta2(j));
      }
      c.sigma2n(i, j) = sum * z.n2 / nB2;
    }
  }
}

Status covariance_phase(WorkerTeam& team, const Sizes& z, const FullDataFit& fit,
                        const IntervalOptions& o, double tolerance, CovarianceArrays& c,
                        ErrorRecord& record) {
  const int32_t batch = std::max(1, std::min(z.batch, o.nBootstrap2));
  std::vector<CovarianceWorker> workers(static_cast<size_t>(z.threads));
  IntArray2 index;
  std::vector<WorkArrays> lists;
  for (int32_t w = 0; w < z.threads; ++w) {
    CovarianceWorker& worker = workers[w];
    if (w > 0) {
      lists.push_back({{worker.btDesignM2, {z.n2, z.p2}, "calculateCI: btDesignM2"},
                       {worker.beta2, {z.p2}, "calculateCI: beta2"},
                       {worker.btY2, {z.n2}, "calculateCI: btY2"}});
    }
    lists.push_back(worker.fit.list(z.n2, z.p2, kFitDescriptions));
  }
  lists.push_back({{index, {z.n2, batch}, "bootstrap: outputIndex"}});
  for (WorkArrays& list : lists) {
    if (list.obtain(record) != Status::kOk) return Status::kFailed;
  }
  SlotRecords records(batch);
  if (!records.ready()) return report_no_slots(record);

  const CovariancePhase phase{z, fit, o, tolerance, c, workers, index, records};
  const auto draw = [&](int32_t, int32_t j) { draw_rows(z.n2, &index(1, j + 1)); };
  const auto compute = [&](int32_t worker, int32_t first, int64_t j) {
    covariance_replicate(phase, worker, first + static_cast<int32_t>(j), j);
  };
  const auto settle = [&](int32_t, int32_t j) {
    if (!error_occurred(records[j])) return Status::kOk;
    take_report(records[j], record);
    return Status::kFailed;
  };
  if (in_batches(team, o.nBootstrap2, batch, {StopPoint::kCovarianceBatch, record}, draw, compute,
                 settle, [](int32_t) {}) != Status::kOk) {
    return Status::kFailed;
  }
  covariance_of(z, o.nBootstrap2, c);
  for (WorkArrays& list : lists) {
    if (list.release(record) != Status::kOk) return Status::kFailed;
  }
  return Status::kOk;
}

// ---------------------------------------------------------------------------------------------
// Main phase.

// The arrays every thread reads or writes a part of. term2ByReplicate holds, for replicate b and
// a block of grid rows, every target's value: (b, target, row), so that every (target, row)
// series is contiguous. With blocks, each replicate keeps its resample (in outputIndex) and the
// parts of its fit that a block needs again.
struct MainArrays {
  DblArray3 term2ByReplicate;
  DblArray2 gridUpper, gridLower;
  DblArray1 upperBound, lowerBound;
  DblArray2 gamma;
  IntArray1 iarr;  // the kept replicates in order (the sort's permutation is not needed)
  LogArray1 btIsLinear;
  DblArray2 targets;
  IntArray2 outputIndex;
  DblArray2 keptBeta2;
  DblArray3 keptSigma1n;
  DblArray2 keptTerm1;
  DblArray2 subjectTerms;

  WorkArrays list(const Sizes& z, const IntervalOptions& o) {
    const int32_t nB1 = o.nBootstrap1;
    const int32_t kept = z.blocks ? nB1 : 0;
    return {{term2ByReplicate, {nB1, z.m, z.block}, "calculateCI: term2"},
            {gridUpper, {z.m, z.block}, "calculateCI: upper"},
            {gridLower, {z.m, z.block}, "calculateCI: lower"},
            {upperBound, {z.m}, "calculateCI: upperBound"},
            {lowerBound, {z.m}, "calculateCI: lowerBound"},
            {gamma, {z.block, z.d2}, "calculateCI: gamma"},
            {iarr, {nB1}, "calculateCI: iarr"},
            {btIsLinear, {nB1}, "calculateCI: btIsLinear"},
            {targets, {z.m, z.p1}, "getBounds: contrasts"},
            {outputIndex, {z.n1, z.blocks ? nB1 : z.batch}, "bootstrap: outputIndex"},
            {keptBeta2, {z.p2, kept}, "calculateCI: keptBeta2ndS"},
            {keptSigma1n, {z.p1, z.p1, kept}, "calculateCI: keptSigma1n"},
            {keptTerm1, {z.p1, kept}, "calculateCI: keptTerm1"},
            {subjectTerms, {z.n1, 4}, "calculateCI: subjectTerms"}};
  }
};

// One thread's replicate: its resample, its fit (the stage-2 arrays with room for every
// subject), its terms and its share of the order statistics.
struct MainWorker {
  DblArray1 btY1;
  DblArray2 btH10, btH11;
  IntArray1 btA1, btRespStatus;
  DblArray1 btInputY2;
  DblArray2 btInputH20, btInputH21;
  IntArray1 btInputA2;
  DblArray1 btYhat;
  DblArray2 btTreatment1;
  DblArray1 btBeta1stS, btBeta2ndS;
  DblArray2 btDesignM1, sigma1n;
  DblArray1 term1;
  DblArray2 term2;
  DblArray2 btDesignM2, btTreatment2, btH20, btH21;
  IntArray1 btA2;
  DblArray1 btY2;
  DblArray1 series;
  RegressionWorkspace fit;
  TermsArrays terms;

  std::vector<WorkArrays> lists(const ModelShape& shape, const Sizes& z, const IntervalOptions& o) {
    const int32_t n1 = z.n1;
    std::vector<WorkArrays> out;
    out.push_back({{btY1, {n1}, "calculateCI: btY1"},
                   {btH10, {n1, shape.p10}, "calculateCI: btH10"},
                   {btH11, {n1, shape.p11}, "calculateCI: btH11"},
                   {btA1, {n1}, "calculateCI: btA1"},
                   {btRespStatus, {n1}, "calculateCI: btRespStatus"},
                   {btInputY2, {n1}, "calculateCI: btInputY2"},
                   {btInputH20, {n1, shape.p20}, "calculateCI: btInputH20"},
                   {btInputH21, {n1, shape.p21}, "calculateCI: btInputH21"},
                   {btInputA2, {n1}, "calculateCI: btInputA2"},
                   {btYhat, {n1}, "calculateCI: btYhat"},
                   {btTreatment1, {n1, shape.K1 - 1}, "calculateCI: btTreatment1"},
                   {btBeta1stS, {z.p1}, "calculateCI: btBeta1stS"},
                   {btBeta2ndS, {z.p2}, "calculateCI: btBeta2ndS"},
                   {btDesignM1, {n1, z.p1}, "calculateCI: btDesignM1"},
                   {sigma1n, {z.p1, z.p1}, "calculateCI: sigma1n"},
                   {term1, {z.p1}, "calculateCI: term1"},
                   {term2, {z.p1, z.block}, "calculateCI: term2"},
                   {btDesignM2, {n1, z.p2}, "calculateCI: btDesignM2"},
                   {btTreatment2, {n1, shape.K2 - 1}, "calculateCI: btTreatment2"},
                   {btH20, {n1, shape.p20}, "calculateCI: btH20"},
                   {btH21, {n1, shape.p21}, "calculateCI: btH21"},
                   {btA2, {n1}, "calculateCI: btA2"},
                   {btY2, {n1}, "calculateCI: btY2"},
                   {series, {o.nBootstrap1}, "calculateCI: term2"}});
    out.push_back(fit.list(n1, std::max(z.p1, z.p2), kFitDescriptions));
    out.push_back(terms.list(n1, z.p1, z.p2, z.block));
    return out;
  }

  SubjectArraysOut resample() const {
    return {btY1, btInputY2, btRespStatus, btA1, btInputA2, btH10, btH11, btInputH20, btInputH21};
  }

  // term2 (p1 x rows) stored grid row first, so that the terms and the bounds run along the grid.
  DblMat term2_of(int32_t rows) const {
    return DblMat(term2.data(), {1, 1}, {term2.extent(0), rows}, {rows, 1});
  }

  // The replicate's stage-2 sample: the first n2Boot rows of the arrays, contiguous.
  FitArrays fit_arrays(const ModelShape& shape, const Sizes& z, int32_t n2Boot) {
    return {btTreatment1,
            make_view(btTreatment2.data(), n2Boot, shape.K2 - 1),
            make_view(btY2.data(), n2Boot),
            make_view(btH20.data(), n2Boot, shape.p20),
            make_view(btH21.data(), n2Boot, shape.p21),
            make_view(btA2.data(), n2Boot),
            btDesignM1,
            make_view(btDesignM2.data(), n2Boot, z.p2),
            btYhat,
            btBeta1stS,
            btBeta2ndS,
            sigma1n};
  }
};

// Everything the replicates of the main phase share.
struct MainPhase {
  const ModelShape& shape;
  const StudyArrays& study;
  const FullDataFit& fit;
  const IntervalOptions& options;
  const Sizes& z;
  double tolerance;
  ConstDblMat sigma2n;
  MainArrays& a;
  std::vector<MainWorker>& workers;
  SlotRecords& records;
  const SubjectTable& subjects;

  IntervalFrame frame(int32_t rows) const {
    return {study.n2,
            options.nGrid,
            study.levels2,
            fit.beta1hat,
            fit.beta2hat,
            sigma2n,
            ConstDblMat(a.gamma.data(), {1, 1}, {rows, z.d2}, {1, z.block}),
            &subjects};
  }
  int32_t* resample_rows(int32_t b, int64_t slot) const {
    return &a.outputIndex(1, z.blocks ? b : static_cast<int32_t>(slot + 1));
  }
  // Replicate b's values for `rows` rows of the block: target i, row g at (b, i, g).
  DblMat section(int32_t b, int32_t rows) const {
    const int64_t nB1 = options.nBootstrap1;
    double* slot = a.term2ByReplicate.size() > 0 ? &a.term2ByReplicate(b, 1, 1) : nullptr;
    return DblMat(slot, {1, 1}, {z.m, rows}, {nB1, nB1 * z.m});
  }
  ReplicateFit replicate(const MainWorker& w, ConstDblMat sigma1n, ConstDblVec beta2,
                         const int32_t* source) const {
    return {z.n1,         w.btY1,  w.btInputH20, w.btInputH21, w.btRespStatus,
            w.btDesignM1, sigma1n, w.btBeta1stS, beta2,        source};
  }
};

// Replicate b: its fit (a failing fit counts as collinear, unless it failed for memory), its
// smooth term, and then either its grid values for the whole grid or what later blocks need.
void main_replicate(const MainPhase& p, int32_t worker, int32_t b, int64_t slot) {
  MainWorker& w = p.workers[worker];
  const Sizes& z = p.z;
  ErrorRecord& record = p.records[slot];
  p.a.btIsLinear(b) = false;
  gather_rows(z.n1, p.resample_rows(b, slot), p.shape, p.study.subjects, w.resample());
  int32_t n2Boot = 0;
  for (int32_t i = 1; i <= z.n1; ++i) n2Boot += w.btRespStatus(i) == 0 ? 1 : 0;
  const StudyArrays resampled{z.n1, n2Boot, w.resample(), p.study.levels1, p.study.levels2};
  const FitOptions options{p.tolerance, true, false, &w.fit};
  if (fitTwoStage(p.shape, resampled, w.fit_arrays(p.shape, z, n2Boot), options, record) !=
      Status::kOk) {
    if (record.memory_failure) return;
    p.a.btIsLinear(b) = true;
    clear_errors(record);
    return;
  }
  const IntervalFrame frame = p.frame(z.block);
  const ReplicateFit replicate = p.replicate(w, w.sigma1n, w.btBeta2ndS, p.resample_rows(b, slot));
  if (smooth_term(p.shape, frame, replicate, w.terms, w.term1, record) != Status::kOk) return;
  if (z.blocks) {
    std::copy(w.btBeta2ndS.data(), w.btBeta2ndS.data() + z.p2, &p.a.keptBeta2(1, b));
    std::copy(w.sigma1n.data(), w.sigma1n.data() + int64_t{z.p1} * z.p1, &p.a.keptSigma1n(1, 1, b));
    std::copy(w.term1.data(), w.term1.data() + z.p1, &p.a.keptTerm1(1, b));
    return;
  }
  const DblMat term2 = w.term2_of(z.rows);
  grid_term(p.shape, frame, replicate, w.terms, term2);
  bounds_of(p.a.targets, w.term1, term2, z.rows, p.section(b, z.rows));
}

// Kept replicate b's values for the `rows` rows of the block now in gamma, from its resample and
// what its fit kept.
void block_replicate(const MainPhase& p, int32_t worker, int32_t b, int32_t rows) {
  MainWorker& w = p.workers[worker];
  const Sizes& z = p.z;
  gather_rows(z.n1, &p.a.outputIndex(1, b), p.shape, p.study.subjects, w.resample());
  const StudyArrays resampled{z.n1, 0, w.resample(), p.study.levels1, p.study.levels2};
  fill_stage1(p.shape, resampled, w.btTreatment1, w.btDesignM1);
  const ConstDblMat sigma1n = make_view<const double>(&p.a.keptSigma1n(1, 1, b), z.p1, z.p1);
  const ConstDblVec beta2 = make_view<const double>(&p.a.keptBeta2(1, b), z.p2);
  const ConstDblVec term1 = make_view<const double>(&p.a.keptTerm1(1, b), z.p1);
  const IntervalFrame frame = p.frame(rows);
  const ReplicateFit replicate = p.replicate(w, sigma1n, beta2, &p.a.outputIndex(1, b));
  // The replicate's statistics passed their test when it was kept.
  ErrorRecord unused;
  static_cast<void>(screen_subjects(p.shape, frame, replicate, w.terms, unused));
  const DblMat term2 = w.term2_of(rows);
  grid_term(p.shape, frame, replicate, w.terms, term2);
  bounds_of(p.a.targets, term1, term2, rows, p.section(b, rows));
}

// gridLower and gridUpper of the block's rows: the order statistics of every (target, row)
// series of kept values, in replicate order.
Status order_statistics(WorkerTeam& team, const MainPhase& p, int32_t nKept, int32_t rows,
                        ErrorRecord& record) {
  const OrderStatisticRanks ranks = order_statistic_ranks(nKept, p.options.alpha);
  const int64_t series = int64_t{p.z.m} * rows;
  const int64_t tasks = (series + kSeriesPerTask - 1) / kSeriesPerTask;
  Abandoned abandoned;
  team.run(tasks, [&](int32_t worker, int64_t task) {
    if (abandoned.skip()) return;
    double* buffer = p.workers[worker].series.data();
    const int64_t end = std::min(series, (task + 1) * kSeriesPerTask);
    for (int64_t e = task * kSeriesPerTask; e < end; ++e) {
      const auto k = static_cast<int32_t>(e % p.z.m) + 1;
      const auto g = static_cast<int32_t>(e / p.z.m) + 1;
      const double* values = &p.a.term2ByReplicate(1, k, g);
      for (int32_t r = 1; r <= nKept; ++r) buffer[r - 1] = values[p.a.iarr(r) - 1];
      const RankValues v = select_ranks(buffer, nKept, ranks.low, ranks.high);
      p.a.gridLower(k, g) = v.low;
      p.a.gridUpper(k, g) = v.high;
    }
  });
  return abandoned.stopped(StopPoint::kGridBlock, record) ? Status::kFailed : Status::kOk;
}

// Every kept replicate's values for the `rows` rows of the block now in gamma.
Status block_values(WorkerTeam& team, const MainPhase& p, int32_t nKept, int32_t rows,
                    ErrorRecord& record) {
  const int64_t groups = (nKept + kGroup - 1) / kGroup;
  Abandoned abandoned;
  team.run(groups, [&](int32_t worker, int64_t group) {
    if (abandoned.skip()) return;
    const int64_t end = std::min<int64_t>(nKept, (group + 1) * kGroup);
    for (int64_t q = group * kGroup; q < end; ++q) {
      block_replicate(p, worker, p.a.iarr(static_cast<int32_t>(q + 1)), rows);
    }
  });
  return abandoned.stopped(StopPoint::kGridBlock, record) ? Status::kFailed : Status::kOk;
}

// upperBound and lowerBound carry the extremes over the grid rows seen so far, in row order.
void fold_extremes(const Sizes& z, int32_t rows, MainArrays& a) {
  for (int32_t k = 1; k <= z.m; ++k) {
    double largest = a.upperBound(k);
    double smallest = a.lowerBound(k);
    for (int32_t g = 1; g <= rows; ++g) {
      if (a.gridUpper(k, g) > largest) largest = a.gridUpper(k, g);
      if (a.gridLower(k, g) < smallest) smallest = a.gridLower(k, g);
    }
    a.upperBound(k) = largest;
    a.lowerBound(k) = smallest;
  }
}

// The limits: the estimate minus the extremes over the grid, divided by the single-precision
// root of n1; they wait in upperBound and lowerBound.
void limits(const Sizes& z, const FullDataFit& fit, const Contrasts& contrasts, MainArrays& a) {
  const double s = static_cast<double>(std::sqrt(static_cast<float>(z.n1)));
  for (int32_t k = 1; k <= z.m; ++k) {
    double estimate = 0.0;
    if (k <= z.p1) {
      estimate = fit.beta1hat(k);
    } else {
      for (int32_t j = 1; j <= z.p1; ++j) {
        estimate += fit.beta1hat(j) * contrasts.matrix(k - z.p1, j);
      }
    }
    const double upper_limit = estimate - a.lowerBound(k) / s;
    const double lower_limit = estimate - a.upperBound(k) / s;
    a.upperBound(k) = upper_limit;
    a.lowerBound(k) = lower_limit;
  }
}

// The grid's half-width is gridScale times the largest standard deviation of sigma2n.
double half_width(const Sizes& z, const IntervalOptions& o, ConstDblMat sigma2n) {
  double largest_sd = -kExtremeStart;
  for (int32_t j = 1; j <= z.d2; ++j) {
    const double sd = std::sqrt(sigma2n(j, j));
    if (sd > largest_sd) largest_sd = sd;
  }
  return o.gridScale * largest_sd;
}

// Replicates computed so far, for the progress report; with blocks the blocks' share of the
// work counts too, so that the count climbs while the grid is processed.
class Progress {
 public:
  Progress(int32_t total, int64_t block_count, int32_t nKept_estimate)
      : total_(total),
        units_(int64_t{total} + (block_count > 1 ? block_count * nKept_estimate : 0)) {}
  void add(int64_t units) {
    done_ += units;
    const double share = units_ > 0 ? static_cast<double>(done_) / static_cast<double>(units_) : 1;
    const auto replicates =
        static_cast<int32_t>(std::min<double>(total_, std::floor(share * total_)));
    if (replicates > reported_) {
      reported_ = replicates;
      report_progress(replicates, total_);
    }
  }
  void finish() {
    if (reported_ < total_) {
      reported_ = total_;
      report_progress(total_, total_);
    }
  }

 private:
  int32_t total_;
  int64_t units_;
  int64_t done_ = 0;
  int32_t reported_ = 0;
};

Status main_phase(WorkerTeam& team, const MainPhase& p, int32_t& nCollinear, ErrorRecord& record) {
  const Sizes& z = p.z;
  const int32_t nB1 = p.options.nBootstrap1;
  const int64_t block_count = z.block > 0 ? (int64_t{z.rows} + z.block - 1) / z.block : 1;
  Progress progress(nB1, z.blocks ? block_count : 1, nB1);

  const auto draw = [&](int32_t first, int32_t j) {
    draw_rows(z.n1, p.resample_rows(first + j, j));
  };
  const auto compute = [&](int32_t worker, int32_t first, int64_t j) {
    main_replicate(p, worker, first + static_cast<int32_t>(j), j);
  };
  const auto settle = [&](int32_t first, int32_t j) {
    if (error_occurred(p.records[j])) {
      take_report(p.records[j], record);
      return Status::kFailed;
    }
    if (p.a.btIsLinear(first + j)) ++nCollinear;
    return Status::kOk;
  };
  int32_t reported = 0;
  const auto done = [&](int32_t last) {
    progress.add(last - reported);
    reported = last;
  };
  if (in_batches(team, nB1, z.batch, {StopPoint::kMainBatch, record}, draw, compute, settle,
                 done) != Status::kOk) {
    return Status::kFailed;
  }

  const int32_t nKept = nB1 - nCollinear;
  if (nKept < 3) {
    ErrorDetails details;
    details.note_1 = "Too many bootstrap loops have collinearity.";
    report_error(record, ErrorCode::kSingular, details);
    return Status::kFailed;
  }
  int32_t r = 0;
  for (int32_t b = 1; b <= nB1; ++b) {
    if (!p.a.btIsLinear(b)) p.a.iarr(++r) = b;
  }

  for (int32_t k = 1; k <= z.m; ++k) {
    p.a.upperBound(k) = -kExtremeStart;
    p.a.lowerBound(k) = kExtremeStart;
  }
  const double width = half_width(z, p.options, p.sigma2n);
  for (int32_t first = 0; first < z.rows; first += z.block) {
    const int32_t rows = std::min(z.block, z.rows - first);
    if (stopped_at(StopPoint::kGridBlock, record)) return Status::kFailed;
    if (z.blocks) {
      build_grid_rows(p.a.gamma, first + 1, rows,
                      {z.G, z.d2, p.options.nGrid, width, z.n1, p.fit.beta2hat, z.offset});
      if (block_values(team, p, nKept, rows, record) != Status::kOk) return Status::kFailed;
      progress.add(nKept);
    }
    if (order_statistics(team, p, nKept, rows, record) != Status::kOk) return Status::kFailed;
    fold_extremes(z, rows, p.a);
  }
  progress.finish();
  return Status::kOk;
}

// What calculateCI was given, with its sizes.
struct Call {
  const ModelShape& shape;
  const StudyArrays& study;
  const FullDataFit& fit;
  const Contrasts& contrasts;
  const IntervalOptions& options;
  const Sizes& z;
  double tolerance;
};

Status run_main_phase(WorkerTeam& team, const Call& call, ConstDblMat sigma2n,
                      WorkArrays& covariance, const IntervalLimits& out, ErrorRecord& record) {
  const ModelShape& shape = call.shape;
  const StudyArrays& study = call.study;
  const FullDataFit& fit = call.fit;
  const Contrasts& contrasts = call.contrasts;
  const IntervalOptions& options = call.options;
  const Sizes& z = call.z;
  MainArrays a;
  WorkArrays main = a.list(z, options);
  if (main.obtain(record) != Status::kOk) return Status::kFailed;
  std::vector<MainWorker> workers(static_cast<size_t>(z.threads));
  std::vector<WorkArrays> lists;
  for (MainWorker& worker : workers) {
    for (WorkArrays& list : worker.lists(shape, z, options)) lists.push_back(list);
  }
  for (WorkArrays& list : lists) {
    if (list.obtain(record) != Status::kOk) return Status::kFailed;
  }
  SlotRecords records(z.batch);
  if (!records.ready()) return report_no_slots(record);
  fill_targets(contrasts.matrix, contrasts.nC, z.p1, a.targets);
  if (!z.blocks) {
    build_grid(a.gamma, z.G, z.d2, options.nGrid, half_width(z, options, sigma2n), z.n1,
               fit.beta2hat, z.offset);
  }

  // The parts of the smooth term that depend on the data row alone, once for all replicates.
  MainWorker& first = workers.front();
  fill_stage1(shape, study, first.btTreatment1, first.btDesignM1);
  const SubjectArrays& data = study.subjects;
  const ReplicateFit itself{z.n1,          data.Y1,          data.inputH20,
                            data.inputH21, data.respStatus,  first.btDesignM1,
                            first.sigma1n, first.btBeta1stS, fit.beta2hat};
  const IntervalFrame plain{study.n2,     options.nGrid, study.levels2, fit.beta1hat,
                            fit.beta2hat, sigma2n,       a.gamma};
  fill_subject_table(shape, plain, itself, first.terms, a.subjectTerms);
  const SubjectTable subjects{a.subjectTerms};

  const MainPhase phase{shape,   study, fit,     options, z,       call.tolerance,
                        sigma2n, a,     workers, records, subjects};
  if (main_phase(team, phase, *out.nCollinear, record) != Status::kOk) return Status::kFailed;
  limits(z, fit, contrasts, a);

  // The limits wait in upperBound and lowerBound until every other release has succeeded, so
  // that a failed call never leaves them half-written.
  if (covariance.release(record) != Status::kOk) return Status::kFailed;
  for (WorkArrays& list : lists) {
    if (list.release(record) != Status::kOk) return Status::kFailed;
  }
  if (main.release_all_but(record, {&a.upperBound, &a.lowerBound}) != Status::kOk) {
    return Status::kFailed;
  }
  for (int32_t k = 1; k <= z.m; ++k) {
    out.upper(k) = a.upperBound(k);
    out.lower(k) = a.lowerBound(k);
  }
  return main.release(record, {&a.upperBound, &a.lowerBound});
}

}  // namespace

void force_grid_blocks_for_testing(int32_t rows) {
  g_forced_block_rows = rows > 0 ? rows : 0;
}

OrderStatisticRanks order_statistic_ranks(int32_t nKept, double alpha) {
  const double low = std::floor((0.5 * nKept) * alpha);
  const double high = std::ceil(nKept * (1.0 - 0.5 * alpha));
  // The clamps on the far sides only guard the conversion; valid alpha never reaches them.
  OrderStatisticRanks ranks{};
  ranks.low = !(low >= 1.0) ? 1 : (low > nKept ? nKept : static_cast<int32_t>(low));
  ranks.high = !(high <= nKept) ? nKept : (high < 1.0 ? 1 : static_cast<int32_t>(high));
  return ranks;
}

void build_grid_rows(DblMat gamma, int32_t first, int32_t count, const GridSpec& grid) {
  const double root_n1 = std::sqrt(static_cast<double>(grid.n1));
  const double steps = static_cast<double>(grid.nGrid) - 1.0;
  const double half = grid.halfWidth;
  for (int32_t r = 1; r <= count; ++r) {
    const int32_t row = first + r - 1;
    if (row > grid.G) {  // the centre
      for (int32_t j = 1; j <= grid.d2; ++j) {
        gamma(r, j) = root_n1 * grid.beta2hat(grid.offset + j);
      }
      continue;
    }
    int32_t rest = row - 1;
    for (int32_t j = 1; j <= grid.d2; ++j) {
      const int32_t digit = rest % grid.nGrid;
      rest /= grid.nGrid;
      gamma(r, j) = half * (2.0 * digit) / steps - half + root_n1 * grid.beta2hat(grid.offset + j);
    }
  }
}

void build_grid(DblMat gamma, int32_t G, int32_t d2, int32_t nGrid, double halfWidth, int32_t n1,
                ConstDblVec beta2hat, int32_t offset) {
  build_grid_rows(gamma, 1, G + 1, {G, d2, nGrid, halfWidth, n1, beta2hat, offset});
}

Status calculateCI(const ModelShape& shape, const StudyArrays& study, const FullDataFit& fit,
                   const Contrasts& contrasts, const IntervalOptions& options, double tolerance,
                   const IntervalLimits& out, ErrorRecord& record) {
  *out.nCollinear = 0;
  const Sizes z = sizes_of(shape, study, contrasts, options);
  if (!arguments_usable(options, z.d2, record) || !memory_suffices(z, record)) {
    return Status::kFailed;
  }
  WorkerTeam team(z.threads);

  // Every work array is freed by its destructor when the call ends early, without a report;
  // the releases of the normal path go through the checked routine.
  CovarianceArrays c;
  WorkArrays covariance = c.list(z, options);
  if (covariance.obtain(record) != Status::kOk ||
      covariance_phase(team, z, fit, options, tolerance, c, record) != Status::kOk ||
      covariance.release(record, {&c.btY2, &c.btDesignM2}) != Status::kOk) {
    return Status::kFailed;
  }
  const Call call{shape, study, fit, contrasts, options, z, tolerance};
  return run_main_phase(team, call, c.sigma2n, covariance, out, record);
}

}  // namespace kestrion
