// Wall time, user CPU time and peak memory of the analysis on the workloads W1-W5 (synthetic
// studies, fixed seeds). W1-W3 and W5 call the library directly; W4 runs the talven command on a
// CSV file. The machine is shared, so user CPU time is the steadier figure of the two.
//
// Each workload runs in a child process so that its peak resident memory is its own.
//
//   talven_bench [--only W1,W2,...] [--repeat N] [--cores 1,2,...] [--talven PATH] [--keep DIR]
//                [--limits]
//
// --cores runs every selected workload once per listed CORES= value (default 1). --limits also
// prints every estimate and limit exactly (hexadecimal), so that two builds, or two CORES=
// values, can be shown to give the same bits.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "examples/study/study.h"
#include "kestrion.h"

namespace {

bool g_print_limits = false;
int32_t g_cores = 1;

struct Workload {
  std::string name;
  std::string description;
  smart::StudyOptions options;
  bool derive_ci = true;
  bool value = false;  // also the value table at its defaults (VALUE)
  int n_contrasts = 0;
  int32_t n_grid = 10;
  int32_t n_bootstrap = 1000;  // both phases
  int repeats = 5;
  bool through_talven = false;
};

struct Result {
  double median_seconds = 0;
  double min_seconds = 0;
  double median_cpu_seconds = 0;  // user CPU time of one analysis
  int32_t n_collinear = 0;
  int32_t n_bootstrap1 = 0;
  long peak_kib = 0;
  bool ok = false;
  std::string error;
};

std::vector<Workload> workloads() {
  std::vector<Workload> w;
  Workload w1;
  w1.name = "W1";
  w1.description = "n1=300, 1 covariate per list, 101 grid rows";
  w1.options.n = 300;
  w1.options.seed = 101;
  w.push_back(w1);

  // The value table's cost beside W1's intervals: the embedded regimes and the estimated
  // regime's interval with its double bootstrap, about 243,000 two-stage refits.
  Workload w1v = w1;
  w1v.name = "W1v";
  w1v.description = "W1's study: point estimates and VALUE at its defaults";
  w1v.derive_ci = false;
  w1v.value = true;
  w1v.repeats = 1;
  w.push_back(w1v);

  Workload w2 = w1;
  w2.name = "W2";
  w2.description = "W1 with two TAILOR2 (1001 grid rows), two contrasts";
  w2.options.n_tailor2 = 2;
  w2.options.seed = 102;
  w2.n_contrasts = 2;
  w2.repeats = 3;
  w.push_back(w2);

  Workload w3 = w1;
  w3.name = "W3";
  w3.description = "n1=5000, five MAIN1 and MAIN2, two TAILOR1, one TAILOR2";
  w3.options.n = 5000;
  w3.options.seed = 103;
  w3.options.n_main1 = 5;
  w3.options.n_main2 = 5;
  w3.options.n_tailor1 = 2;
  w3.repeats = 3;
  w.push_back(w3);

  Workload w1x4 = w1;
  w1x4.name = "W1x4";
  w1x4.description = "W1 with four times the subjects (scaling)";
  w1x4.options.n = 1200;
  w1x4.repeats = 3;
  w.push_back(w1x4);

  Workload w1g = w1;
  w1g.name = "W1g10";
  w1g.description = "W1 with two TAILOR2: ten times the grid rows (scaling)";
  w1g.options.n_tailor2 = 2;
  w1g.repeats = 3;
  w.push_back(w1g);

  Workload w4;
  w4.name = "W4";
  w4.description = "n1=1,000,000, ten MAIN1/MAIN2, three TAILOR1, two TAILOR2, via talven";
  w4.options.n = 1000000;
  w4.options.seed = 104;
  w4.options.n_main1 = 10;
  w4.options.n_main2 = 10;
  w4.options.n_tailor1 = 3;
  w4.options.n_tailor2 = 2;
  w4.derive_ci = false;
  w4.repeats = 3;
  w4.through_talven = true;
  w.push_back(w4);

  Workload w5 = w1;
  w5.name = "W5";
  w5.description = "n1=400, 2 MAIN1, 2 MAIN2, four TAILOR2 (100001 grid rows)";
  w5.options.n = 400;
  w5.options.seed = 105;
  w5.options.n_main1 = 2;
  w5.options.n_main2 = 2;
  w5.options.n_tailor2 = 4;
  w5.repeats = 1;
  w.push_back(w5);

  Workload w5s = w5;
  w5s.name = "W5s";
  w5s.description = "W5 with 300 + 300 replicates";
  w5s.n_bootstrap = 300;
  w.push_back(w5s);
  return w;
}

double user_seconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec) +
         1e-6 * static_cast<double>(usage.ru_utime.tv_usec);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// Contrast c picks the c-th treatment-interaction coefficient of stage 1 and adds the
// treatment coefficient, so every contrast is a different linear combination.
std::vector<double> make_contrasts(int n_contrasts, int32_t p1) {
  std::vector<double> c(static_cast<size_t>(n_contrasts) * p1, 0.0);
  for (int r = 0; r < n_contrasts; ++r) {
    c[static_cast<size_t>(r) + static_cast<size_t>(p1 - 1) * n_contrasts] = 1.0;
    c[static_cast<size_t>(r) + static_cast<size_t>(p1 - 2 - r) * n_contrasts] = (r % 2) ? -2 : 2;
  }
  return c;
}

// The library's message, NUL-terminated, one character per element.
std::string message_text(const std::vector<int32_t>& message) {
  std::string text;
  for (int32_t c : message) {
    if (c == 0) break;
    text.push_back(static_cast<char>(c));
  }
  return text;
}

// --limits: the estimates and limits in hexadecimal, which must not change by one bit.
void print_limits(const std::string& name, int32_t n_collinear, const std::vector<double>& beta1,
                  const std::vector<double>& beta2, const std::vector<double>& lower,
                  const std::vector<double>& upper) {
  const auto p1 = static_cast<int32_t>(beta1.size());
  const auto m = static_cast<int32_t>(lower.size());
  std::printf("%s collinear %d\n", name.c_str(), static_cast<int>(n_collinear));
  for (int32_t k = 0; k < m; ++k) {
    std::printf("%s %2d %-24a %-24a %-24a\n", name.c_str(), static_cast<int>(k + 1),
                k < p1 ? beta1[static_cast<size_t>(k)] : 0.0, lower[static_cast<size_t>(k)],
                upper[static_cast<size_t>(k)]);
  }
  for (size_t k = 0; k < beta2.size(); ++k) {
    std::printf("%s beta2 %2d %a\n", name.c_str(), static_cast<int>(k + 1), beta2[k]);
  }
  std::fflush(stdout);
}

// VALUE at its defaults: NBOOTVALUE=1000, NBOOTTUNE=200, NBOOTSTRAP2=1000, MALPHA chosen.
// With --limits, the table's estimates and limits in hexadecimal, under the workload's name.
void value_table(const std::string& name, const smart::AnalysisArrays& a,
                 const std::vector<double>& beta1, const std::vector<double>& beta2, uint8_t* flag,
                 std::vector<int32_t>& message) {
  const auto rows = static_cast<size_t>(KESTRION_VALUE_ROWS(a.K1, a.K2));
  std::vector<double> estimate(rows), lower(rows), upper(rows);
  std::vector<int32_t> followers(rows), kept(rows), status(rows);
  double m = 0, p_hat = 0, m_alpha = 0;
  int32_t choice = 0;
  const KestrionValueData data = value_data(a, beta1.data(), beta2.data());
  const KestrionValueOptions options{0.05, 1000, 20181208, g_cores, 0, 0.0, 200, 1000, 0};
  const KestrionValueTable table{estimate.data(), lower.data(),  upper.data(), followers.data(),
                                 kept.data(),     status.data(), &m,           &p_hat,
                                 &m_alpha,        &choice};
  valuekestrion(&data, &options, &table, flag, static_cast<int32_t>(message.size()),
                message.data());
  if (!g_print_limits || *flag != 0) return;
  std::printf("%s m %a pHat %a MAlpha %a choice %d\n", name.c_str(), m, p_hat, m_alpha,
              static_cast<int>(choice));
  for (size_t r = 0; r < rows; ++r) {
    std::printf("%s value %2d %-24a %-24a %-24a %d\n", name.c_str(), static_cast<int>(r),
                estimate[r], lower[r], upper[r], static_cast<int>(kept[r]));
  }
  std::fflush(stdout);
}

Result run_library(const Workload& w) {
  Result result;
  const smart::Study study = smart::generate_study(w.options);
  smart::AnalysisArrays a;
  std::string error;
  if (!smart::build_analysis_arrays(study, smart::default_spec(w.options), &a, &error)) {
    result.error = error;
    return result;
  }
  const int32_t p1 = a.p1();
  const int32_t p2 = a.p2();
  const std::vector<double> contrasts = make_contrasts(w.n_contrasts, p1);
  const int32_t m = p1 + w.n_contrasts;
  std::vector<double> beta1(p1), beta2(p2), upper(m), lower(m);
  std::vector<int32_t> message(3001);
  std::vector<double> times, cpu;
  for (int r = 0; r < w.repeats; ++r) {
    int32_t n_collinear = 0;
    uint8_t flag = 0;
    seedkestrion(20181208);
    const double cpu0 = user_seconds(RUSAGE_SELF);
    const auto t0 = std::chrono::steady_clock::now();
    runkestrion(g_cores, 2, a.Y1.data(), a.inputY2.data(), a.n1, a.n2, a.respStatus.data(),
                a.A1.data(), a.inputA2.data(), a.H10.data(), a.p10, a.H11.data(), a.p11,
                a.inputH20.data(), a.p20, a.inputH21.data(), a.p21, a.levels1.data(), a.K1,
                a.levels2.data(), a.K2, contrasts.data(), w.n_contrasts, w.n_bootstrap,
                w.n_bootstrap, w.n_grid, 2.58, w.derive_ci ? 1 : 0, 0.05, beta1.data(),
                beta2.data(), upper.data(), lower.data(), &n_collinear, &flag,
                static_cast<int32_t>(message.size()), message.data());
    if (flag == 0 && w.value) value_table(w.name, a, beta1, beta2, &flag, message);
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    cpu.push_back(user_seconds(RUSAGE_SELF) - cpu0);
    if (flag) {
      result.error = message_text(message);
      return result;
    }
    result.n_collinear = n_collinear;
    if (g_print_limits && r == 0) print_limits(w.name, n_collinear, beta1, beta2, lower, upper);
  }
  result.n_bootstrap1 = w.derive_ci ? w.n_bootstrap : 0;
  result.median_seconds = median(times);
  result.median_cpu_seconds = median(cpu);
  result.min_seconds = *std::min_element(times.begin(), times.end());
  result.ok = true;
  return result;
}

std::filesystem::path self_dir() {
  return std::filesystem::canonical("/proc/self/exe").parent_path();
}

Result run_talven(const Workload& w, const std::filesystem::path& talven,
                  const std::filesystem::path& dir) {
  Result result;
  std::filesystem::create_directories(dir);
  const auto csv = dir / "w4.csv";
  if (!std::filesystem::exists(csv)) {
    const smart::Study study = smart::generate_study(w.options);
    std::ofstream out(csv);
    smart::write_csv(study, out);
  }
  const smart::AnalysisSpec spec = smart::default_spec(w.options);
  auto list = [](const std::vector<std::string>& names) {
    std::string s;
    for (const auto& n : names) s += " " + n;
    return s;
  };
  std::ofstream program(dir / "w4.sas");
  program << "PROC TALVEN DATA=w4;\n  MAIN1" << list(spec.main1) << ";\n  TAILOR1"
          << list(spec.tailor1) << ";\n  STG1TRT" << list(spec.stg1trt) << ";\n"
          << (spec.stg2sample.empty() ? "" : "  STG2SAMPLE " + spec.stg2sample + ";\n") << "  MAIN2"
          << list(spec.main2) << ";\n  TAILOR2" << list(spec.tailor2) << ";\n  STG2TRT"
          << list(spec.stg2trt) << ";\n  RESPONSE " << spec.response << ";\nRUN;\n";
  program.close();
  std::vector<double> times, cpu;
  for (int r = 0; r < w.repeats; ++r) {
    const std::string command = "'" + talven.string() + "' -L '" + dir.string() + "' --log '" +
                                (dir / "w4.log").string() + "' --print '" +
                                (dir / "w4.lst").string() + "' '" + (dir / "w4.sas").string() + "'";
    const double cpu0 = user_seconds(RUSAGE_CHILDREN);
    const auto t0 = std::chrono::steady_clock::now();
    const int status = std::system(command.c_str());
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    cpu.push_back(user_seconds(RUSAGE_CHILDREN) - cpu0);
    if (status != 0) {
      result.error = "talven exited with status " + std::to_string(WEXITSTATUS(status)) + "; see " +
                     (dir / "w4.log").string();
      return result;
    }
  }
  result.median_seconds = median(times);
  result.min_seconds = *std::min_element(times.begin(), times.end());
  result.median_cpu_seconds = median(cpu);
  result.ok = true;
  return result;
}

// Runs `body` in a child process; returns its result and the child's peak resident memory.
Result in_child(const std::function<Result()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return Result{};
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    Result r = body();
    std::ostringstream s;
    s << r.ok << ' ' << r.median_seconds << ' ' << r.min_seconds << ' ' << r.median_cpu_seconds
      << ' ' << r.n_collinear << ' ' << r.n_bootstrap1 << ' ' << r.error;
    const std::string text = s.str();
    ssize_t written = write(fds[1], text.data(), text.size());
    (void)written;
    _exit(0);
  }
  close(fds[1]);
  std::string text;
  char buffer[4096];
  ssize_t got;
  while ((got = read(fds[0], buffer, sizeof buffer)) > 0) text.append(buffer, buffer + got);
  close(fds[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  Result r;
  std::istringstream in(text);
  in >> r.ok >> r.median_seconds >> r.min_seconds >> r.median_cpu_seconds >> r.n_collinear >>
      r.n_bootstrap1;
  std::getline(in, r.error);
  r.peak_kib = usage.ru_maxrss;
  return r;
}

struct Arguments {
  std::vector<std::string> only;
  std::vector<int32_t> cores_list = {1};
  int repeat_override = 0;
  std::filesystem::path talven = self_dir() / "talven";
  std::filesystem::path keep = std::filesystem::temp_directory_path() / "talven-bench";
};

// False after printing the usage on an unknown argument.
bool parse_arguments(int argc, char** argv, Arguments* args) {
  std::vector<std::string>& only = args->only;
  std::vector<int32_t>& cores_list = args->cores_list;
  int& repeat_override = args->repeat_override;
  std::filesystem::path& talven = args->talven;
  std::filesystem::path& keep = args->keep;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::cerr << "talven_bench: " << arg << " needs a value\n";
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--only") {
      std::stringstream s(value());
      for (std::string item; std::getline(s, item, ',');) only.push_back(item);
    } else if (arg == "--repeat") {
      repeat_override = std::atoi(value().c_str());
    } else if (arg == "--talven") {
      talven = value();
    } else if (arg == "--limits") {
      g_print_limits = true;
    } else if (arg == "--cores") {
      cores_list.clear();
      std::stringstream s(value());
      for (std::string item; std::getline(s, item, ',');)
        cores_list.push_back(std::atoi(item.c_str()));
    } else if (arg == "--keep") {
      keep = value();
    } else {
      std::cerr << "usage: talven_bench [--only W1,W2,...] [--repeat N] [--cores 1,2,...] "
                   "[--talven PATH] [--keep DIR] [--limits]\n";
      return false;
    }
  }
  return true;
}

void print_result(const Workload& w, int32_t cores, const Result& r) {
  const int32_t kept = r.n_bootstrap1 - r.n_collinear;
  char per_replicate[32] = "-";
  if (kept > 0)
    std::snprintf(per_replicate, sizeof per_replicate, "%.3f", 1000.0 * r.median_seconds / kept);
  std::printf("%-6s %5d %-62s %9.3f %9.3f %9.3f %9.1f %12s\n", w.name.c_str(),
              static_cast<int>(cores), w.description.c_str(), r.median_seconds, r.min_seconds,
              r.median_cpu_seconds, static_cast<double>(r.peak_kib) / 1024.0, per_replicate);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  if (!parse_arguments(argc, argv, &args)) return 2;
  const std::vector<std::string>& only = args.only;
  std::printf("%-6s %5s %-62s %9s %9s %9s %9s %12s\n", "work", "cores", "description", "median s",
              "min s", "user s", "peak MiB", "ms/replicate");
  std::fflush(stdout);  // the children inherit the buffer
  int failures = 0;
  for (const int32_t cores : args.cores_list) {
    g_cores = cores;
    for (Workload w : workloads()) {
      if (!only.empty() && std::find(only.begin(), only.end(), w.name) == only.end()) continue;
      if (args.repeat_override > 0) w.repeats = args.repeat_override;
      const Result r = in_child([&] {
        return w.through_talven ? run_talven(w, args.talven, args.keep) : run_library(w);
      });
      if (!r.ok) {
        std::printf("%-6s %5d %-62s FAILED: %s\n", w.name.c_str(), static_cast<int>(cores),
                    w.description.c_str(), r.error.c_str());
        ++failures;
        continue;
      }
      print_result(w, cores, r);
    }
  }
  return failures ? 1 : 0;
}
