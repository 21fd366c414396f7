// The coefficient layout of one stage's Q-function in terms a reader knows: the full variable
// names behind each column. Independent of the host, so that front ends other than the procedure
// can label and explain a fit the same way.
#ifndef TALVEN_FRONTEND_STAGE_MODEL_H
#define TALVEN_FRONTEND_STAGE_MODEL_H

#include <string>
#include <vector>

namespace talven {

struct StageNames {
  std::vector<std::string> main;
  std::vector<std::string> tailor;
  std::vector<std::string> treatments;  // K - 1 variables
};

// Labels of the stage's coefficients in their order: intercept, main effects, tailoring
// variables, the interactions tailor:treatment (treatment by treatment), then the treatments.
std::vector<std::string> coefficient_labels(const StageNames& names);

// Variable names are compared without regard to case.
bool same_name(const std::string& a, const std::string& b);

// "a, b, c".
std::string join(const std::vector<std::string>& items, const char* separator = ", ");

// Column names that are exactly the labels (case aside; ':' may be written '_') but in another
// order: the position of the first column whose name is another coefficient's label, or -1 when
// the names are not such a permutation.
int first_misplaced_column(const std::vector<std::string>& columns,
                           const std::vector<std::string>& labels);

}  // namespace talven

#endif  // TALVEN_FRONTEND_STAGE_MODEL_H
