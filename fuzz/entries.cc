#include "fuzz/entries.h"

#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "host/csv_reader.h"
#include "host/data_set.h"
#include "host/html_output.h"
#include "host/program.h"
#include "host/sas_reader.h"
#include "host/session.h"
#include "host/step_parser.h"
#include "host/text_util.h"
#include "procedure/kestrion_info.h"

namespace fuzz {

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

std::string_view as_text(const uint8_t* data, size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

// A reader may refuse any input, but a table it returns must be whole: every column as long as
// the table, values only in the vector of the column's type, names present.
void check_table(const host::ReadOutcome& outcome) {
  if (!outcome.ok()) {
    require(!outcome.error().empty());
    return;
  }
  const host::DataTable& t = **outcome;
  require(t.rows >= 0);
  for (const host::Column& c : t.columns) {
    require(!c.name.empty());
    if (c.type == host::VarType::kNumeric) {
      require(static_cast<int64_t>(c.numbers.size()) == t.rows && c.texts.empty());
      for (double v : c.numbers) require(!std::isinf(v));
    } else {
      require(static_cast<int64_t>(c.texts.size()) == t.rows && c.numbers.empty());
    }
  }
}

std::shared_ptr<const host::DataTable> make_study() {
  auto t = std::make_shared<host::DataTable>();
  const char* names[] = {"id", "x1", "x2", "x3", "x10", "age", "o11", "a1", "stage2", "a2", "y"};
  const int64_t rows = 4;
  for (const char* name : names) {
    host::Column c;
    c.name = name;
    for (int64_t r = 0; r < rows; ++r) c.numbers.push_back(static_cast<double>(r % 2));
    t->columns.push_back(std::move(c));
  }
  host::Column text;
  text.name = "name";
  text.type = host::VarType::kCharacter;
  text.texts.assign(rows, "x");
  t->columns.insert(t->columns.begin() + 6, std::move(text));
  t->rows = rows;
  return t;
}

// Every data set name opens the same table, except members called MISSING, which do not exist.
class MemoryLoader : public host::DataSetLoader {
 public:
  explicit MemoryLoader(const host::Libraries& libraries)
      : host::DataSetLoader(libraries), table_(make_study()) {}
  host::Result<std::unique_ptr<TalvenDataSet>> open(const host::DataSetRef& ref) override {
    if (host::to_upper(ref.member) == "MISSING") {
      return host::Failure{"Data set " + ref.display() + " does not exist."};
    }
    auto ds = std::make_unique<TalvenDataSet>();
    ds->table = table_;
    ds->name = ref.display();
    return ds;
  }
  int64_t variables() const { return static_cast<int64_t>(table_->columns.size()); }
  int64_t rows() const { return table_->rows; }

 private:
  std::shared_ptr<const host::DataTable> table_;
};

class ParseOnly : public host::ProgramActions {
 public:
  explicit ParseOnly(MemoryLoader& loader) : loader_(loader) {}

  void run_step(const host::Step& step) override {
    int messages = 0;
    const host::Step body = host::without_session_statements(
        step, [&](const host::Statement& st) { session_statement(st); });
    host::StepShared shared;
    host::ParseServices services;
    services.note = [](const std::string& message) { require(!message.empty()); };
    services.shared = &shared;
    const host::ParseResult r = host::parse_step(
        talven::talven_grammar(), body, loader_,
        [&](const std::string& message) { require(!message.empty()), ++messages; }, services);
    require((r.errors > 0) == (r.status >= TALVEN_PARSE_FAILED));
    require(r.errors <= messages);
    if (r.errors > 0) return;
    // Data set options, WHERE and BY only ever select: never more rows or columns than the data.
    for (const auto& [item, value] : r.items) {
      if (!value.data_set) continue;
      const host::DataTable& t = *value.data_set->table;
      require(t.rows >= 0 && t.rows <= loader_.rows());
      require(static_cast<int64_t>(t.columns.size()) <= loader_.variables());
      for (const host::Column& c : t.columns) {
        require(static_cast<int64_t>(c.type == host::VarType::kNumeric ? c.numbers.size()
                                                                       : c.texts.size()) == t.rows);
      }
    }
    const int64_t vars = loader_.variables();
    for (const auto& [item, value] : r.items) {
      if (!value.resolved) continue;
      for (int32_t v : value.variables) require(v >= 1 && v <= vars);
    }
  }
  void libname(const host::Statement& /*statement*/) override {}
  void session_statement(const host::Statement& statement) override {
    host::apply_session_statement(statement, log_, listing_, check_report, &html_);
  }
  void error(int line, int column, const std::string& message) override {
    require(line >= 1 && column >= 1 && !message.empty());
  }
  void warning(int line, int column, const std::string& message) override {
    require(line >= 1 && column >= 1 && !message.empty());
  }

 private:
  static void check_report(host::Severity /*severity*/, const host::Token& at,
                           const std::string& message) {
    require(at.line >= 1 && at.column >= 1 && !message.empty());
  }

  MemoryLoader& loader_;
  host::Log log_{nullptr};
  host::Listing listing_{nullptr};
  // ODS statements are parsed and open reports as in a run, but no report is ever written.
  host::HtmlReports html_{log_, {}, [](const std::filesystem::path&, const host::Report&) {
                            return host::Result<void>();
                          }};
};

}  // namespace

void run_program(const uint8_t* data, size_t size) {
  // A folder that does not exist: an OUTEST= target is located but never written.
  const host::Libraries libraries("/nonexistent/talven-fuzz");
  MemoryLoader loader(libraries);
  ParseOnly actions(loader);
  host::run_program_text(as_text(data, size), actions);
}

void run_csv(const uint8_t* data, size_t size) {
  check_table(host::parse_csv(as_text(data, size), ',', "fuzz.csv"));
  check_table(host::parse_csv(as_text(data, size), '\t', "fuzz.tsv"));
}

void run_sas7bdat(const uint8_t* data, size_t size) {
  check_table(host::parse_sas(as_text(data, size), host::SasFormat::kSas7bdat, "fuzz.sas7bdat"));
}

void run_xport(const uint8_t* data, size_t size) {
  check_table(host::parse_sas(as_text(data, size), host::SasFormat::kXport, "fuzz.xpt"));
}

}  // namespace fuzz
