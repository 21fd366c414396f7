/* The user guide's worked example (section 7): the first step of examples/smart_study.sas with
   OUTEST=smart_est added, as the guide suggests. The test also checks that the listing and the
   OUTEST= file the guide shows are the ones this program produces. */
PROC TALVEN DATA=smart_study CONTRAST1=smart_contrasts DERIVECI SEED=2018 CORES=2
            NBOOTSTRAP1=1000 NBOOTSTRAP2=1000 OUTEST=smart_est;
  MAIN1 age;
  TAILOR1 o11;
  STG1TRT a1;
  STG2SAMPLE stage2;
  MAIN2 age sidefx;
  TAILOR2 o21;
  STG2TRT a2;
  RESPONSE y;
RUN;
