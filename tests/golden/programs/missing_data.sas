/* Observations left out of the analysis, and why.
   Step 1: values missing at stage 1, at stage 2 and in the response.
   Step 2: the same data without STG2SAMPLE, so stage-2 values missing for responders remove them.
   Step 3: a STG2SAMPLE variable coded 1/2 instead of 1/0. */
PROC TALVEN DATA=study_missing DERIVECI SEED=17 CORES=2 NBOOTSTRAP1=200 NBOOTSTRAP2=100;
  MAIN1 age;
  TAILOR1 o11;
  STG1TRT a1;
  STG2SAMPLE stage2;
  MAIN2 sidefx;
  TAILOR2 o21;
  STG2TRT a2;
  RESPONSE y;
RUN;

PROC TALVEN DATA=study_missing;
  MAIN1 age;
  TAILOR1 o11;
  STG1TRT a1;
  MAIN2 sidefx;
  TAILOR2 o21;
  STG2TRT a2;
  RESPONSE y;
RUN;

PROC TALVEN DATA=study_stage2_12;
  MAIN1 age;
  TAILOR1 o11;
  STG1TRT a1;
  STG2SAMPLE stage2;
  MAIN2 sidefx;
  TAILOR2 o21;
  STG2TRT a2;
  RESPONSE y;
RUN;
