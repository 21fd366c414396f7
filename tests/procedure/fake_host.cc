#include "tests/procedure/fake_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "procedure/host_services.h"

extern "C" const TalvenImageInformation* mcn_main(const TalvenAnchor* anchor);

namespace talven_test {
namespace {

FakeHost* current = nullptr;
FakeLibrary* current_library = nullptr;

FakeDataSet* data_of(TalvenDataSet* handle) {
  return reinterpret_cast<FakeDataSet*>(handle);
}

// Shows the severity codes as the real host does and drops the print-control codes.
std::string take_prefix(const char*& format) {
  std::string prefix;
  if (std::strncmp(format, "%1z", 3) == 0) prefix = "ERROR: ";
  if (std::strncmp(format, "%2z", 3) == 0) prefix = "WARNING: ";
  if (std::strncmp(format, "%3z", 3) == 0) prefix = "NOTE: ";
  if (!prefix.empty() || std::strncmp(format, "%8h", 3) == 0 ||
      std::strncmp(format, "%9t", 3) == 0) {
    format += 3;
  }
  return prefix;
}

std::string format_line(const char* format, va_list args) {
  const std::string prefix = take_prefix(format);
  char buffer[8192];
  std::vsnprintf(buffer, sizeof buffer, format, args);
  return prefix + buffer;
}

void end_procedure(int32_t code, int32_t) {
  current->end_codes.push_back(code);
}
int32_t parse_statement(const TalvenGrammar* grammar, TalvenParseHolder*) {
  current->grammar = grammar;
  return current->parse_status;
}
int32_t item_given(int32_t item) {
  return current->data_sets_.count(item) + current->numbers_.count(item) +
                     current->lists_.count(item) + current->outputs_.count(item) >
                 0
             ? 1
             : 0;
}
double item_number(int32_t item) {
  return current->numbers_.at(item);
}
TalvenDataSet* item_data_set(int32_t item) {
  auto found = current->data_sets_.find(item);
  return found == current->data_sets_.end() ? nullptr
                                            : reinterpret_cast<TalvenDataSet*>(&found->second);
}
int32_t item_var_count(int32_t item) {
  return static_cast<int32_t>(current->lists_.at(item).size());
}
int32_t item_var_number(int32_t item, int32_t index) {
  return current->lists_.at(item).at(static_cast<std::size_t>(index));
}
int32_t flag_set(int32_t flag) {
  return current->flags_.count(flag) ? 1 : 0;
}
int64_t data_set_attribute(TalvenDataSet* handle, int32_t code) {
  FakeDataSet* data = data_of(handle);
  if (code == TALVEN_ATTR_VARIABLES) return static_cast<int64_t>(data->variables.size());
  return data->claimed_observations.value_or(static_cast<int64_t>(data->rows.size()));
}
int32_t variable_attributes(TalvenDataSet* handle, int32_t number, char* name, int32_t size,
                            int32_t* length, int32_t* type) {
  FakeDataSet* data = data_of(handle);
  if (number < 1 || number > static_cast<int32_t>(data->variables.size())) return 1;
  const std::string& text = data->variables[static_cast<std::size_t>(number - 1)];
  std::snprintf(name, static_cast<std::size_t>(size), "%s", text.c_str());
  *length = static_cast<int32_t>(text.size());
  *type =
      data->types.empty() ? TALVEN_VAR_NUMERIC : data->types[static_cast<std::size_t>(number - 1)];
  return 0;
}
int32_t declare_variables(TalvenDataSet* handle, int32_t code, const int32_t* numbers,
                          int32_t count) {
  EXPECT_EQ(code, TALVEN_DECLARE_VARIABLES);
  std::vector<int32_t> list(numbers, numbers + count);
  for (int32_t n : list) {
    EXPECT_TRUE(n >= 1 && n <= static_cast<int32_t>(data_of(handle)->variables.size())) << n;
  }
  current->declared.push_back(list);
  return 0;
}
int32_t prepare_data_set(TalvenDataSet*, int32_t code, int32_t item) {
  EXPECT_EQ(code, TALVEN_PREPARE_READING);
  EXPECT_EQ(item, 2);
  return 0;
}
const char* data_set_name(TalvenDataSet* handle) {
  return data_of(handle)->name.c_str();
}
TalvenReader* reader_create(TalvenDataSet* handle, int32_t) {
  auto* reader = new FakeHost::Reader;
  reader->data = data_of(handle);
  current->readers_.push_back(reader);
  return reinterpret_cast<TalvenReader*>(reader);
}
FakeHost::Reader* reader_of(TalvenReader* handle) {
  auto* reader = reinterpret_cast<FakeHost::Reader*>(handle);
  EXPECT_NE(std::find(current->readers_.begin(), current->readers_.end(), reader),
            current->readers_.end());
  return reader;
}
int32_t reader_bind(TalvenReader* handle, int32_t number, double* target, int32_t length,
                    int32_t type) {
  EXPECT_EQ(length, 8);
  EXPECT_EQ(type, TALVEN_BIND_DOUBLE);
  reader_of(handle)->bound.emplace_back(number, target);
  return 0;
}
int32_t reader_finish(TalvenReader*) {
  return 0;
}
int32_t reader_next(TalvenReader* handle) {
  FakeHost::Reader* reader = reader_of(handle);
  if (reader->next >= reader->data->rows.size()) return 0;
  reader->current = reader->next++;
  return 1;
}
int32_t reader_transfer(TalvenReader* handle) {
  FakeHost::Reader* reader = reader_of(handle);
  const std::vector<double>& row = reader->data->rows[reader->current];
  for (auto [number, target] : reader->bound)
    *target = row.at(static_cast<std::size_t>(number - 1));
  return 0;
}
void reader_end(TalvenReader* handle) {
  FakeHost::Reader* reader = reader_of(handle);
  std::erase(current->readers_, reader);
  delete reader;
}
int32_t is_missing(double value) {
  return std::isnan(value) ? 1 : 0;
}
void* allocate(std::size_t bytes) {
  ++current->allocations;
  if (current->fail_allocation > 0 && --current->fail_allocation == 0) return nullptr;
  void* block = std::malloc(bytes);
  current->blocks_[block] = bytes;
  return block;
}
void release(void* block) {
  if (current->blocks_.erase(block) == 0) {
    ++current->bad_releases;
    return;
  }
  std::free(block);
}
void fill(int32_t byte, void* address, std::size_t length) {
  std::memset(address, byte, length);
}
int32_t compare(const void* a, const void* b, std::size_t length) {
  return std::memcmp(a, b, length);
}
void name_to_text(char* field, int32_t length) {
  for (int32_t i = length - 1; i >= 0 && field[i] == ' '; --i) field[i] = '\0';
}
void log_line(const char* format, ...) {
  va_list args;
  va_start(args, format);
  current->log.push_back(format_line(format, args));
  va_end(args);
}
void listing_text(const char* format, ...) {
  va_list args;
  va_start(args, format);
  current->current_line_ += format_line(format, args);
  va_end(args);
}
void listing_end_line() {
  current->listing.push_back(current->current_line_);
  current->current_line_.clear();
}
void titles(int32_t line, const char* text, int32_t length) {
  if (line == 0) {
    current->titles.clear();
    return;
  }
  current->titles.resize(static_cast<std::size_t>(line));
  current->titles[static_cast<std::size_t>(line - 1)] =
      std::string(text, static_cast<std::size_t>(length));
}
void start_listing() {}
int32_t format_text(char* buffer, int32_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = format_line(format, args);
  va_end(args);
  std::snprintf(buffer, static_cast<std::size_t>(size), "%s", text.c_str());
  return static_cast<int32_t>(
      std::min<std::size_t>(text.size(), static_cast<std::size_t>(size - 1)));
}

int32_t write_data_set(int32_t item, const char* const* names, const int32_t* types, int32_t count,
                       const double* numbers, const char* const* texts, int64_t observations) {
  FakeHost::Written w;
  w.item = item;
  w.observations = observations;
  for (int32_t j = 0; j < count; ++j) {
    w.names.emplace_back(names[j]);
    w.types.push_back(types[j]);
    for (int64_t i = 0; i < observations; ++i) {
      const int64_t at = i + j * observations;
      const bool numeric = types[j] == TALVEN_VAR_NUMERIC;
      w.numbers.push_back(numeric ? numbers[at] : kMissing);
      w.texts.emplace_back(!numeric && texts[at] != nullptr ? texts[at] : "");
    }
  }
  current->written.push_back(w);
  return current->write_result;
}
// The delivered rows with every variable of their data set, then the new variables.
int32_t write_observations(int32_t item, TalvenReader* handle, const char* const* names,
                           int32_t count, const double* numbers, int64_t observations) {
  const FakeHost::Reader* reader = reader_of(handle);
  EXPECT_EQ(static_cast<int64_t>(reader->next), observations);
  FakeHost::Written w;
  w.item = item;
  w.observations = observations;
  for (std::size_t v = 0; v < reader->data->variables.size(); ++v) {
    w.names.push_back(reader->data->variables[v]);
    w.types.push_back(TALVEN_VAR_NUMERIC);
    for (int64_t i = 0; i < observations; ++i) {
      w.numbers.push_back(reader->data->rows[static_cast<std::size_t>(i)][v]);
      w.texts.emplace_back();
    }
  }
  for (int32_t j = 0; j < count; ++j) {
    w.names.emplace_back(names[j]);
    w.types.push_back(TALVEN_VAR_NUMERIC);
    for (int64_t i = 0; i < observations; ++i) {
      w.numbers.push_back(numbers[i + j * observations]);
      w.texts.emplace_back();
    }
  }
  current->written.push_back(w);
  return current->write_result;
}

void progress(int32_t done, int32_t total) {
  current->progress.emplace_back(done, total);
}

void explain_character(TalvenDataSet*, int32_t var_number) {
  current->explained.push_back(var_number);
}

void take_model(const TalvenStepResults& r, FakeHost::Results& got) {
  EXPECT_EQ(r.size, sizeof(TalvenStepResults));
  int32_t treatments[3] = {0, 0, 0};
  for (int32_t k = 0; k < r.roleCount; ++k) {
    std::string text = std::string(r.roles[k].role) + ":";
    for (int32_t v = 0; v < r.roles[k].count; ++v) text += std::string(" ") + r.roles[k].names[v];
    if (text.rfind("STG", 0) == 0 && text.find("TRT") == 4) {
      treatments[r.roles[k].stage] = r.roles[k].count;
    }
    got.roles.push_back(text);
  }
  got.minimize = r.minimize != 0;
  for (int32_t k = 0; k < r.levelCount; ++k) {
    const TalvenResultLevel& l = r.levels[k];
    std::string text = std::to_string(l.stage) + ":";
    for (int32_t v = 0; v < treatments[l.stage]; ++v)
      text += " " + std::to_string(static_cast<int>(l.values[v]));
    got.levels.push_back(text + " (" + std::to_string(l.count) + ")");
  }
  got.contrasts.assign(r.contrasts, r.contrasts + r.contrastCount);
  for (int32_t k = 0; k < r.leftOutCount; ++k) {
    got.left_out.push_back(std::string(r.leftOut[k].reason) + ": " +
                           std::to_string(r.leftOut[k].count));
  }
}

void step_results(const TalvenStepResults* r) {
  FakeHost::Results got;
  got.observations = r->observations;
  got.stage1 = r->stage1;
  got.stage2 = r->stage2;
  got.collinear = r->collinear;
  if (r->intervals != 0) got.alpha = r->alpha;
  for (int32_t k = 0; k < r->termCount; ++k) {
    const TalvenResultTerm& t = r->terms[k];
    got.terms.push_back({t.stage, t.term, t.estimate, t.lower, t.upper, t.contrast != 0});
  }
  got.rules.assign(r->rules, r->rules + r->ruleCount);
  got.regime_values.assign(r->regimeValues, r->regimeValues + r->regimeValueCount);
  for (int32_t k = 0; k < r->settingCount; ++k) {
    got.settings.emplace_back(r->settings[k].name, r->settings[k].value);
  }
  take_model(*r, got);
  current->results.push_back(got);
}

int32_t support_entry(TalvenRoutines* table, TalvenParseHolder*, const TalvenDebugSettings* debug,
                      void*) {
  if (debug != nullptr) current->debug_received = *debug;
  EXPECT_EQ(table->size, sizeof(TalvenRoutines));
  *table = TalvenRoutines{sizeof(TalvenRoutines),
                          end_procedure,
                          parse_statement,
                          item_given,
                          item_number,
                          item_data_set,
                          item_var_count,
                          item_var_number,
                          flag_set,
                          data_set_attribute,
                          variable_attributes,
                          declare_variables,
                          prepare_data_set,
                          data_set_name,
                          reader_create,
                          reader_bind,
                          reader_finish,
                          reader_next,
                          reader_transfer,
                          reader_end,
                          is_missing,
                          allocate,
                          release,
                          fill,
                          compare,
                          name_to_text,
                          log_line,
                          listing_text,
                          listing_end_line,
                          titles,
                          start_listing,
                          format_text,
                          current->has_output_routines ? write_data_set : nullptr,
                          current->has_output_routines ? progress : nullptr,
                          current->has_output_routines ? explain_character : nullptr,
                          current->has_output_routines ? write_observations : nullptr,
                          current->has_output_routines ? step_results : nullptr,
                          nullptr,
                          nullptr,
                          nullptr};
  return 0;
}

int32_t get_host_value(const char* name, char* buffer, int32_t size) {
  if (std::strcmp(name, "DEBUG") != 0 || !current->debug_value) return -1;
  std::snprintf(buffer, static_cast<std::size_t>(size), "%s", current->debug_value->c_str());
  return static_cast<int32_t>(std::strlen(buffer));
}
TalvenSupportEntry load_support_module(const char* name) {
  const std::string module = name;
  if ((module == "SASPROCI" && current->has_sasproci) ||
      (module == "SASPROCD" && current->has_sasprocd)) {
    current->modules_loaded.push_back(module);
    return support_entry;
  }
  return nullptr;
}
void host_message(const char* text) {
  const std::string prefix = take_prefix(text);
  current->host_messages.push_back(prefix + text);
}
void anchor_end_procedure(int32_t code) {
  current->end_codes.push_back(code);
}

const TalvenAnchor kAnchor = {sizeof(TalvenAnchor), get_host_value, load_support_module,
                              host_message, anchor_end_procedure};

void check_arguments(int32_t cores, int32_t fixed_two, const double* Y1, const double* inputY2,
                     int32_t n1, int32_t n2, const int32_t* resp, const int32_t* A1,
                     const int32_t* A2, const double* H10, int32_t p10, const double* H11,
                     int32_t p11, const double* H20, int32_t p20, const double* H21, int32_t p21,
                     const double* levels1, int32_t K1, const double* levels2, int32_t K2,
                     const double* contrasts, int32_t nC, int32_t nB1, int32_t nB2, int32_t nGrid,
                     double grid_scale, uint8_t derive_ci, double alpha, double* beta1,
                     double* beta2, double* upper, double* lower, int32_t* collinear,
                     uint8_t* error_flag, int32_t message_length, int32_t* message) {
  FakeLibrary& lib = *current_library;
  lib.called = true;
  EXPECT_EQ(fixed_two, 2);
  auto copy = [](const auto* data, int64_t count) {
    return std::vector<std::remove_const_t<std::remove_pointer_t<decltype(data)>>>(data,
                                                                                   data + count);
  };
  lib.cores = cores;
  lib.n1 = n1, lib.n2 = n2, lib.p10 = p10, lib.p11 = p11, lib.p20 = p20, lib.p21 = p21;
  lib.K1 = K1, lib.K2 = K2, lib.nC = nC, lib.nBootstrap1 = nB1, lib.nBootstrap2 = nB2;
  lib.nGrid = nGrid, lib.grid_scale = grid_scale, lib.derive_ci = derive_ci, lib.alpha = alpha;
  lib.message_length = message_length;
  lib.Y1 = copy(Y1, n1), lib.Y2 = copy(inputY2, n1), lib.resp_status = copy(resp, n1);
  lib.A1 = copy(A1, n1), lib.A2 = copy(A2, n1);
  lib.H10 = copy(H10, int64_t{n1} * p10), lib.H11 = copy(H11, int64_t{n1} * p11);
  lib.H20 = copy(H20, int64_t{n1} * p20), lib.H21 = copy(H21, int64_t{n1} * p21);
  lib.levels1 = copy(levels1, int64_t{K1 - 1} * K1);
  lib.levels2 = copy(levels2, int64_t{K2 - 1} * K2);
  const int32_t p1 = p10 + K1 * (p11 + 1);
  const int32_t p2 = p20 + K2 * (p21 + 1);
  lib.contrasts = copy(contrasts, int64_t{nC} * p1);
  for (int32_t k = 0; k < message_length; ++k) EXPECT_EQ(message[k], ' ');
  EXPECT_EQ(*error_flag, 0);
  if (!lib.failure_text.empty()) {
    const int32_t length =
        std::min<int32_t>(static_cast<int32_t>(lib.failure_text.size()), message_length - 1);
    for (int32_t k = 0; k < length; ++k) {
      message[k] = static_cast<unsigned char>(lib.failure_text[static_cast<std::size_t>(k)]);
    }
    message[length] = 0;
    *error_flag = 255;
    return;
  }
  // Recognisable estimates: stage 1 are 1.5, 2.5, ...; stage 2 are -0.25, -1.25, ...
  for (int32_t k = 0; k < p1; ++k) beta1[k] = k + 1.5;
  for (int32_t k = 0; k < p2; ++k) beta2[k] = -0.25 - k;
  if (derive_ci) {
    KestrionProgress report =
        lib.progress_callbacks.empty() ? nullptr : lib.progress_callbacks.back();
    for (int32_t b = 1; report != nullptr && b <= nB1; ++b) report(b, nB1, lib.progress_context);
    for (int32_t k = 0; k < p1 + nC; ++k) {
      upper[k] = 10.0 + k;
      lower[k] = -10.0 - k;
    }
    *collinear = lib.collinear;
  }
}

void fake_checkversion(const int32_t* version, uint8_t* mismatch) {
  EXPECT_EQ(version[0], 1);
  EXPECT_EQ(version[1], 0);
  EXPECT_EQ(version[2], 0);
  *mismatch = current_library->mismatch ? 255 : 0;
}
void fake_seed(int32_t seed) {
  current_library->seeds.push_back(seed);
}
void fake_progress(KestrionProgress callback, void* context) {
  current_library->progress_callbacks.push_back(callback);
  current_library->progress_context = context;
}

}  // namespace

FakeHost::FakeHost() {
  current = this;
}

FakeHost::~FakeHost() {
  // The real host frees whatever a step leaves behind; so does this one.
  for (auto& [block, size] : blocks_) std::free(block);
  for (Reader* reader : readers_) delete reader;
  current = nullptr;
}

void FakeHost::data_set(int32_t item, const FakeDataSet& data) {
  data_sets_[item] = data;
}

void FakeHost::list(int32_t item, const std::vector<std::string>& names) {
  const FakeDataSet& data = data_sets_.at(1);
  std::vector<int32_t> numbers;
  for (const std::string& name : names) {
    auto found = std::find(data.variables.begin(), data.variables.end(), name);
    EXPECT_NE(found, data.variables.end()) << name;
    numbers.push_back(static_cast<int32_t>(found - data.variables.begin()) + 1);
  }
  lists_[item] = numbers;
}

void FakeHost::clear_item(int32_t item) {
  data_sets_.erase(item);
  numbers_.erase(item);
  lists_.erase(item);
}

void FakeHost::run() {
  const TalvenImageInformation* image = mcn_main(&kAnchor);
  ASSERT_NE(image, nullptr);
  image->header->driver(nullptr);
}

void FakeHost::start_services() {
  talven::store_anchor(&kAnchor);
  talven::start_host_services(nullptr);
}

std::vector<std::string> FakeHost::lines_with(const std::string& prefix) const {
  std::vector<std::string> found;
  for (const std::string& line : log) {
    if (line.rfind(prefix, 0) == 0) found.push_back(line.substr(prefix.size()));
  }
  return found;
}

FakeLibrary::FakeLibrary() : saved(talven::kestrion_library()) {
  current_library = this;
  talven::kestrion_library() = {fake_checkversion, check_arguments, fake_seed, fake_progress,
                                &::valuekestrion};
}

FakeLibrary::~FakeLibrary() {
  talven::kestrion_library() = saved;
  current_library = nullptr;
}

FakeDataSet study(int n) {
  FakeDataSet data;
  data.name = "WORK.STUDY";
  data.variables = {"x1", "x2", "t1", "a1", "r", "m2", "t2", "a2", "y"};
  for (int i = 0; i < n; ++i) {
    const double a1 = i % 2 == 0 ? 1 : -1;
    const double a2 = (i / 2) % 2 == 0 ? 1 : -1;
    data.rows.push_back(
        {0.5 * i, 1.0 / (i + 1), i % 3 - 1.0, a1, 1, 2.0 * i, i % 4 * 0.5, a2, 0.1 * i * i});
  }
  return data;
}

void minimal_statement(FakeHost& host, const FakeDataSet& data) {
  host.data_set(1, data);
  host.list(8, {"t1"});
  host.list(10, {"t2"});
  host.list(12, {"y"});
  host.list(13, {"a1"});
  host.list(14, {"a2"});
}

}  // namespace talven_test
