/* talven_study_run where Ctrl-C can stop it, with a progress bar for long fits. */
#ifndef TALVEN_R_INTERRUPT_H
#define TALVEN_R_INTERRUPT_H

#include "talven_frontend.h"

/* The result of talven_study_run; *interrupted is 1 when R's user interrupt stopped it, and the
 * caller then signals the interrupt. progress: draw a bar once the fit has run two seconds. */
int talven_r_run_interruptible(TalvenStudy* study, int progress, int* interrupted);

#endif /* TALVEN_R_INTERRUPT_H */
