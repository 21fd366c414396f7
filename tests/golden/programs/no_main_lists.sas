/* Intervals without MAIN1, MAIN2 or CONTRAST1=, every interval option away from its default. */
PROC TALVEN DATA=smart_study DERIVECI SEED=7 CORES=2 NBOOTSTRAP1=200 NBOOTSTRAP2=100
            ALPHA=0.1 NGRID=5 GRID_SCALE=2;
  TAILOR1 o11;
  STG1TRT a1;
  STG2SAMPLE stage2;
  TAILOR2 o21;
  STG2TRT a2;
  RESPONSE y;
RUN;
