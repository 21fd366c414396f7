/* A stage-1 treatment held as text (BMOD, MED) with missing values and a stage-2 sample: the
   coding NOTE, the rules and the OUT= columns in the treatment's own values, and the value table
   with its regimes named by them. */
PROC TALVEN DATA=study_text RULES OUT=text_regime OUTVALUE=text_value VALUE NBOOTVALUE=50 NBOOTTUNE=10 SEED=21;
  MAIN1 age;
  TAILOR1 o11;
  STG1TRT a1;
  STG2SAMPLE stage2;
  MAIN2 age sidefx a1;
  TAILOR2 o21;
  STG2TRT a2;
  RESPONSE y;
RUN;
