#include "host/suggest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace host {
namespace {

// Distances counted by hand: each edit of a kind, mixed edits and case.
TEST(EditDistance, CountsInsertionsDeletionsSubstitutionsAndSwaps) {
  const struct {
    const char* a;
    const char* b;
    size_t distance;
  } cases[] = {
      {"", "", 0},
      {"SEED", "seed", 0},
      {"", "ABC", 3},
      {"DERIVE_CI", "DERIVECI", 1},
      {"NGIRD", "NGRID", 1},
      {"ALFA", "ALPHA", 2},
      {"BOGUS", "CORES", 3},
      {"MIAN1", "MAIN1", 1},
      {"ca", "abc", 3},
      {"TAILR1", "TAILOR1", 1},
      {"abcdef", "badcfe", 3},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(edit_distance(c.a, c.b), c.distance) << c.a << " / " << c.b;
    EXPECT_EQ(edit_distance(c.b, c.a), c.distance) << c.b << " / " << c.a;
  }
}

TEST(NearestNames, OnlyLikelyMisspellingsAreSuggested) {
  const std::vector<std::string> options = {"ALPHA",       "CORES",       "DATA",  "DERIVECI",
                                            "NBOOTSTRAP1", "NBOOTSTRAP2", "NGRID", "SEED"};
  EXPECT_EQ(did_you_mean("derive_ci", options), " Did you mean DERIVECI?");
  EXPECT_EQ(did_you_mean("NBOOTSTRAP", options), " Did you mean NBOOTSTRAP1 or NBOOTSTRAP2?");
  EXPECT_EQ(did_you_mean("ALFA", options), " Did you mean ALPHA?");
  EXPECT_EQ(did_you_mean("BOGUS", options), "");
  EXPECT_EQ(did_you_mean("X", options), "");  // one edit from nothing useful
  EXPECT_EQ(did_you_mean("DAT", {"DATA", "BY"}), " Did you mean DATA?");
  EXPECT_EQ(nearest_names("Q", {"BY", "N"}), std::vector<std::string>{});  // N: all edits
  EXPECT_EQ(join_names({"A"}), "A");
  EXPECT_EQ(join_names({"A", "B", "C"}), "A, B and C");
}

}  // namespace
}  // namespace host
