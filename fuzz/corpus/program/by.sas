proc talven data=study outest=est;
  by a1 'stage2'n;
  main1 age; tailor1 o11; stg1trt a1; stg2sample stage2; tailor2 x10; stg2trt a2; response y;
  where same and y >= 0;
run;
proc talven data=study(where=(x1 / x2 > 0 or x3 ~= ._)); by name; run;
