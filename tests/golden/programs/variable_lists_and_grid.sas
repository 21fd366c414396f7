/* Variable-list forms, comments, lower-case statements, several tailoring variables, and a large
   grid.
   Step 1: two TAILOR2 variables give a three-dimensional grid (NGRID=4: 64 points and the
   centre), with a numbered range, a name prefix and a name range.
   Step 2: three TAILOR2 variables at the default NGRID=10 give 10001 grid points: a WARNING,
   logged although no grid is built without DERIVECI. */
proc talven data=study_wide deriveci seed=23 cores=2 nbootstrap1=200 nbootstrap2=100 ngrid=4;
  main1 age x1_2-x1_3;   * a numbered range;
  tailor1 o1:;           /* a name prefix: o11 o12 */
  stg1trt a1;
  stg2sample stage2;
  main2 sidefx--x2_2;    /* a name range in data set order */
  tailor2 o21 o22;
  stg2trt a2;
  response y;
run;

PROC TALVEN DATA=study_wide;
  MAIN1 age;
  TAILOR1 o11;
  STG1TRT a1;
  STG2SAMPLE stage2;
  TAILOR2 o21-o23;
  STG2TRT a2;
  RESPONSE y;
QUIT;
