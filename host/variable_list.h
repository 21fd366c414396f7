// Variable lists, as in MAIN1 x1-x5 age--site y:; their syntax, and the variables they name in a
// data set.
#ifndef TALVEN_HOST_VARIABLE_LIST_H
#define TALVEN_HOST_VARIABLE_LIST_H

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "host/data_table.h"
#include "host/program.h"

namespace host {

// Resolves one variable list written as `tokens` (the statement after its keyword) against a
// table. `list` names the list in messages. Empty *numbers and false on error; *origins (if
// given) receives, for each number, the token of the list element that brought it in. A product
// x*y*z is one entry, numbered 0, whose factors' numbers go to *products (one vector per entry,
// empty for a variable); without `products` a product is an error.
bool resolve_variable_list(const std::vector<Token>& tokens, const DataTable& table,
                           const std::string& data_set_name, const std::string& list,
                           bool numeric_only, std::vector<int32_t>* numbers, const ErrorSink& error,
                           std::vector<Token>* origins = nullptr,
                           std::vector<std::vector<int32_t>>* products = nullptr,
                           const std::set<int32_t>* text_treatments = nullptr);

// "Line L, column C: Variable X in the LIST list is character; only numeric variables can be
// used there."
std::string character_variable_message(const Token& at, const std::string& name,
                                       const std::string& list);

// Checks the syntax of a variable list without a data set.
bool check_variable_list(const std::vector<Token>& tokens, const Token& end,
                         const std::string& list, const ErrorSink& error);

}  // namespace host

#endif  // TALVEN_HOST_VARIABLE_LIST_H
