/* A study in which every subject is randomised again: no STG2SAMPLE statement. The stage-1
   treatment is also a stage-2 covariate, the one overlap of roles that is allowed. */
LIBNAME out '.';
PROC TALVEN DATA=study_everyone CONTRAST1=smart_contrasts DERIVECI SEED=11 CORES=2
            NBOOTSTRAP1=200 NBOOTSTRAP2=100 OUTEST=out.everyone_est;
  MAIN1 age;
  TAILOR1 o11;
  STG1TRT a1;
  MAIN2 sidefx a1;
  TAILOR2 o21;
  STG2TRT a2;
  RESPONSE y;
RUN;
