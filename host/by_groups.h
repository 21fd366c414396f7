// BY groups: a step with a BY statement runs its procedure once per group of the DATA= data set,
// each run seeing only that group's observations, and its output data sets collect the groups'
// observations behind the BY variables.
#ifndef TALVEN_HOST_BY_GROUPS_H
#define TALVEN_HOST_BY_GROUPS_H

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/data_table.h"
#include "host/lexer.h"
#include "host/program.h"

namespace host {

struct ByVariable {
  Token name;
  bool descending = false;
};

struct ByStatement {
  Token at;
  std::vector<ByVariable> variables;
  bool notsorted = false;
};

struct ByGroup {
  int64_t first = 0;  // rows first .. first + count - 1 of the table grouped
  int64_t count = 0;
  std::string label;  // "site=2 sex=F"
};

struct ByPlan {
  std::vector<ByGroup> groups;
  // The BY variables with one value per group, for the leading columns of output data sets.
  std::vector<Column> keys;
};

// Reads the variables of a BY statement (the tokens after BY). Errors go to `error`.
std::optional<ByStatement> parse_by(const Statement& statement, const ErrorSink& error);

// Splits the table into its BY groups, in data order. Data that are not grouped as the statement
// says (ascending, DESCENDING, or contiguous with NOTSORTED) are an error naming the first
// observation out of order; so is a BY variable that is not in the table.
std::optional<ByPlan> plan_by_groups(const DataTable& table, const ByStatement& by,
                                     const std::string& data_set_name, const ErrorSink& error);

// With NOTSORTED a group ends wherever a BY value changes, so data that are not grouped run as
// many tiny groups instead of stopping. The NOTE that says so (without "NOTE: ") when more than
// half of the groups hold fewer than kFewObservations observations and some BY value recurs in
// separate groups; empty otherwise, and always without NOTSORTED.
inline constexpr int64_t kFewObservations = 5;
std::string unsorted_groups_note(const ByPlan& plan, const ByStatement& by);

// An output data set of a step with BY groups: written once, after the last group.
struct PendingOutput {
  std::filesystem::path path;
  std::string shown;  // "WORK.EST"
  DataTable table;    // the rows of the groups that ended normally
  DataTable group;    // the rows the running group wrote
  bool group_written = false;
};

// What the runs of one step share.
struct StepShared {
  std::optional<ByStatement> by;
  bool planned = false;
  bool plan_failed = false;
  ByPlan plan;
  size_t current = 0;  // the group being run
  std::map<int32_t, PendingOutput> outputs;
};

// Appends the columns of `from` to `to` below its rows; false when their variables differ.
bool append_rows(DataTable* to, const DataTable& from);

}  // namespace host

#endif  // TALVEN_HOST_BY_GROUPS_H
