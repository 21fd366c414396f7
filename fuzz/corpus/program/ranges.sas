libname lib 'data';
proc talven data=lib.study contrast1='con.csv' ntreats1=2 ntreats2=2 nbootstrap1=100
  nbootstrap2=50 ngrid=3 alpha=0.1 cores=1 grid_scale=1e-1 seed=12 outest=est deriveci;
  main1 x1-x3; tailor1 x10--age; main2 id-numeric-a1 x:; tailor2 _numeric_;
  response y; stg1trt a1; stg2trt a2; stg2sample stage2;
run;
