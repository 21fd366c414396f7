// The generic statement parser: reads a step's PROC statement and its other statements against
// the grammar a procedure module hands over, and resolves variable lists against a data set.
#ifndef TALVEN_HOST_STATEMENT_PARSER_H
#define TALVEN_HOST_STATEMENT_PARSER_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
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

// Resolves one variable list written as `tokens` (the statement after its keyword) against a
// table. `list` names the list in messages. Empty *numbers and false on error; *origins (if
// given) receives, for each number, the token of the list element that brought it in.
bool resolve_variable_list(const std::vector<Token>& tokens, const DataTable& table,
                           const std::string& data_set_name, const std::string& list,
                           bool numeric_only, std::vector<int32_t>* numbers, const ErrorSink& error,
                           std::vector<Token>* origins = nullptr);

// "Line L, column C: Variable X in the LIST list is character; only numeric variables can be
// used there."
std::string character_variable_message(const Token& at, const std::string& name,
                                       const std::string& list);

// Checks the syntax of a variable list without a data set.
bool check_variable_list(const std::vector<Token>& tokens, const Token& end,
                         const std::string& list, const ErrorSink& error);

}  // namespace host

#endif  // TALVEN_HOST_STATEMENT_PARSER_H
