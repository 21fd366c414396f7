/* A stage-1 covariate that is 1 for two subjects only: about one main-bootstrap replicate in
   seven draws neither of them, its stage-1 design loses rank, and it is counted as collinear. */
PROC TALVEN DATA=study_rare CONTRAST1=smart_contrasts_rare DERIVECI SEED=19 CORES=2
            NBOOTSTRAP1=200 NBOOTSTRAP2=100;
  MAIN1 age rare;
  TAILOR1 o11;
  STG1TRT a1;
  STG2SAMPLE stage2;
  MAIN2 sidefx;
  TAILOR2 o21;
  STG2TRT a2;
  RESPONSE y;
RUN;
