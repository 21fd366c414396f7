// A host for the procedure module's tests: in-memory data sets, parse results set directly, a
// log and listing that record what the module wrote, and memory that is tracked and can fail.
// One FakeHost exists at a time; it is the "current" host of the C routine table.
#ifndef TALVEN_TESTS_PROCEDURE_FAKE_HOST_H
#define TALVEN_TESTS_PROCEDURE_FAKE_HOST_H

#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "frontend/kestrion_library.h"
#include "talven_options.h"
#include "talven_host.h"

namespace talven_test {

// Items the procedure passes through to the study layer without naming them.
inline constexpr int32_t kNbootstrap1 = talven::option_row("NBOOTSTRAP1").item;
inline constexpr int32_t kNbootstrap2 = talven::option_row("NBOOTSTRAP2").item;
inline constexpr int32_t kNgrid = talven::option_row("NGRID").item;
inline constexpr int32_t kAlpha = talven::option_row("ALPHA").item;
inline constexpr int32_t kCores = talven::option_row("CORES").item;
inline constexpr int32_t kGridScale = talven::option_row("GRID_SCALE").item;
inline constexpr int32_t kSeed = talven::option_row("SEED").item;
inline constexpr int32_t kMinimizeFlag = talven::option_row("MINIMIZE").item;

inline const double kMissing = std::nan("");

struct FakeDataSet {
  std::string name;
  std::vector<std::string> variables;
  std::vector<int32_t> types;  // empty: all numeric
  std::vector<std::vector<double>> rows;
  std::optional<int64_t> claimed_observations;  // a count that differs from the rows delivered
};

class FakeHost {
 public:
  FakeHost();
  ~FakeHost();
  FakeHost(const FakeHost&) = delete;
  FakeHost& operator=(const FakeHost&) = delete;

  // Parse results.
  void data_set(int32_t item, const FakeDataSet& data);
  void number(int32_t item, double value) { numbers_[item] = value; }
  // Variables of the item-1 data set, by name.
  void list(int32_t item, const std::vector<std::string>& names);
  void flag(int32_t number) { flags_[number] = 1; }
  // An output data set option (OUTEST=).
  void output(int32_t item) { outputs_[item] = 1; }
  void clear_item(int32_t item);

  // mcn_main, then the driver, as the real host does.
  void run();
  // Loads the table without running the driver, for calling the module's functions directly.
  void start_services();

  std::optional<std::string> debug_value;
  bool has_sasproci = true;
  bool has_sasprocd = true;
  int32_t parse_status = 0;
  int64_t fail_allocation = 0;  // the N-th allocation from now returns null (0: never)
  // false: a host of the first release, without writeDataSet, progress and the later routines
  bool has_output_routines = true;
  int32_t write_result = 0;  // what writeDataSet answers

  struct Written {
    int32_t item = 0;
    std::vector<std::string> names;
    std::vector<int32_t> types;
    int64_t observations = 0;
    std::vector<double> numbers;     // column-major, every variable (NaN for character ones)
    std::vector<std::string> texts;  // column-major, every variable ("" for numeric ones)
  };
  std::vector<Written> written;
  std::vector<std::pair<int32_t, int32_t>> progress;  // (done, total) of each report
  std::vector<int32_t> explained;                     // variable numbers handed to explainCharacter
  // What each run handed stepResults.
  struct Results {
    int64_t observations = 0, stage1 = 0, stage2 = 0, collinear = 0;
    std::optional<double> alpha;
    struct Term {
      int32_t stage;
      std::string term;
      double estimate, lower, upper;
      bool contrast;
    };
    std::vector<Term> terms;
    std::vector<std::string> rules;
    std::vector<std::string> regime_values;
    std::vector<std::pair<std::string, std::string>> settings;
    // The model and the data summary, written out: "MAIN1: x1", "1: -1 (4)", "x1 missing: 1".
    std::vector<std::string> roles;
    bool minimize = false;
    std::vector<std::string> levels;
    std::vector<std::string> contrasts;
    std::vector<std::string> left_out;
  };
  std::vector<Results> results;

  std::vector<std::string> log;  // "ERROR: ", "WARNING: ", "NOTE: " as the real host shows them
  std::vector<std::string> host_messages;
  std::vector<std::string> listing;
  std::vector<std::string> titles;
  std::vector<int32_t> end_codes;
  std::vector<std::string> modules_loaded;
  std::optional<TalvenDebugSettings> debug_received;
  std::vector<std::vector<int32_t>> declared;  // variable numbers of each declare call
  const TalvenGrammar* grammar = nullptr;
  int64_t live_blocks() const { return static_cast<int64_t>(blocks_.size()); }
  int64_t bad_releases = 0;
  int64_t allocations = 0;

  std::vector<std::string> lines_with(const std::string& prefix) const;
  std::vector<std::string> errors() const { return lines_with("ERROR: "); }
  std::vector<std::string> warnings() const { return lines_with("WARNING: "); }
  int32_t end_code() const { return end_codes.empty() ? -1 : end_codes.back(); }

  // Used by the C routines.
  struct Reader {
    FakeDataSet* data = nullptr;
    std::vector<std::pair<int32_t, double*>> bound;
    std::size_t next = 0;
    std::size_t current = 0;
  };
  std::map<int32_t, FakeDataSet> data_sets_;
  std::map<int32_t, double> numbers_;
  std::map<int32_t, std::vector<int32_t>> lists_;
  std::map<int32_t, int32_t> flags_;
  std::map<int32_t, int32_t> outputs_;
  std::map<void*, std::size_t> blocks_;
  std::vector<Reader*> readers_;
  std::string current_line_;
};

// Captures what the module hands the library and answers with set results.
struct FakeLibrary {
  FakeLibrary();
  ~FakeLibrary();

  bool mismatch = false;
  std::string failure_text;  // non-empty: the run fails with this text
  int32_t collinear = 0;

  bool called = false;
  std::vector<int32_t> seeds;
  std::vector<KestrionProgress> progress_callbacks;  // each registration, null included
  void* progress_context = nullptr;
  int32_t n1 = 0, n2 = 0, p10 = 0, p11 = 0, p20 = 0, p21 = 0, K1 = 0, K2 = 0, nC = 0;
  int32_t nBootstrap1 = 0, nBootstrap2 = 0, nGrid = 0, cores = 0, message_length = 0;
  double alpha = 0, grid_scale = 0;
  uint8_t derive_ci = 0;
  std::vector<double> Y1, Y2, H10, H11, H20, H21, levels1, levels2, contrasts;
  std::vector<int32_t> resp_status, A1, A2;

  talven::KestrionLibrary saved;
};

// A small study: x1 x2 (MAIN1), t1 (TAILOR1), a1 (STG1TRT), r (STG2SAMPLE), m2 (MAIN2),
// t2 (TAILOR2), a2 (STG2TRT), y (RESPONSE); n rows, a1 and a2 alternate 1/-1, everyone r = 1.
FakeDataSet study(int n = 8);
// DATA=STUDY with one TAILOR1, TAILOR2, RESPONSE, STG1TRT and STG2TRT variable.
void minimal_statement(FakeHost& host, const FakeDataSet& data);

}  // namespace talven_test

#endif  // TALVEN_TESTS_PROCEDURE_FAKE_HOST_H
