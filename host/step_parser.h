// The parser of one step's statements against the grammar a procedure module hands over, with
// the statements (WHERE, BY) and data set options that the host handles itself.
#ifndef TALVEN_HOST_STEP_PARSER_H
#define TALVEN_HOST_STEP_PARSER_H

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "host/by_groups.h"
#include "host/data_set.h"
#include "host/program.h"
#include "talven_host.h"

namespace host {

struct ItemValue {
  bool given = false;
  Token at;  // where it was given
  double number = 0.0;
  DataSetRef data_set_ref;
  std::unique_ptr<TalvenDataSet> data_set;
  std::filesystem::path output_path;  // output data set options: the file to be written
  bool resolved = false;              // variable lists: numbers below are valid
  std::vector<int32_t> variables;     // 1-based numbers in the data set, in the order written
  // Per entry of `variables`: the numbers of a product's factors (the entry is then 0), or none.
  std::vector<std::vector<int32_t>> factors;
};

struct ParseResult {
  std::map<int32_t, ItemValue> items;
  std::set<int32_t> flags;
  int errors = 0;
  int32_t status = 0;  // TALVEN_PARSE_FAILED or more when errors > 0

  const ItemValue* find(int32_t item) const {
    auto it = items.find(item);
    return it == items.end() || !it->second.given ? nullptr : &it->second;
  }
};

// What the host offers a parse beyond its error messages.
struct ParseServices {
  ErrorSink note;                // NOTE lines; empty: none are written
  StepShared* shared = nullptr;  // what the runs of one step share (BY groups); null: one run
};

// Parses the statements of one step: the procedure's own, and WHERE and BY, which the host
// handles. Every problem goes to `error` as one message that names its line and column; data sets
// named by data set options are opened through `loader` and seen through their data set options.
ParseResult parse_step(const TalvenGrammar& grammar, const Step& step, DataSetLoader& loader,
                       const ErrorSink& error, const ParseServices& services = {});

}  // namespace host

#endif  // TALVEN_HOST_STEP_PARSER_H
