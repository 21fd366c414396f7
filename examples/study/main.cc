// generate_study: writes a synthetic two-stage SMART study as CSV.
//
//   generate_study --n 300 --seed 2018 --out examples/smart_study.csv
//
// Exit status 0 on success, 2 on a bad option or a file that cannot be written.
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "examples/study/study.h"

namespace {

constexpr const char* kUsage = R"(usage: generate_study [OPTIONS]
Writes a synthetic two-stage SMART study (one row per subject) as CSV.

  --n N                 subjects (default 300)
  --seed S              seed of the generator, 0 to 18446744073709551615 (default 2018)
  --main1 N             MAIN1 covariates: age, x1_2, x1_3, ... (default 1)
  --tailor1 N           TAILOR1 covariates: o11, o12, ... (default 1, at least 1)
  --main2 N             MAIN2 covariates: sidefx, x2_2, ... (default 1)
  --tailor2 N           TAILOR2 covariates: o21, o22, ... (default 1, at least 1)
  --k1 K, --k2 K        treatments per stage, 2 to 10 (default 2); with K > 2 the treatment
                        is K-1 columns a1_1, a1_2, ... (a2_1, ...)
  --coding pm1|01       treatment columns take -1/1 (default) or 0/1
  --layout onehot|tuple with K > 2: one column high per arm (default), or the first k-1
                        columns high for arm k
  --everyone-stage2     every subject is re-randomised at stage 2; no stage2 column
  --stage2-effect X     multiplies the stage-2 treatment effects (default 1; 0 = none)
  --missing-stage1 R    fraction of subjects with a missing stage-1 value (default 0)
  --missing-stage2 R    fraction of the stage-2 sample with a missing stage-2 value (default 0)
  --missing-response R  fraction of subjects with a missing response (default 0)
  --constant            add a column const1 equal to 1 (collinear with the intercept)
  --out FILE            write to FILE (default: standard output)
  -h, --help            this text
)";

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

template <typename Number>
Number parse_number(std::string_view option, std::string_view text) {
  Number value{};
  const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (status != std::errc() || end != text.data() + text.size() || text.empty()) {
    throw UsageError("option " + std::string(option) + ": '" + std::string(text) +
                     "' is not a valid number");
  }
  return value;
}

// The options that take a number, and the field each one sets.
struct IntOption {
  std::string_view name;
  int smart::StudyOptions::*field;
};
constexpr IntOption kIntOptions[] = {
    {"--n", &smart::StudyOptions::n},
    {"--main1", &smart::StudyOptions::n_main1},
    {"--tailor1", &smart::StudyOptions::n_tailor1},
    {"--main2", &smart::StudyOptions::n_main2},
    {"--tailor2", &smart::StudyOptions::n_tailor2},
    {"--k1", &smart::StudyOptions::k1},
    {"--k2", &smart::StudyOptions::k2},
};

struct RealOption {
  std::string_view name;
  double smart::StudyOptions::*field;
};
constexpr RealOption kRealOptions[] = {
    {"--stage2-effect", &smart::StudyOptions::stage2_effect},
    {"--missing-stage1", &smart::StudyOptions::missing_stage1},
    {"--missing-stage2", &smart::StudyOptions::missing_stage2},
    {"--missing-response", &smart::StudyOptions::missing_response},
};

// Walks the command line; the option's value is the next argument.
class Arguments {
 public:
  Arguments(int argc, char** argv) : argc_(argc), argv_(argv) {}

  bool next() { return ++index_ < argc_; }
  std::string_view option() const { return argv_[index_]; }
  std::string_view value() {
    if (index_ + 1 >= argc_) throw UsageError("option " + std::string(option()) + " needs a value");
    return argv_[++index_];
  }

 private:
  int argc_;
  char** argv_;
  int index_ = 0;
};

smart::TreatmentCoding parse_coding(std::string_view coding) {
  if (coding == "pm1") return smart::TreatmentCoding::kMinusOnePlusOne;
  if (coding == "01") return smart::TreatmentCoding::kZeroOne;
  throw UsageError("option --coding: '" + std::string(coding) + "' is not pm1 or 01");
}

smart::ArmLayout parse_layout(std::string_view layout) {
  if (layout == "onehot") return smart::ArmLayout::kOneHot;
  if (layout == "tuple") return smart::ArmLayout::kTuple;
  throw UsageError("option --layout: '" + std::string(layout) + "' is not onehot or tuple");
}

// False when the option is not one of the numeric ones.
bool parse_numeric_option(Arguments& args, smart::StudyOptions* options) {
  const std::string_view option = args.option();
  for (const IntOption& known : kIntOptions) {
    if (option == known.name) {
      options->*known.field = parse_number<int>(option, args.value());
      return true;
    }
  }
  for (const RealOption& known : kRealOptions) {
    if (option == known.name) {
      options->*known.field = parse_number<double>(option, args.value());
      return true;
    }
  }
  if (option == "--seed") {
    options->seed = parse_number<std::uint64_t>(option, args.value());
    return true;
  }
  return false;
}

smart::StudyOptions parse_options(int argc, char** argv, std::string* out_path) {
  smart::StudyOptions options;
  Arguments args(argc, argv);
  while (args.next()) {
    const std::string_view option = args.option();
    if (option == "-h" || option == "--help") {
      std::cout << kUsage;
      std::exit(0);
    } else if (parse_numeric_option(args, &options)) {
      continue;
    } else if (option == "--coding") {
      options.coding = parse_coding(args.value());
    } else if (option == "--layout") {
      options.layout = parse_layout(args.value());
    } else if (option == "--everyone-stage2") {
      options.stage2_indicator = false;
    } else if (option == "--constant") {
      options.constant_covariate = true;
    } else if (option == "--out") {
      *out_path = args.value();
    } else {
      throw UsageError("unknown option '" + std::string(option) + "' (see --help)");
    }
  }
  if (std::string problem = options.validate(); !problem.empty()) throw UsageError(problem);
  return options;
}

// Writes beside the target and renames, so an interrupted run never leaves half a file.
void write_file(const smart::Study& study, const std::string& path) {
  const std::string partial = path + ".partial";
  {
    std::ofstream file(partial, std::ios::binary | std::ios::trunc);
    if (!file)
      throw std::runtime_error("cannot open " + partial + " for writing: " + std::strerror(errno));
    smart::write_csv(study, file);
    file.flush();
    if (!file) {
      std::remove(partial.c_str());
      throw std::runtime_error("writing " + partial + " failed: " + std::strerror(errno));
    }
  }
  if (std::rename(partial.c_str(), path.c_str()) != 0) {
    const std::string reason = std::strerror(errno);
    std::remove(partial.c_str());
    throw std::runtime_error("cannot rename " + partial + " to " + path + ": " + reason);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string out_path;
  try {
    const smart::StudyOptions options = parse_options(argc, argv, &out_path);
    // Millions of subjects take seconds; say so rather than sit silent.
    const bool large = options.n >= 1000000;
    if (large) std::cerr << "generate_study: generating " << options.n << " subjects...\n";
    const smart::Study study = smart::generate_study(options);
    if (large) std::cerr << "generate_study: writing...\n";
    if (out_path.empty()) {
      smart::write_csv(study, std::cout);
      std::cout.flush();
      if (!std::cout) throw std::runtime_error("writing to standard output failed");
    } else {
      write_file(study, out_path);
      std::cerr << "generate_study: wrote " << study.rows() << " subjects, " << study.columns.size()
                << " variables to " << out_path << "\n";
    }
  } catch (const std::exception& e) {
    std::cerr << "generate_study: " << e.what() << "\n";
    return 2;
  }
  return 0;
}
