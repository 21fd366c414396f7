// Data set options, as in DATA=study(WHERE=(age >= 18) KEEP=id age y RENAME=(y=outcome)
// FIRSTOBS=10 OBS=500), and the table a step sees through them.
//
// They apply in SAS's order: KEEP= and DROP= (old names), RENAME=, then WHERE= (new names; the
// step's WHERE statement when the data set has no WHERE=), then FIRSTOBS= and OBS=, which count
// the observations that the WHERE expression selects.
#ifndef TALVEN_HOST_DATA_SET_OPTIONS_H
#define TALVEN_HOST_DATA_SET_OPTIONS_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/data_table.h"
#include "host/lexer.h"
#include "host/program.h"
#include "host/where.h"

namespace host {

struct VariableListOption {
  Token at;                   // the option's name
  std::vector<Token> tokens;  // the list as written
};

struct DataSetOptions {
  Token at;  // the opening parenthesis
  std::optional<VariableListOption> keep;
  std::optional<VariableListOption> drop;
  std::vector<std::pair<Token, Token>> rename;  // old, new
  std::optional<WhereClause> where;
  std::optional<int64_t> firstobs;
  Token firstobs_at;
  std::optional<int64_t> obs;  // OBS=MAX: none
  Token obs_at;
};

class TokenCursor;

// Reads "( ... )" at the cursor (the parenthesis); the cursor ends past the closing one. Every
// problem goes to the cursor's messages; false then.
bool parse_data_set_options(TokenCursor& in, DataSetOptions* options);

// A table as a step sees it.
struct ShapedTable {
  std::shared_ptr<const DataTable> table;
  std::string where_text;  // the WHERE expression applied, for the log; empty when none
};

// Applies the options (if any) and, when the data set has no WHERE= option, the step's WHERE
// statement (if any) to `table`. The table itself is shared when nothing changes. Errors name
// the variable, its place and the data set; nullopt then.
std::optional<ShapedTable> shape_table(std::shared_ptr<const DataTable> table,
                                       const DataSetOptions* options,
                                       const WhereClause* where_statement,
                                       const std::string& data_set_name, const ErrorSink& error);

// The rows `rows` (0-based, in the order given) of the table, all columns.
std::shared_ptr<const DataTable> select_rows(const DataTable& table,
                                             const std::vector<int64_t>& rows);

}  // namespace host

#endif  // TALVEN_HOST_DATA_SET_OPTIONS_H
