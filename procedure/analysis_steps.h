// The procedure's part at each step of the study layer's analysis (TALVEN_STEP_*), and the
// analysis itself. The layer decides the order of the steps; the procedure does what the host
// must do between them.
#ifndef TALVEN_PROCEDURE_ANALYSIS_STEPS_H
#define TALVEN_PROCEDURE_ANALYSIS_STEPS_H

#include "procedure/kestrion_info.h"

namespace talven {

void options_checked(KESTRIONINFOSTR& info);
void model_checked(KESTRIONINFOSTR& info);
// After a failed model check.
void explain_refused_contrast(const KESTRIONINFOSTR& info);
void kestrion_rows_ended(KESTRIONINFOSTR& info);

// The analysis of the study that read_options set up, through the layer's steps; the step ends
// with an error when it fails.
void run_analysis(KESTRIONINFOSTR& info);

}  // namespace talven

#endif  // TALVEN_PROCEDURE_ANALYSIS_STEPS_H
