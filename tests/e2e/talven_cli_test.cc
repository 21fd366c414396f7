// Runs the built talven command on programs and data written into a temporary folder.
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/e2e_support.h"

namespace {

using e2e::TalvenRun;

// Each test runs talven in a folder of its own.
class TalvenCli : public ::testing::Test, protected e2e::Folder {};

const std::string kTalven = e2e::talven_binary();

const char* kStudy = "id,x1,x2,name,y\n1,2.5,.,\"Smith, J\",3\n2,NA,4,Doe,1e3\n3,-1,.A,x,\n";

TEST_F(TalvenCli, ParseResultsDataAndListingReachTheProcedure) {
  write("study.csv", kStudy);
  write("lib/Other.CSV", "a\n1\n");
  write("quoted.tsv", "p\tq\n1\t2\n");
  const TalvenRun r = talven(
      "/* a test */ libname mine 'lib';\n"
      "proc hosttest data=STUDY other=mine.other n=5 x=-2.5e-1 flaga;\n"
      "  * a comment; vars x1-x2 y;\n  any _all_;\nrun;\n"
      "proc hosttest data='quoted.tsv'; vars p q; run;\n");
  EXPECT_EQ(r.status, 0) << r.all();
  EXPECT_TRUE(r.has("NOTE: Libref MINE refers to the folder lib."));
  EXPECT_TRUE(r.has(" *** HOSTTEST ***"));
  EXPECT_TRUE(r.has("NOTE: item 3 = 5"));
  EXPECT_TRUE(r.has("NOTE: item 4 = -0.25"));
  EXPECT_TRUE(r.has("NOTE: flag FLAGA set"));
  EXPECT_TRUE(r.has("NOTE: list 7: 2 3 5"));
  EXPECT_TRUE(r.has("NOTE: list 8: 1 2 3 4 5"));
  EXPECT_TRUE(r.has("NOTE: data set WORK.STUDY: 3 observations, 5 variables"));
  EXPECT_TRUE(r.has("NOTE: data set MINE.OTHER: 1 observations, 1 variables"));
  EXPECT_TRUE(r.has("NOTE: data set quoted.tsv: 1 observations, 2 variables"));
  EXPECT_EQ(r.count_prefix("NOTE: PROCEDURE HOSTTEST used: real time "), 2u);
  const std::string title1 = "HOSTTEST of WORK.STUDY";
  const std::string title2 = "HOSTTEST of quoted.tsv";
  EXPECT_EQ(r.listing, std::string(29, ' ') + title1 + "\n\n2.5 . 3\n. 4 1000\n-1 . .\n" +
                           std::string(29, ' ') + title2 + "\n\n1 2\n");
}

TEST_F(TalvenCli, ExitStatusFollowsTheWorstMessage) {
  const struct {
    const char* options;
    int status;
    const char* line;
  } cases[] = {
      {"", 0, "NOTE: item 3 = 1"},
      {"mode=1", 1, "WARNING: Something to look at."},
      {"mode=2", 2, "ERROR: Something went wrong."},
      {"mode=3", 2, "ERROR: PROCEDURE HOSTTEST returned without ending the procedure."},
  };
  for (const auto& c : cases) {
    const TalvenRun r = talven(std::string("proc hosttest n=1 ") + c.options + "; run;");
    EXPECT_EQ(r.status, c.status) << c.options << "\n" << r.all();
    EXPECT_TRUE(r.has(c.line)) << c.options << "\n" << r.all();
  }
}

TEST_F(TalvenCli, ErrorsNameTheirPlaceAndLaterStepsStillRun) {
  write("study.csv", kStudy);
  const TalvenRun r = talven(
      "x = 1;\n"
      "proc nothere; run;\n"
      "proc hosttest data=study bogus=2 n=abc; vars x1 zz name; run;\n"
      "proc hosttest n=7; run;\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.has("ERROR: Line 1, column 1: Statement x = 1 is not valid outside a PROC step."));
  EXPECT_TRUE(r.has("ERROR: Line 2, column 6: Procedure NOTHERE not found."));
  EXPECT_TRUE(
      r.has("ERROR: Line 3, column 26: Option BOGUS is not known to PROC HOSTTEST. The "
            "options of PROC HOSTTEST are DATA=, FLAGA, LEAK=, MODE=, N=, OTHER= and X=."))
      << r.all();
  EXPECT_TRUE(
      r.has("ERROR: Line 3, column 36: Syntax error: expected a number after N=, found "
            "abc."));
  EXPECT_TRUE(r.has("ERROR: Line 3, column 49: Variable zz in the VARS list is not in WORK.STUDY."))
      << r.all();
  EXPECT_TRUE(
      r.has("ERROR: Line 3, column 52: Variable name in the VARS list is character; only "
            "numeric variables can be used there."));
  EXPECT_TRUE(r.has("NOTE: item 3 = 7"));  // the last step ran
}

TEST_F(TalvenCli, MalformedDataIsAnErrorNamingFileAndLine) {
  write("bad.csv", "a,b\n1,2\n3\n");
  TalvenRun r = talven("proc hosttest data=bad; run;");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.has_prefix("ERROR: Line 1, column 15: DATA=: File ")) << r.all();
  EXPECT_NE(r.all().find("bad.csv, line 3: the row has 1 field where the header has 2."),
            std::string::npos);
  r = talven("proc hosttest data=missing; run;");
  EXPECT_TRUE(
      r.has_prefix("ERROR: Line 1, column 15: DATA=: Data set WORK.MISSING does not "
                   "exist"));
  r = talven("libname q 'nowhere'; proc hosttest data=q.x; run;");
  EXPECT_TRUE(r.has("ERROR: Line 1, column 11: The folder nowhere of library Q does not exist."));
  EXPECT_TRUE(r.has("ERROR: Line 1, column 36: DATA=: Libref Q is not assigned."));
}

TEST_F(TalvenCli, HostFreesWhatAStepLeavesAndTheDebugModuleTraces) {
  write("study.csv", kStudy);
  const TalvenRun r =
      talven("proc hosttest data=study leak=3; vars x1; run;", "", "--debug 'TLKTDBG=1 TLKTPRT=P'");
  EXPECT_EQ(r.status, 0) << r.all();
  EXPECT_TRUE(
      r.has("NOTE: SASPROCD: the host ended 1 readers and freed 3 blocks that "
            "PROCEDURE HOSTTEST left."))
      << r.all();
  EXPECT_TRUE(r.has("NOTE: SASPROCD: itemGiven(6) = 1"));
  EXPECT_TRUE(r.has("NOTE: SASPROCD: readerNext(") || r.has_prefix("NOTE: SASPROCD: readerNext("));
  EXPECT_TRUE(r.has("NOTE: SASPROCD: listing: 2.5"));
  const TalvenRun quiet = talven("proc hosttest data=study leak=3; vars x1; run;");
  EXPECT_FALSE(quiet.has_prefix("NOTE: SASPROCD"));
}

#ifdef KESTRION_FAULT_INJECTION
TEST_F(TalvenCli, MissingSupportModulesAndFailedAllocations) {
  TalvenRun r = talven("proc hosttest n=1; run;", "TALVEN_OMIT_SUPPORT_MODULES=SASPROCD",
                       "--debug TLKTDBG=1");
  EXPECT_EQ(r.status, 1) << r.all();
  EXPECT_TRUE(
      r.has("WARNING: Cannot load the SASPROCD module. Since this is a debug-only "
            "module, an attempt is made to load SASPROCI instead."));
  EXPECT_TRUE(r.has("NOTE: item 3 = 1"));

  r = talven("proc hosttest n=1; run; proc hosttest n=2; run;",
             "TALVEN_OMIT_SUPPORT_MODULES=SASPROCI,SASPROCD");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.count_prefix("ERROR: Cannot load the SASPROCI module. The user-written item "
                           "cannot function without it."),
            2u);

  r = talven("proc hosttest mode=4; run;", "TALVEN_FAIL_HOST_ALLOC=1");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.has("ERROR: Unable to allocate memory for block.")) << r.all();
  r = talven("proc hosttest mode=4; run;", "TALVEN_FAIL_HOST_ALLOC=2");
  EXPECT_EQ(r.status, 0) << r.all();
}
#endif

TEST_F(TalvenCli, CommandLine) {
  TalvenRun r = run_command(kTalven + " --help > out.txt");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.listing.find("usage: talven"), std::string::npos);
  r = run_command(kTalven + " --version > out.txt");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.listing.rfind("talven 1.0.0\n", 0), 0u);
  EXPECT_EQ(run_command(kTalven + " 2>log.txt").status, 2);
  r = run_command(kTalven + " no_such.sas 2>log.txt");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.has_prefix("talven: the program file no_such.sas cannot be read"));
  EXPECT_EQ(run_command(kTalven + " --bogus x.sas 2>log.txt").status, 2);
  EXPECT_EQ(run_command(kTalven + " -L nowhere -e 'proc hosttest; run;' 2>log.txt").status, 2);
  // Program text on the command line and on standard input; -L names the WORK folder.
  write("w/study.csv", kStudy);
  r = run_command(kTalven + " -L w -e 'proc hosttest data=study; run;' 2>log.txt");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.has("NOTE: data set WORK.STUDY: 3 observations, 5 variables"));
  r = run_command("echo 'proc hosttest n=9; run;' | " + kTalven + " - 2>log.txt");
  EXPECT_TRUE(r.has("NOTE: item 3 = 9"));
}

// These need the TALVEN procedure module.
TEST_F(TalvenCli, TalvenBannerPrecedesOptionErrors) {
  write("study.csv", kStudy);
  TalvenRun r = talven("proc talven; run;");
  EXPECT_EQ(r.status, 2);
  ASSERT_GE(r.log.size(), 8u) << r.all();
  EXPECT_EQ(r.log[0], " *** SAS PROC TALVEN ***");
  EXPECT_EQ(r.log[1], "  Version 1.0.0");
  EXPECT_TRUE(r.has("ERROR: DATA= must be specified."));
  r = talven("proc talven data=study nbootstrap1=0; run;");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.has("ERROR: NBOOTSTRAP1 must be positive.")) << r.all();
}

}  // namespace
