/* Steps that stop with an error, each with the message that names its cause.
   1: a covariate collinear with the intercept: the full-data fit loses rank.
   2: a variable in two roles.
   3: a misspelled option.
   4: a contrast data set with the wrong number of columns.
   5: a numeric column made character by one cell.
   6: a variable that is not in the data set.
   7: NTREATS1 below 2. */
PROC TALVEN DATA=study_constant;
  MAIN1 age const1; TAILOR1 o11; STG1TRT a1; STG2SAMPLE stage2;
  MAIN2 sidefx; TAILOR2 o21; STG2TRT a2; RESPONSE y;
RUN;

PROC TALVEN DATA=smart_study;
  MAIN1 age y; TAILOR1 o11; STG1TRT a1; STG2SAMPLE stage2;
  TAILOR2 o21; STG2TRT a2; RESPONSE y;
RUN;

PROC TALVEN DATA=smart_study DERIVE_CI;
  TAILOR1 o11; STG1TRT a1; STG2SAMPLE stage2; TAILOR2 o21; STG2TRT a2; RESPONSE y;
RUN;

PROC TALVEN DATA=smart_study CONTRAST1=smart_contrasts DERIVECI SEED=37 CORES=2;
  TAILOR1 o11; STG1TRT a1; STG2SAMPLE stage2; TAILOR2 o21; STG2TRT a2; RESPONSE y;
RUN;

PROC TALVEN DATA=study_na;
  TAILOR1 o11; STG1TRT a1; STG2SAMPLE stage2; TAILOR2 o21; STG2TRT a2; RESPONSE y;
RUN;

PROC TALVEN DATA=smart_study;
  TAILOR1 o11 o99; STG1TRT a1; STG2SAMPLE stage2; TAILOR2 o21; STG2TRT a2; RESPONSE y;
RUN;

PROC TALVEN DATA=smart_study NTREATS1=1;
  TAILOR1 o11; STG1TRT a1; STG2SAMPLE stage2; TAILOR2 o21; STG2TRT a2; RESPONSE y;
RUN;
