/* The estimated treatment regime of the example study (examples/smart_study.csv; see
   smart_study.sas for its variables).

   Run it from the top folder of the source tree:

     build/release/bin/talven -L examples examples/smart_regime.sas

   RULES prints, after the coefficients, the decision rule of each stage in words and the
   estimated value of the regime next to the mean observed outcome. OUT= writes one
   observation per subject: every variable of smart_study, then
     _STAGE1 _STAGE2   1 when the subject entered the stage-1 / stage-2 fit
     Q1_M1 Q1_1        the fitted stage-1 Q-value under a1 = -1 and a1 = 1
     REC1              the recommended stage-1 treatment (the value of a1)
     Q2_M1 Q2_1 REC2   the same for stage 2, for subjects whose stage-2 covariates are known
                       (responders have none, so theirs are missing)
     VALUE1            the predicted outcome under the estimated regime
   The log names the level behind each Q column ("OUT= levels of stage 1: ...").
   The quoted name writes smart_regime.csv into the current folder. */
PROC TALVEN DATA=smart_study DERIVECI SEED=2018 RULES OUT='smart_regime.csv';
  MAIN1 age;
  TAILOR1 o11;
  STG1TRT a1;
  STG2SAMPLE stage2;
  MAIN2 age sidefx;
  TAILOR2 o21;
  STG2TRT a2;
  RESPONSE y;
RUN;
