/* The value table: the same study on one thread and on two gives the same listing and data set. */
PROC TALVEN DATA=smart_study VALUE SEED=2018 CORES=1 NBOOTVALUE=100 NBOOTTUNE=20
            NBOOTSTRAP2=100 OUTVALUE=values1;
  MAIN1 age;
  TAILOR1 o11;
  STG1TRT a1;
  STG2SAMPLE stage2;
  MAIN2 age sidefx;
  TAILOR2 o21;
  STG2TRT a2;
  RESPONSE y;
RUN;

PROC TALVEN DATA=smart_study VALUE SEED=2018 CORES=2 NBOOTVALUE=100 NBOOTTUNE=20
            NBOOTSTRAP2=100 OUTVALUE=values2;
  MAIN1 age;
  TAILOR1 o11;
  STG1TRT a1;
  STG2SAMPLE stage2;
  MAIN2 age sidefx;
  TAILOR2 o21;
  STG2TRT a2;
  RESPONSE y;
RUN;

/* A given tuning constant, and three treatments at stage 1: the optimal row has its point alone. */
PROC TALVEN DATA=study_k3 NTREATS1=3 NTREATS2=3 VALUE SEED=7 CORES=1 NBOOTVALUE=50
            NBOOTSTRAP2=50 MALPHA=0.25;
  MAIN1 age;
  TAILOR1 o11;
  STG1TRT a1_1 a1_2;
  STG2SAMPLE stage2;
  MAIN2 sidefx;
  TAILOR2 o21;
  STG2TRT a2_1 a2_2;
  RESPONSE y;
RUN;

/* Refused before any data are read. */
PROC TALVEN DATA=smart_study SEED=5 OUTVALUE=nothing;
  TAILOR1 o11;
  STG1TRT a1;
  TAILOR2 o21;
  STG2TRT a2;
  STG2SAMPLE stage2;
  RESPONSE y;
RUN;
