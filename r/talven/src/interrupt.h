/* The study layer's analysis where Ctrl-C can stop it, with a progress bar for long fits. */
#ifndef TALVEN_R_INTERRUPT_H
#define TALVEN_R_INTERRUPT_H

#include "talven_frontend.h"

/* The arguments of talven_study_analyse. */
struct TalvenRAnalysis {
  TalvenStudy* study;
  int64_t n;
  const double* const* columns;
  int64_t contrast_rows;
  const double* contrasts;
};

/* The result of talven_study_analyse; *interrupted is 1 when R's user interrupt stopped it, and
 * the caller then signals the interrupt. progress: draw a bar once the fit has run two seconds. */
int talven_r_analyse_interruptibly(const struct TalvenRAnalysis* analysis, int progress,
                                   int* interrupted);

#endif /* TALVEN_R_INTERRUPT_H */
