* a comment ;
proc talven data=missing nbootstrap1=-1e10 ngrid=1 alpha=;
  main1 name-char-y _character_ _all_ x1-x10 unknown;
  tailor1 ( ;
quit;
proc;
run x;
stray statement;
proc talven data='unterminated
