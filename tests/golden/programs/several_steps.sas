/* Several steps in one program: a step that stops does not stop the later ones.
   Step 1: point estimates through a library reference.
   Step 2: an option out of range stops the step.
   Step 3: too few replicates for stable limits: two WARNINGs, and the run goes on.
   Step 4: the last option given twice holds (NGRID=3). */
LIBNAME study '.';
PROC TALVEN DATA=study.smart_study;
  TAILOR1 o11; STG1TRT a1; STG2SAMPLE stage2; TAILOR2 o21; STG2TRT a2; RESPONSE y;
RUN;

PROC TALVEN DATA=smart_study ALPHA=1.5;
  TAILOR1 o11; STG1TRT a1; STG2SAMPLE stage2; TAILOR2 o21; STG2TRT a2; RESPONSE y;
RUN;

PROC TALVEN DATA=smart_study DERIVECI SEED=29 CORES=2 NBOOTSTRAP1=10 NBOOTSTRAP2=5;
  TAILOR1 o11; STG1TRT a1; STG2SAMPLE stage2; TAILOR2 o21; STG2TRT a2; RESPONSE y;
RUN;

PROC TALVEN DATA=smart_study DERIVECI SEED=31 CORES=2 NBOOTSTRAP1=100 NBOOTSTRAP2=50 NGRID=9 NGRID=3;
  MAIN1 age; TAILOR1 o11; STG1TRT a1; STG2SAMPLE stage2;
  MAIN2 sidefx; TAILOR2 o21; STG2TRT a2; RESPONSE y;
RUN;
