/* Products of variables as terms of the model: the stage-2 model carries the stage-1 history,
   the stage-1 treatment and its product with the severity score o11, and a product of three
   variables. The listing labels keep their 12 characters (o11*a1*sidefx is cut); OUTEST= and
   OUT= name the terms in full. */
PROC TALVEN DATA=study_wide DERIVECI SEED=31 CORES=2 NBOOTSTRAP1=200 NBOOTSTRAP2=100 NGRID=4
            OUTEST=products_est OUT=products_out;
  MAIN1 age x1_2*x1_3;
  TAILOR1 o11;
  STG1TRT a1;
  STG2SAMPLE stage2;
  MAIN2 age o11 a1 o11*a1 o11*a1*sidefx;
  TAILOR2 o21;
  STG2TRT a2;
  RESPONSE y;
RUN;
