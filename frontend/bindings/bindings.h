// The Python and R packages' static argument lists and help, generated from the option table so
// that nothing of an option is copied by hand into either package.
#ifndef TALVEN_FRONTEND_BINDINGS_BINDINGS_H
#define TALVEN_FRONTEND_BINDINGS_BINDINGS_H

#include <string>
#include <vector>

#include "talven_options.h"

namespace talven::bindings {

struct GeneratedFile {
  std::string path;           // relative to the repository
  std::string template_path;  // relative to the repository; empty: none
};

// The files generated, each from its template, in the order they are written.
const std::vector<GeneratedFile>& generated_files();

// A template's text with its @NAME@ fields filled from the table; an unknown field is kept as it
// stands so that the staleness check shows it.
std::string fill(const std::string& text, OptionTable table = kOptionTable);

// The fields, one by one, for tests.
std::string python_signature(OptionTable table);
std::string python_parameters(OptionTable table);
std::string python_table(OptionTable table);
std::string r_signature(OptionTable table, int indent);
std::string r_arguments(OptionTable table);
std::string r_table(OptionTable table);

}  // namespace talven::bindings

#endif  // TALVEN_FRONTEND_BINDINGS_BINDINGS_H
