/* Treatments coded 0/1 rather than -1/1, with intervals, contrasts and OUTEST= to a quoted path. */
PROC TALVEN DATA=study_01 CONTRAST1=smart_contrasts DERIVECI SEED=13 CORES=2
            NBOOTSTRAP1=200 NBOOTSTRAP2=100 OUTEST='zero_one_est.csv';
  MAIN1 age;
  TAILOR1 o11;
  STG1TRT a1;
  STG2SAMPLE stage2;
  MAIN2 sidefx;
  TAILOR2 o21;
  STG2TRT a2;
  RESPONSE y;
RUN;
