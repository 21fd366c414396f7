/* More than two treatments: point estimates only, so DERIVECI has no effect (a NOTE says so).
   Step 1: three arms at each stage, one indicator column per arm beyond the first, -1/1.
   Step 2: three stage-1 arms coded as tuples of 0/1 columns, two stage-2 arms coded 0/1. */
PROC TALVEN DATA=study_k3 NTREATS1=3 NTREATS2=3 DERIVECI SEED=3 CORES=2 NGRID=5 OUTEST=k3_est;
  MAIN1 age;
  TAILOR1 o11;
  STG1TRT a1_1 a1_2;
  STG2SAMPLE stage2;
  MAIN2 sidefx;
  TAILOR2 o21;
  STG2TRT a2_1 a2_2;
  RESPONSE y;
RUN;

PROC TALVEN DATA=study_k3_tuple NTREATS1=3;
  MAIN1 age;
  TAILOR1 o11;
  STG1TRT a1_1 a1_2;
  STG2SAMPLE stage2;
  MAIN2 sidefx;
  TAILOR2 o21;
  STG2TRT a2;
  RESPONSE y;
RUN;
