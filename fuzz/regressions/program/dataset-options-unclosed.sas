options nodate number ls=101 ps=20 nonotes formchar='|---';
title 'Wave 1'; title3 "Sub"; footnote j=left 'End';
libname lib '.' dlm=';';
proc talven data=study(klibname lib 'data';
proc talven data=lib.study contrast1='con.csv' ntreats1=2 ntreats2=2 nbootstrap1=100
  nbootstrap2=50 ngrid=3 alpha=0.1 cores=1 grid_scale=1e-1 seed=12 outest=est deriveci;
  main1 x1-x3; tailor1 x10--age; main2 id-numeric-a1 x:eep=id--y drop=x1-x3 rename=(x10=z) where=(age >= 18 and a1 in (-1, 1))
                       firstobs=2 obs=max)
            contrast1=lib.c(where=(name like 'a%' or name contains 'b'));
  main1 age; tailor1 o11; stg1trt a1; stg2sample stage2; tailor2 x10; stg2trt a2;
  response y;
  where not (y is missing) & 1 < age ** 2 - -3 < 50 and name ^= 'x' or age between .A and 3;
  where also o11 ne . and '01jan2020'd > 0;
  by descending a1 notsorted;
  title2;
run;
