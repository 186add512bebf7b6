#include "fetching/credentials.h"

#include <gtest/gtest.h>

namespace velmora::credentials {
namespace {

TEST(PercentEncoded, KeepsOnlyUnreservedCharacters) {
  EXPECT_EQ(percent_encoded("Abc_1.2-3~"), "Abc_1.2-3~");
  EXPECT_EQ(percent_encoded("p@ss/w:rd %x+"), "p%40ss%2Fw%3Ard%20%25x%2B");
  EXPECT_EQ(percent_encoded("密"), "%E5%AF%86");
  EXPECT_EQ(percent_encoded(""), "");
}

TEST(Masked, HidesStoredAndEncodedForms) {
  EXPECT_EQ(masked("url u:p@ss@h and p@ss", "p@ss"), "url u:***@h and ***");
  EXPECT_EQ(masked("oracle+cx_oracle://u:p%40ss%20x@h:1/db", "p@ss x"), "oracle+cx_oracle://u:***@h:1/db");
  EXPECT_EQ(masked("nothing here", ""), "nothing here");
  EXPECT_EQ(masked("aaaa", "aa"), "******");
}

}  // namespace
}  // namespace velmora::credentials
