/* The estimated regime: RULES tables and OUT= data sets.
   Step 1: the shipped study with intervals, as examples/smart_regime.sas.
   Step 2: three arms at each stage, smaller outcomes better: the rules list each level's part.
   Step 3: 0/1 coding with MINIMIZE and intervals: estimates and limits reported for y. */
PROC TALVEN DATA=smart_study DERIVECI SEED=2018 CORES=2 NBOOTSTRAP1=200 NBOOTSTRAP2=100 RULES
            OUT=regime;
  MAIN1 age;
  TAILOR1 o11;
  STG1TRT a1;
  STG2SAMPLE stage2;
  MAIN2 age sidefx;
  TAILOR2 o21;
  STG2TRT a2;
  RESPONSE y;
RUN;
PROC TALVEN DATA=study_k3 NTREATS1=3 NTREATS2=3 RULES MINIMIZE OUT=k3_regime;
  MAIN1 age;
  TAILOR1 o11;
  STG1TRT a1_1 a1_2;
  STG2SAMPLE stage2;
  MAIN2 sidefx;
  TAILOR2 o21;
  STG2TRT a2_1 a2_2;
  RESPONSE y;
RUN;
PROC TALVEN DATA=study_01 DERIVECI SEED=13 CORES=2 NBOOTSTRAP1=200 NBOOTSTRAP2=100 RULES MINIMIZE
            OUTEST=min_est;
  MAIN1 age;
  TAILOR1 o11;
  STG1TRT a1;
  STG2SAMPLE stage2;
  MAIN2 sidefx;
  TAILOR2 o21;
  STG2TRT a2;
  RESPONSE y;
RUN;
