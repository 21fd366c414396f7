/* An example TALVEN analysis of a synthetic two-stage SMART.

   Run it from the top folder of the source tree:

     build/release/bin/talven -L examples examples/smart_study.sas

   -L examples makes the examples folder the WORK library, so the one-level names
   smart_study and smart_contrasts below are the files examples/smart_study.csv and
   examples/smart_contrasts.csv.

   The study (300 subjects, written by: generate_study --n 300 --seed 2018):
     id      subject number
     age     age in years at entry
     o11     severity at entry (standardised)
     a1      stage-1 treatment, -1 or 1, randomised
     stage2  1 = did not respond to the stage-1 treatment and was re-randomised,
             0 = responded and left the trial's second stage
     sidefx  side-effect score at the end of stage 1 (non-responders only)
     o21     adherence to the stage-1 treatment (non-responders only)
     a2      stage-2 treatment, -1 or 1, randomised (non-responders only)
     y       final outcome, larger is better
   The stage-2 columns of responders are empty: they are not needed, because only the
   stage-2 sample enters the stage-2 regression. */

/* Step 1: coefficients of both stages, with adaptive 95% confidence intervals for the
   stage-1 coefficients and for two contrasts of them.

   The stage-1 coefficients come in this order: intercept, age, o11, o11*a1, a1.
   Each row of smart_contrasts holds one contrast over those five coefficients:
     0 0 0  2 2   difference in expected outcome between a1 = 1 and a1 = -1 at o11 = +1
     0 0 0 -2 2   the same difference at o11 = -1
   SEED= makes the bootstrap reproducible: the same run gives the same intervals.
   CORES=2 runs the bootstrap on two threads (without CORES=, on every core); the intervals are
   the same for any number of threads. */
PROC TALVEN DATA=smart_study CONTRAST1=smart_contrasts DERIVECI SEED=2018 CORES=2
            NBOOTSTRAP1=1000 NBOOTSTRAP2=1000;
  MAIN1 age;          /* stage-1 history that is not a tailoring variable */
  TAILOR1 o11;        /* stage-1 tailoring variable: enters on its own and times a1 */
  STG1TRT a1;
  STG2SAMPLE stage2;  /* marks the non-responders, who form the stage-2 sample */
  MAIN2 age sidefx;
  TAILOR2 o21;        /* stage-2 tailoring variable: enters on its own and times a2 */
  STG2TRT a2;
  RESPONSE y;
RUN;

/* Step 2: the same model, point estimates only (no DERIVECI): fast, no bootstrap. */
PROC TALVEN DATA=smart_study;
  MAIN1 age;
  TAILOR1 o11;
  STG1TRT a1;
  STG2SAMPLE stage2;
  MAIN2 age sidefx;
  TAILOR2 o21;
  STG2TRT a2;
  RESPONSE y;
RUN;
