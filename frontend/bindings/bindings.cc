// Generation of the packages' argument lists from the option table.
#include "frontend/bindings/bindings.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace talven::bindings {
namespace {

constexpr std::size_t kPythonWidth = 96;
// R CMD check notes \usage lines wider than 90 characters.
constexpr std::size_t kRWidth = 88;

bool in_packages(const OptionRow& row) {
  return row.argument != nullptr;
}

std::string number_text(double value) {
  char text[64];
  if (value == std::trunc(value) && std::fabs(value) < 1e15) {
    std::snprintf(text, sizeof text, "%.0f", value);
    return text;
  }
  std::snprintf(text, sizeof text, "%.17g", value);
  // The shortest spelling that reads back to the same double.
  for (int digits = 1; digits <= 17; ++digits) {
    char shorter[64];
    std::snprintf(shorter, sizeof shorter, "%.*g", digits, value);
    if (std::strtod(shorter, nullptr) == value) return shorter;
  }
  return text;
}

const char* kind_name(OptionKind kind) {
  switch (kind) {
    case OptionKind::kInteger:
      return "integer";
    case OptionKind::kReal:
      return "real";
    case OptionKind::kFlag:
      return "flag";
    case OptionKind::kSeed:
      return "seed";
    case OptionKind::kInputData:
      return "input";
    case OptionKind::kOutputData:
      return "output";
    case OptionKind::kRole:
      return "role";
    case OptionKind::kPackage:
      return "package";
  }
  return "";
}

bool optional(const OptionRow& row) {
  return row.absent != nullptr || row.kind == OptionKind::kRole ||
         row.kind == OptionKind::kInputData;
}

std::string python_default(const OptionRow& row) {
  if (row.kind == OptionKind::kFlag) return "False";
  if (optional(row)) return "None";
  return number_text(row.fallback);
}

std::string r_default(const OptionRow& row) {
  if (row.kind == OptionKind::kFlag) return "FALSE";
  if (optional(row)) return "NULL";
  return number_text(row.fallback);
}

std::string python_type(const OptionRow& row) {
  switch (row.kind) {
    case OptionKind::kRole:
      return "Names";
    case OptionKind::kInputData:
      return row.required ? "Data" : "Any";
    case OptionKind::kFlag:
      return "bool";
    case OptionKind::kPackage:
      return "Optional[bool]";
    case OptionKind::kReal:
      return row.absent != nullptr ? "Optional[float]" : "float";
    default:
      return row.absent != nullptr ? "Optional[int]" : "int";
  }
}

// Words of `items` joined by ", " and wrapped after `first` characters at `indent`.
std::string wrapped(const std::vector<std::string>& items, std::size_t first,
                    const std::string& indent, const std::string& last, std::size_t width) {
  std::string out;
  std::size_t column = first;
  for (std::size_t k = 0; k < items.size(); ++k) {
    const std::string item = items[k] + (k + 1 < items.size() ? "," : last);
    if (k > 0 && column + 1 + item.size() > width) {
      out += "\n" + indent;
      column = indent.size();
    } else if (k > 0) {
      out += " ";
      ++column;
    }
    out += item;
    column += item.size();
  }
  return out;
}

// Words separated by single spaces, wrapped at `width`.
std::string words_wrapped(const std::vector<std::string>& words, std::size_t first,
                          const std::string& indent, std::size_t width) {
  std::string out;
  std::size_t column = first;
  for (std::size_t k = 0; k < words.size(); ++k) {
    if (k > 0 && column + 1 + words[k].size() > width) {
      out += "\n" + indent;
      column = indent.size();
    } else if (k > 0) {
      out += " ";
      ++column;
    }
    out += words[k];
    column += words[k].size();
  }
  return out;
}

// Built by appending: GCC 12 at -O2 warns falsely (-Wrestrict) on "literal" + string.
std::string quoted(const char* text, const char* none) {
  if (text == nullptr) return none;
  std::string out(1, '"');
  out.append(text).push_back('"');
  return out;
}

void replace_all(std::string& text, const std::string& field, const std::string& value) {
  for (std::size_t at = text.find(field); at != std::string::npos;
       at = text.find(field, at + value.size())) {
    text.replace(at, field.size(), value);
  }
}

// The help of one argument: its description, its statement name, what absence means.
std::string help_text(const OptionRow& row, const char* code_open, const char* code_close,
                      const char* none) {
  std::string out = row.description;
  if (row.kind != OptionKind::kPackage) {
    const bool equals = takes_value(row.kind) || row.kind == OptionKind::kInputData ||
                        row.kind == OptionKind::kOutputData;
    out += std::string(" (") + code_open + row.statement + (equals ? "=" : "") + code_close + ")";
  }
  out += ".";
  if (row.absent != nullptr && row.kind != OptionKind::kInputData) {
    out += std::string(" ") + none + ": " + row.absent + ".";
  }
  return out;
}

}  // namespace

const std::vector<GeneratedFile>& generated_files() {
  static const std::vector<GeneratedFile> files = {
      {"python/talven/_options.py", "frontend/bindings/_options.py.in"},
      {"r/talven/R/options.R", "frontend/bindings/options.R.in"},
      {"r/talven/man/talven.Rd", "frontend/bindings/talven.Rd.in"},
  };
  return files;
}

std::string python_signature(OptionTable table) {
  std::vector<std::string> items;
  for (const OptionRow& row : table) {
    if (!in_packages(row)) continue;
    std::string item = std::string(row.argument) + ": " + python_type(row);
    if (!row.required) item += " = " + python_default(row);
    items.push_back(item);
  }
  return "def fit(" + wrapped(items, 8, "        ", ") -> TalvenResult:", kPythonWidth);
}

std::string python_parameters(OptionTable table) {
  std::string out;
  for (const OptionRow& row : table) {
    if (!in_packages(row)) continue;
    std::vector<std::string> words;
    std::istringstream text(help_text(row, "", "", "None"));
    for (std::string word; text >> word;) words.push_back(word);
    out += std::string("    ") + row.argument + ":\n        " +
           words_wrapped(words, 8, "        ", kPythonWidth) + "\n";
  }
  return out;
}

std::string python_table(OptionTable table) {
  std::string out;
  for (const OptionRow& row : table) {
    if (!in_packages(row) && row.count_of == nullptr) continue;
    out += "    (" + quoted(row.argument, "None") + ", \"" + row.statement + "\", \"" +
           kind_name(row.kind) + "\", " + quoted(row.count_of, "None") + "),\n";
  }
  return out;
}

std::string r_signature(OptionTable table, int indent) {
  std::vector<std::string> items;
  for (const OptionRow& row : table) {
    if (!in_packages(row)) continue;
    items.push_back(row.required ? std::string(row.argument)
                                 : std::string(row.argument) + " = " + r_default(row));
  }
  const std::string pad(static_cast<std::size_t>(indent), ' ');
  return wrapped(items, pad.size(), pad, ")", kRWidth);
}

std::string r_arguments(OptionTable table) {
  std::string out;
  for (const OptionRow& row : table) {
    if (!in_packages(row)) continue;
    out += std::string("  \\item{") + row.argument + "}{" +
           help_text(row, "\\code{", "}", "\\code{NULL}") + "}\n";
  }
  return out;
}

std::string r_table(OptionTable table) {
  std::vector<std::string> arguments, statements, kinds, counts;
  for (const OptionRow& row : table) {
    if (!in_packages(row) && row.count_of == nullptr) continue;
    arguments.push_back(quoted(row.argument, "NA"));
    statements.push_back(quoted(row.statement, "NA"));
    kinds.push_back(quoted(kind_name(row.kind), "NA"));
    counts.push_back(quoted(row.count_of, "NA"));
  }
  const std::string pad(4, ' ');
  return "  argument = c(" + wrapped(arguments, 16, pad, "),", kRWidth) + "\n  statement = c(" +
         wrapped(statements, 17, pad, "),", kRWidth) + "\n  kind = c(" +
         wrapped(kinds, 12, pad, "),", kRWidth) + "\n  count_of = c(" +
         wrapped(counts, 16, pad, "),", kRWidth);
}

std::string fill(const std::string& text, OptionTable table) {
  std::string out = text;
  replace_all(out, "@GENERATED@",
              "Generated from include/talven_options.h by the bindings target; do not edit.");
  replace_all(out, "@PY_SIGNATURE@", python_signature(table));
  replace_all(out, "@PY_PARAMETERS@", python_parameters(table));
  replace_all(out, "@PY_TABLE@", python_table(table));
  replace_all(out, "@R_SIGNATURE@", r_signature(table, 19));
  replace_all(out, "@RD_USAGE@", r_signature(table, 7));
  replace_all(out, "@RD_ARGUMENTS@", r_arguments(table));
  replace_all(out, "@R_TABLE@", r_table(table));
  return out;
}

}  // namespace talven::bindings
