// Loading the module: the image information, the support module and its debug settings, and the
// ways a step can end before any option is read.
#include <gtest/gtest.h>

#include <string>

#include "talven_host.h"
#include "tests/procedure/fake_host.h"

extern "C" const TalvenImageInformation* mcn_main(const TalvenAnchor* anchor);

namespace talven_test {
namespace {

TEST(Startup, ImageInformationNamesTheProcedure) {
  const TalvenImageInformation* image = mcn_main(nullptr);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(std::string(image->tag, TALVEN_IMAGE_TAG_LENGTH), "SAS_Image_Information=");
  EXPECT_STREQ(image->interfaceVersion, "9.00");
  EXPECT_STREQ(image->interfaceRelease, "9.00.0001M060102");
  EXPECT_STREQ(image->buildDate, "May  2 2018");
  const TalvenProcedureHeader* header = image->header;
  EXPECT_EQ(std::string(header->name, 8), "talven  ");
  EXPECT_NE(header->driver, nullptr);
  EXPECT_EQ(header->three, 3);
  EXPECT_STREQ(header->notices[0], "Copyright (c) 2018");
  EXPECT_STREQ(header->notices[1], "The TALVEN authors");
  EXPECT_STREQ(header->notices[2], "TALVEN project");
}

TEST(Startup, DriverWithoutAnchorDoesNothing) {
  FakeHost host;
  mcn_main(nullptr)->header->driver(nullptr);
  EXPECT_TRUE(host.end_codes.empty());
  EXPECT_TRUE(host.log.empty());
}

TEST(Startup, DebugValueChoosesTheSupportModule) {
  struct Case {
    const char* debug;
    const char* module;
    int32_t level;
    int32_t print;
  };
  const Case cases[] = {
      {nullptr, "SASPROCI", 0, 0},
      {"TLKTDBG=3", "SASPROCD", 3, 0},            // nine characters: searched
      {"tlktdbg=2 tlktprt=p", "SASPROCD", 2, 1},  // upper-cased first
      {"xx TLKTPRT=P TLKTDBG=7 yy", "SASPROCD", 7, 1},
      {"TLKTDBG=1 TLKTPRT=Q", "SASPROCD", 1, 0},
      {"TLKTDBG=0 TLKTPRT=P", "SASPROCI", 0, 1},
      {"TLKTDBG=", "SASPROCI", 0, 0},  // eight characters: not searched
      {"TLKTDBG=x", "SASPROCI", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.debug ? c.debug : "(unset)");
    FakeHost host;
    if (c.debug) host.debug_value = c.debug;
    host.start_services();
    ASSERT_EQ(host.modules_loaded.size(), 1u);
    EXPECT_EQ(host.modules_loaded[0], c.module);
    if (c.level != 0) {
      ASSERT_TRUE(host.debug_received.has_value());
      EXPECT_EQ(host.debug_received->level, c.level);
      EXPECT_EQ(host.debug_received->print, c.print);
    } else {
      EXPECT_FALSE(host.debug_received.has_value());
    }
    EXPECT_TRUE(host.host_messages.empty());
  }
}

TEST(Startup, MissingDebugModuleFallsBackWithWarning) {
  FakeHost host;
  host.debug_value = "TLKTDBG=5 TLKTPRT=P";
  host.has_sasprocd = false;
  host.start_services();
  EXPECT_EQ(host.modules_loaded, std::vector<std::string>{"SASPROCI"});
  EXPECT_FALSE(host.debug_received.has_value());
  EXPECT_EQ(host.host_messages,
            std::vector<std::string>{
                "WARNING: Cannot load the SASPROCD module. Since this is a debug-only module, an "
                "attempt is made to load SASPROCI instead."});
  EXPECT_TRUE(host.end_codes.empty());
}

TEST(Startup, MissingSupportModuleEndsWith1012) {
  for (bool debug : {false, true}) {
    FakeHost host;
    if (debug) host.debug_value = "TLKTDBG=1";
    host.has_sasproci = false;
    host.has_sasprocd = false;
    host.run();
    EXPECT_EQ(host.end_codes, std::vector<int32_t>{1012});
    ASSERT_FALSE(host.host_messages.empty());
    EXPECT_EQ(host.host_messages.back(),
              "ERROR: Cannot load the SASPROCI module. The user-written item cannot function "
              "without it.");
    EXPECT_TRUE(host.log.empty());
    EXPECT_EQ(host.live_blocks(), 0);
  }
}

TEST(Startup, UnusableParseEndsWithoutMessages) {
  for (int32_t status : {999, 1500}) {
    FakeHost host;
    FakeLibrary library;
    minimal_statement(host, study());
    host.parse_status = status;
    host.run();
    EXPECT_EQ(host.end_codes, std::vector<int32_t>{3000});
    EXPECT_TRUE(host.log.empty());
    EXPECT_FALSE(library.called);
  }
}

}  // namespace
}  // namespace talven_test
